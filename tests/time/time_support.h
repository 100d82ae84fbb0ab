// time_support.h: what the date and time tests share: a local zone set for one scope, host seconds
// of calendar instants, the date commands called through the plug-in, and a python3 runner.
#ifndef ZOR_TESTS_TIME_SUPPORT_H
#define ZOR_TESTS_TIME_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/plugin_host.h"

namespace zor::test {

// Seconds from 1904-01-01 to 1970-01-01.
inline constexpr int64_t kUnixEpochInHostSeconds = 2082844800;

// Sets TZ (and tzset) for the life of the object, and puts the previous zone back.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        if (const char* old = getenv("TZ")) previous_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (previous_) setenv("TZ", previous_->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    ZoneScope(const ZoneScope&) = delete;
    ZoneScope& operator=(const ZoneScope&) = delete;

private:
    std::optional<std::string> previous_;
};

// The zones every zone-dependent behaviour is checked in, with their standard offsets.
struct ZoneCase {
    const char* zone;
    int32_t standardOffset;  // seconds east of Greenwich
    const char* suffix;      // how DateToRfc822 with flag 0 ends
};
inline constexpr ZoneCase kZones[] = {
    {"UTC", 0, " GMT"},
    {"Europe/London", 0, " GMT"},
    {"EST5EDT", -18000, " -0500"},
    {"Asia/Kolkata", 19800, " +0530"},
    {"America/St_Johns", -12600, " -0330"},
    {"Pacific/Chatham", 45900, " +1245"},
};

// Host seconds of a GMT calendar instant (as a signed 32-bit value, the way commands carry them).
inline int32_t HostSeconds(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(timegm(&t)) + kUnixEpochInHostSeconds));
}

// The date commands through RozoZIvav.
inline std::string DateToRfc822(PluginHost& host, int32_t seconds, int32_t flag) {
    return host.CallString(48, {&seconds, &flag});
}
inline int32_t Rfc822ToDate(PluginHost& host, const std::string& text, int32_t mode = 0) {
    Str255 s(text);
    return host.CallInt(50, {s.bytes, &mode});
}
inline int32_t DateToSeconds(PluginHost& host, int day, int month, int year, int32_t time, int32_t flag) {
    int16_t date[3] = {static_cast<int16_t>(day), static_cast<int16_t>(month), static_cast<int16_t>(year)};
    return host.CallInt(49, {date, &time, &flag});
}
struct DateAndTime {
    int16_t day, month, year;
    int32_t time;
    bool operator==(const DateAndTime&) const = default;
};
inline DateAndTime SecondsToDate(PluginHost& host, int32_t seconds, int32_t flag) {
    int16_t date[3] = {-1, -1, -1};
    int32_t time = -1;
    void* slot = nullptr;
    host.Call(51, {&seconds, date, &time, &flag}, &slot);
    return {date[0], date[1], date[2], time};
}

// Runs /usr/bin/python3 on `script` once, with `input` on its standard input; its output lines.
inline std::vector<std::string> RunPython(const std::string& script, const std::string& input) {
    char folder[] = "/tmp/zor-time-XXXXXX";
    if (mkdtemp(folder) == nullptr) return {};
    const std::string dir = folder;
    std::ofstream(dir + "/script.py") << script;
    std::ofstream(dir + "/input.txt") << input;
    const std::string command = "/usr/bin/python3 " + dir + "/script.py < " + dir + "/input.txt";
    std::vector<std::string> lines;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        std::string line;
        for (int c; (c = fgetc(pipe)) != EOF;) {
            if (c == '\n') {
                lines.push_back(line);
                line.clear();
            } else {
                line.push_back(static_cast<char>(c));
            }
        }
        pclose(pipe);
    }
    unlink((dir + "/script.py").c_str());
    unlink((dir + "/input.txt").c_str());
    rmdir(folder);
    return lines;
}

// The instants email.utils.parsedate_tz finds in the texts, on the host's scale (one python3 run);
// fewer than the texts when python3 failed.
inline std::vector<int32_t> ParsedateTzInstants(const std::vector<std::string>& texts) {
    std::string input;
    for (const std::string& t : texts) input += t + "\n";
    const std::vector<std::string> lines = RunPython(R"(
import sys, calendar, email.utils
for line in sys.stdin:
    t = email.utils.parsedate_tz(line.strip())
    print(calendar.timegm(t[:6]) - (t[9] or 0))
)",
                                                     input);
    std::vector<int32_t> instants;
    for (const std::string& line : lines)
        instants.push_back(static_cast<int32_t>(static_cast<uint32_t>(std::stoll(line) + kUnixEpochInHostSeconds)));
    return instants;
}

}  // namespace zor::test

#endif  // ZOR_TESTS_TIME_SUPPORT_H
