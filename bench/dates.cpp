// dates.cpp: DateToRfc822 and Rfc822ToDate through RozoZIvav, against python3's
// email.utils.formatdate and email.utils.parsedate_tz measured in the same run.
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cpu_time.h"
#include "support/plugin_host.h"

namespace {

using zor::bench::CpuSeconds;
using zor::bench::CpuSecondsSince;


// Nanoseconds per call of `body` (run `calls` times), the best of three runs as timeit takes it.
template <typename Body>
double BestNanoseconds(int calls, Body body) {
    double best = 1e30;
    for (int run = 0; run < 3; ++run) {
        const auto start = CpuSeconds();
        for (int i = 0; i < calls; ++i) body(i);
        const double ns = CpuSecondsSince(start) / calls * 1e9;
        if (ns < best) best = ns;
    }
    return best;
}

// Nanoseconds per call that python3 reports for a timeit statement, or a negative value.
double PythonNanoseconds(const char* statement) {
    const std::string command =
        "/usr/bin/python3 -c 'import time, timeit, email.utils\n"
        "n = 200000\n"
        "t = min(timeit.repeat(stmt=\"" + std::string(statement) + "\", setup=\"import email.utils\", number=n, repeat=3, timer=time.process_time))\n"
        "print(t / n * 1e9)'";
    double ns = -1;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        if (std::fscanf(pipe, "%lf", &ns) != 1) ns = -1;
        pclose(pipe);
    }
    return ns;
}

void Report(const char* what, double ours, const char* peer, double theirs) {
    std::printf("%-44s %8.1f ns/call   python3 %-34s %8.1f ns/call   %6.1fx faster (goal: at least 20)\n", what,
                ours, peer, theirs, theirs / ours);
    std::printf("BENCH\t%s vs %s\t%.1f ns/call\t%.1f ns/call\t%.1f\t>=20\t%s\n", what, peer, ours, theirs,
                theirs / ours, theirs / ours >= 20 ? "yes" : "no");
}

}  // namespace

int main() {
    setenv("TZ", "Asia/Kolkata", 1);
    tzset();
    zor::test::PluginHost host;
    unsigned char buffer[256];
    unsigned char* slot = buffer;
    constexpr int kCalls = 1'000'000;

    // Seconds spread over the host's scale.
    std::vector<int32_t> seconds(1024);
    for (size_t i = 0; i < seconds.size(); ++i) seconds[i] = static_cast<int32_t>(2935353600u + i * 7919u * 3607u);

    int32_t flag = 1;
    int32_t value = 0;
    void* formatParams[] = {&value, &flag};
    auto format = [&](int i) {
        value = seconds[static_cast<size_t>(i) & 1023];
        host.entry(48, formatParams, &host.globals, &slot);
    };
    const double formatGmt = BestNanoseconds(kCalls, format);
    flag = 0;
    const double formatLocal = BestNanoseconds(kCalls, format);

    zor::test::Str255 texts[] = {zor::test::Str255("Mon, 06 Jan 1997 18:50:45 +0100"),
                                 zor::test::Str255("Tue, 7 Jan 1997 00:20:45 EST"),
                                 zor::test::Str255("6 Jan 97 18:50 GMT")};
    int32_t mode = 0;
    void* result = nullptr;
    void* parseParams[] = {texts[0].bytes, &mode};
    const double parse = BestNanoseconds(kCalls, [&](int i) {
        parseParams[0] = texts[i % 3].bytes;
        host.entry(50, parseParams, &host.globals, &result);
    });

    const double pyFormat = PythonNanoseconds("email.utils.formatdate(852576645)");
    const double pyFormatLocal = PythonNanoseconds("email.utils.formatdate(852576645, localtime=True)");
    const double pyParse = PythonNanoseconds("email.utils.parsedate_tz(\\\"Mon, 06 Jan 1997 18:50:45 +0100\\\")");
    Report("DateToRfc822 (GMT, flag 1)", formatGmt, "formatdate(t)", pyFormat);
    Report("DateToRfc822 (local zone, flag 0)", formatLocal, "formatdate(t, localtime=True)", pyFormatLocal);
    Report("Rfc822ToDate (RFC 822 layout)", parse, "parsedate_tz(text)", pyParse);
    return 0;
}
