// frame.cpp: the cost of a trivial command through RozoZIvav, and of host handles against malloc.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "support/plugin_host.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
    zor::test::PluginHost host;
    int32_t n = 0;
    void* params[] = {&n};
    void* slot = nullptr;

    const int calls = 50'000'000;
    auto start = Clock::now();
    for (int i = 0; i < calls; ++i) host.entry(52, params, &host.globals, &slot);
    const double callSeconds = SecondsSince(start);
    const double callsPerSecond = calls / callSeconds;
    std::printf("RozoZIvav StreamList(0): %.1f million calls/s (goal: at least 20)\n", callsPerSecond / 1e6);
    std::printf("BENCH\tcalls through RozoZIvav\t%.1f M/s\t20 M/s (goal)\t%.2f\t>=1\t%s\n", callsPerSecond / 1e6,
                callsPerSecond / 20e6, callsPerSecond >= 20e6 ? "yes" : "no");

    const int pairs = 10'000'000;
    volatile char sink = 0;
    start = Clock::now();
    for (int i = 0; i < pairs; ++i) {
        HostHandle h = HostNewHandle(64);
        sink = sink + **h;
        HostDisposeHandle(h);
    }
    const double handleSeconds = SecondsSince(start);
    start = Clock::now();
    for (int i = 0; i < pairs; ++i) {
        auto* p = static_cast<char*>(std::malloc(64));
        sink = sink + *p;
        std::free(p);
    }
    const double mallocSeconds = SecondsSince(start);
    std::printf("HostNewHandle+HostDisposeHandle: %.1f million pairs/s; malloc+free: %.1f million pairs/s; "
                "ratio %.2f (goal: at least 0.5)\n",
                pairs / handleSeconds / 1e6, pairs / mallocSeconds / 1e6, mallocSeconds / handleSeconds);
    std::printf("BENCH\thandle new+dispose vs malloc+free\t%.1f M/s\t%.1f M/s\t%.2f\t>=0.5\t%s\n",
                pairs / handleSeconds / 1e6, pairs / mallocSeconds / 1e6, mallocSeconds / handleSeconds,
                mallocSeconds / handleSeconds >= 0.5 ? "yes" : "no");
    return 0;
}
