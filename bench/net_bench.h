// net_bench.h: what the network benchmarks share: the test host (the plug-in through RozoZIvav),
// spawned peer programs, a wall clock, and loopback helpers.
#ifndef ZOR_BENCH_NET_BENCH_H
#define ZOR_BENCH_NET_BENCH_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "net/net.h"
#include "support/plugin_host.h"

extern char** environ;

namespace zor::bench {

using test::PluginHost;
using test::Str255;

inline constexpr int32_t kLoopback = 0x7F000001;

inline double Seconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs a program with its standard output sent to /dev/null; its process id.
inline pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

inline int Wait(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// A loopback port free a moment ago.
inline int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    socklen_t n = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), n);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

// A loopback listener of its own; its port through `port`.
inline int PlainListener(int& port, int backlog) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t n = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), n) != 0 || listen(s, backlog) != 0) {
        close(s);
        return -1;
    }
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
    return s;
}

// A non-blocking connect to a loopback port.
inline int PlainConnect(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    a.sin_port = htons(static_cast<uint16_t>(port));
    (void)connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return s;
}

// The network commands the benchmarks call.
inline int32_t TcpOpen(PluginHost& host, int32_t port, int32_t buffer) {
    Str255 name("127.0.0.1");
    int16_t remote = static_cast<int16_t>(port), local = 0;
    int32_t unused = 0, reuse = 0, localAddress = 0;
    return host.CallInt(2, {name.bytes, &remote, &buffer, &unused, &reuse, &local, &localAddress});
}

inline int32_t TcpListen(PluginHost& host, int32_t port, int32_t buffer) {
    int32_t unused = 0, reuse = 0, address = kLoopback;
    int16_t unusedShort = 0, local = static_cast<int16_t>(port);
    return host.CallInt(3, {&unused, &unusedShort, &local, &buffer, &unused, &reuse, &address});
}

inline int32_t TcpWaitState(PluginHost& host, int32_t ref, int32_t target, int32_t timeout) {
    return host.CallInt(11, {&ref, &target, &timeout});
}

inline int32_t TcpState(PluginHost& host, int32_t ref) {
    int32_t selector = 0;
    return host.CallInt(6, {&ref, &selector});
}

inline int32_t TcpClose(PluginHost& host, int32_t ref) { return host.CallInt(4, {&ref}); }

inline int32_t TcpRelease(PluginHost& host, int32_t ref) {
    int32_t keep = 0;
    return host.CallInt(5, {&ref, &keep});
}

}  // namespace zor::bench

#endif  // ZOR_BENCH_NET_BENCH_H
