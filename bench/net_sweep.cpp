// net_sweep.cpp: one TcpState poll of each of 1023 established streams, the time of the full sweep,
// beside a plain zero-time-out poll of the same 1023 descriptors.
#include <poll.h>
#include <sys/resource.h>

#include <cstdio>

#include "net_bench.h"

using namespace zor::bench;

int main() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max < 4096 ? limit.rlim_max : 4096;
    setrlimit(RLIMIT_NOFILE, &limit);
    int port = 0;
    const int listener = PlainListener(port, 2048);
    PluginHost host;
    std::vector<int> accepted;
    for (int ref = 1; ref <= 1023; ++ref) {
        if (TcpOpen(host, port, 0) != ref) {
            std::fprintf(stderr, "net_sweep: stream %d not opened\n", ref);
            return 1;
        }
        accepted.push_back(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    }
    for (int ref = 1; ref <= 1023; ++ref) {
        if (TcpWaitState(host, ref, 0, 10) != zor::net::StreamEstablished) {
            std::fprintf(stderr, "net_sweep: stream %d not established\n", ref);
            return 1;
        }
    }
    constexpr int kSweeps = 200;
    double start = Seconds();
    for (int sweep = 0; sweep < kSweeps; ++sweep)
        for (int ref = 1; ref <= 1023; ++ref)
            if (TcpState(host, ref) != zor::net::StreamEstablished) return 1;
    const double plugin = (Seconds() - start) / kSweeps;

    auto* globals = reinterpret_cast<zor::frame::PluginGlobals*>(*host.globals);
    start = Seconds();
    for (int sweep = 0; sweep < kSweeps; ++sweep) {
        for (int ref = 1; ref <= 1023; ++ref) {
            pollfd p{globals->StreamTable[ref]->socket, POLLPRI, 0};
            if (poll(&p, 1, 0) != 0) return 1;
        }
    }
    const double plain = (Seconds() - start) / kSweeps;
    std::printf("one state poll of each of 1023 established streams (highest descriptor %d), %d sweeps\n",
                globals->StreamTable[1023]->socket, kSweeps);
    std::printf("  plain poll() of each descriptor : %8.1f us per sweep\n", plain * 1e6);
    std::printf("  TcpState (ref, 0) of each stream: %8.1f us per sweep  ratio %.2f\n", plugin * 1e6, plugin / plain);
    std::printf("BENCH\tTcpState sweep of 1023 streams vs poll() of each (time, lower is better)\t%.1f us\t%.1f us\t%.2f\t-\t-\n",
                plugin * 1e6, plain * 1e6, plugin / plain);
    host.Stop();
    for (int s : accepted) close(s);
    close(listener);
    return 0;
}
