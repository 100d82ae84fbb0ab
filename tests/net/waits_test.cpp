// waits_test.cpp: a command waiting on a silent peer or a time-out sleeps instead of spinning, and an
// open that finds no local port left fails cleanly.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "net/sockets.h"
#include "net_support.h"
#include "support/files.h"

namespace zor::test {
namespace {

using namespace zor::net;

// Processor time (user and system) this process has used, in seconds.
double ProcessorSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

constexpr double kIdleBudget = 0.05;  // seconds of processor time a 3-second wait may take

TEST(Waits, ThreeSecondWaitsOnSilentPeersTakeNoProcessorTime) {
    PluginHost host;
    StreamPair pair = ConnectPair(host);
    ASSERT_NE(pair.client, 0);

    int32_t port = 0, unused = 0, timeout = 3;
    int32_t udp = host.CallInt(41, {&port, &unused, &unused});
    ASSERT_NE(udp, 0);
    Text datagram;
    int32_t address = 0, from = 0;
    double before = ProcessorSeconds();
    EXPECT_EQ(host.CallInt(44, {&udp, &datagram.block, &address, &from, &unused, &timeout}), -1);
    EXPECT_LT(ProcessorSeconds() - before, kIdleBudget) << "UdpReceive";
    EXPECT_EQ(host.CallInt(42, {&udp}), 0);

    before = ProcessorSeconds();
    EXPECT_EQ(TcpWaitState(host, pair.client, StreamFailed, 3), StreamEstablished);
    EXPECT_LT(ProcessorSeconds() - before, kIdleBudget) << "TcpWaitState";

    TempDir dir;
    Text name(dir / "received");
    int32_t flags = 0, append = 0, idle = 3;
    before = ProcessorSeconds();
    (void)host.CallInt(13, {&pair.listener, &name.block, &flags, &append, &idle});
    EXPECT_LT(ProcessorSeconds() - before, kIdleBudget) << "TcpReceiveFile";
    EXPECT_EQ(RecordOf(host, pair.listener), nullptr);  // released at the idle time-out
    EXPECT_EQ(TcpState(host, pair.client), StreamEstablished);
}

// A time-out of 0 waits for good: a datagram sent a second later is taken, and the wait slept
// meanwhile.
TEST(Waits, UdpReceiveWithoutTimeOutSleepsUntilADatagramComes) {
    PluginHost host;
    int32_t port = 0, unused = 0, timeout = 0;
    int32_t udp = host.CallInt(41, {&port, &unused, &unused});
    ASSERT_NE(udp, 0);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    const sockaddr_in to = sockets::MakeAddress(kLoopback, static_cast<uint16_t>(LocalPort(host, udp)));
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        (void)sendto(fd, "late", 4, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    });
    Text datagram;
    int32_t address = 0, from = 0;
    const double before = ProcessorSeconds();
    EXPECT_EQ(host.CallInt(44, {&udp, &datagram.block, &address, &from, &unused, &timeout}), 0);
    EXPECT_LT(ProcessorSeconds() - before, kIdleBudget);
    sender.join();
    close(fd);
    EXPECT_EQ(datagram.str(), "late");
    EXPECT_EQ(host.CallInt(42, {&udp}), 0);
}

// Every local port in use: connect answers EADDRNOTAVAIL. The open fails with no stream, socket or
// memory left behind, and the next open gets the same reference.
TEST(Waits, AnOpenWithNoLocalPortLeftFailsAndKeepsNothing) {
    PluginHost host;
    const int32_t listener = TcpListen(host, FreePort(host), kLoopback);
    ASSERT_NE(listener, 0);
    const int32_t port = LocalPort(host, listener);
    const int descriptors = OpenDescriptors();
    const int64_t allocations = HostLiveAllocations();
    HostSystemCallTable()->connect = [](int, const sockaddr*, socklen_t) {
        errno = EADDRNOTAVAIL;
        return -1;
    };
    EXPECT_EQ(TcpOpen(host, "127.0.0.1", port), 0);
    HostRestoreSystemCalls();
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(HostLiveAllocations(), allocations);
    const int32_t opened = TcpOpen(host, "127.0.0.1", port);
    EXPECT_EQ(opened, listener + 1);
    EXPECT_EQ(TcpWaitState(host, opened, 0, 5), StreamEstablished);
}

}  // namespace
}  // namespace zor::test
