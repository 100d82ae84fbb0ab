// net_accept.cpp: 10,000 sequential incoming connections through TcpListen and TcpWaitState,
// against a plain non-blocking accept loop in C over the same loopback, in the same run.
#include <poll.h>

#include <cstdio>

#include "net_bench.h"

using namespace zor::bench;

namespace {

constexpr int kConnections = 10000;

// Each connection: a listening stream, a client connect, a wait until established, then both go.
double PluginRate(PluginHost& host) {
    int port = FreePort();
    const double start = Seconds();
    for (int i = 0; i < kConnections; ++i) {
        const int32_t ref = TcpListen(host, port, 0);
        const int client = PlainConnect(port);
        if (ref == 0 || TcpWaitState(host, ref, 0, 10) != zor::net::StreamEstablished) {
            std::fprintf(stderr, "net_accept: connection %d was not accepted\n", i);
            return 0;
        }
        close(client);
        (void)TcpRelease(host, ref);
    }
    return kConnections / (Seconds() - start);
}

double PlainRate() {
    int port = 0;
    const int listener = PlainListener(port, 100);
    const int flags = fcntl(listener, F_GETFL);
    fcntl(listener, F_SETFL, flags | O_NONBLOCK);
    const double start = Seconds();
    for (int i = 0; i < kConnections; ++i) {
        const int client = PlainConnect(port);
        int accepted;
        while ((accepted = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) < 0) {
            pollfd p{listener, POLLIN, 0};
            (void)poll(&p, 1, 0);
        }
        close(client);
        close(accepted);
    }
    const double rate = kConnections / (Seconds() - start);
    close(listener);
    return rate;
}

}  // namespace

int main() {
    PluginHost host;
    double plugin = 0, plain = 0;
    for (int run = 0; run < 3; ++run) {
        plain = std::max(plain, PlainRate());
        plugin = std::max(plugin, PluginRate(host));
    }
    std::printf("sequential loopback connections, %d per run, best of 3\n", kConnections);
    std::printf("  plain non-blocking accept loop : %9.0f connections/s\n", plain);
    std::printf("  TcpListen + TcpWaitState       : %9.0f connections/s  ratio %.2f\n", plugin, plugin / plain);
    std::printf("BENCH\tsequential connections: TcpListen + TcpWaitState vs a C accept loop\t%.0f conn/s\t%.0f conn/s\t%.2f\t-\t-\n",
                plugin, plain, plugin / plain);
    return 0;
}
