// scale_test.cpp: a full stream table, descriptors above 1023, shutdown with everything open, and
// many open/close/release cycles leaving nothing behind.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <vector>

#include "net_support.h"

namespace zor::test {
namespace {

using namespace zor::net;

class MoreDescriptors {
public:
    MoreDescriptors() {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit raised = saved_;
        raised.rlim_cur = raised.rlim_max < 4096 ? raised.rlim_max : 4096;
        if (raised.rlim_cur > saved_.rlim_cur) setrlimit(RLIMIT_NOFILE, &raised);
    }
    ~MoreDescriptors() { setrlimit(RLIMIT_NOFILE, &saved_); }
    bool Enough() const {
        rlimit now;
        getrlimit(RLIMIT_NOFILE, &now);
        return now.rlim_cur >= 2200;
    }

private:
    rlimit saved_{};
};

TEST(Scale, AFullStreamTableAndDescriptorsAbove1023) {
    MoreDescriptors limit;
    if (!limit.Enough()) GTEST_SKIP() << "the descriptor limit cannot be raised";
    Peer peer(kPeerScript);
    peer.WriteLine("listen");
    const int port = peer.ReadInt();
    const int baseline = OpenDescriptors();
    {
        PluginHost host;
        const int64_t memory = HostLiveAllocations();
        std::vector<int32_t> refs;
        for (int i = 1; i <= 1023; ++i) {
            refs.push_back(TcpOpen(host, "127.0.0.1", port));
            ASSERT_EQ(refs.back(), i);
        }
        peer.WriteLine("acceptall 1023");
        ASSERT_EQ(peer.ReadInt(), 1023);
        for (int32_t ref : refs) ASSERT_EQ(TcpWaitState(host, ref, 0, 10), StreamEstablished) << ref;
        EXPECT_GT(RecordOf(host, 1023)->socket, 1023);
        // The table is full: the next stream is made, finds no reference and is given up at once.
        const int full = OpenDescriptors();
        const int64_t fullMemory = HostLiveAllocations();
        EXPECT_EQ(TcpOpen(host, "127.0.0.1", port), 0);
        int32_t zero = 0;
        EXPECT_EQ(host.CallInt(41, {&zero, &zero, &zero}), 0);
        EXPECT_EQ(TcpListen(host, 0, kLoopback), 0);
        EXPECT_EQ(OpenDescriptors(), full);
        EXPECT_EQ(HostLiveAllocations(), fullMemory);
        EXPECT_EQ(host.CallInt(52, {&zero}), 1023);
        // Two streams with the highest descriptors go; a pair of the plug-in's own streams takes
        // their descriptors, above 1023, and works there: polls, socket events, data.
        EXPECT_EQ(TcpRelease(host, 1022), 0);
        EXPECT_EQ(TcpRelease(host, 1023), 0);
        StreamPair pair = ConnectPair(host);
        ASSERT_NE(pair.client, 0);
        EXPECT_GT(RecordOf(host, pair.client)->socket, 1023);
        EXPECT_GT(RecordOf(host, pair.listener)->socket, 1023);
        EXPECT_EQ(TcpState(host, pair.listener), StreamEstablished);
        EXPECT_EQ(TcpSend(host, pair.client, "high"), 0);
        EXPECT_EQ(ReceiveAll(host, pair.listener, 4), "high");
        EXPECT_EQ(TcpState(host, pair.client), StreamEstablished);
        (void)memory;
    }
    EXPECT_EQ(OpenDescriptors(), baseline);
}

TEST(Scale, ShutdownClosesEverySocket) {
    Peer peer(kPeerScript);
    const int baseline = OpenDescriptors();
    {
        PluginHost host;
        StreamPair pair = ConnectPair(host);
        ASSERT_NE(pair.client, 0);
        EXPECT_EQ(TcpSend(host, pair.client, "queued", 1), 6);
        const int32_t port = FreePort(host);
        const int32_t a = TcpListen(host, port, kLoopback);
        const int32_t b = TcpListen(host, port, kLoopback);
        EXPECT_EQ(TcpRelease(host, a), 0);
        EXPECT_EQ(TcpRelease(host, b), 0);  // lingering now
        peer.WriteLine("connect " + std::to_string(port));
        EXPECT_EQ(peer.ReadLine(), "0");  // queued on the lingering socket
        EXPECT_NE(TcpListen(host, 0, kLoopback), 0);
        int32_t zero = 0;
        EXPECT_NE(host.CallInt(41, {&zero, &zero, &zero}), 0);
        EXPECT_EQ(TcpClose(host, pair.listener), 0);
        EXPECT_EQ(OpenDescriptors(), baseline + 4);  // client, lingering socket, listener, UDP
        EXPECT_GT(HostSocketSubscriptions(), 0);
    }
    EXPECT_EQ(OpenDescriptors(), baseline);
    EXPECT_EQ(HostSocketSubscriptions(), 0);
}

TEST(Scale, TenThousandCyclesLeaveNothingBehind) {
    Peer peer(kPeerScript);
    peer.WriteLine("listen");
    const int port = peer.ReadInt();
    peer.WriteLine("acceptloop");
    peer.ReadLine();
    PluginHost host;
    const int baseline = OpenDescriptors();
    const int64_t memory = HostLiveAllocations();
    int established = 0;
    for (int i = 0; i < 10000; ++i) {
        const int32_t ref = TcpOpen(host, "127.0.0.1", port);
        ASSERT_EQ(ref, 1) << i;
        if (TcpWaitState(host, ref, 0, 10) == StreamEstablished) ++established;
        if (i % 2 == 0) {
            EXPECT_EQ(TcpSend(host, ref, "x", 1), 1);  // pending output goes with it
        }
        EXPECT_EQ(TcpClose(host, ref), 0);
        EXPECT_EQ(TcpRelease(host, ref), 0);
        if (i % 10 == 0) {
            const int32_t listener = TcpListen(host, 0, kLoopback);
            ASSERT_EQ(listener, 1);
            EXPECT_EQ(TcpRelease(host, listener), 0);
            int32_t zero = 0;
            int32_t udp = host.CallInt(41, {&zero, &zero, &zero});
            ASSERT_EQ(udp, 1);
            EXPECT_EQ(host.CallInt(42, {&udp}), 0);
        }
    }
    EXPECT_EQ(established, 10000);
    EXPECT_EQ(OpenDescriptors(), baseline);
    EXPECT_EQ(HostLiveAllocations(), memory);
    EXPECT_EQ(static_cast<uint32_t>(Counter(host, -6)), 10000u);
    EXPECT_EQ(static_cast<uint32_t>(Counter(host, -9)), 10000u);
    int32_t zero = 0;
    EXPECT_EQ(host.CallInt(52, {&zero}), 0);
}

}  // namespace
}  // namespace zor::test
