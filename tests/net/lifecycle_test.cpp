// lifecycle_test.cpp: TCP streams from open to release: the state moves against python3 peers,
// StreamRef handling, buffer sizes, and what closing and releasing leave behind.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

#include "net_support.h"

namespace zor::test {
namespace {

using namespace zor::net;

// Connects a stream to a python listener and has the peer accept it.
struct Connected {
    Peer peer{kPeerScript};
    int32_t ref = 0;
    Connected(PluginHost& host) {
        peer.WriteLine("listen");
        const int port = peer.ReadInt();
        ref = TcpOpen(host, "127.0.0.1", port);
        peer.WriteLine("accept");
        peer.ReadLine();
    }
};

TEST(StreamStates, ConnectingThenEstablishedThenClosedByThePeer) {
    PluginHost host;
    Connected c(host);
    ASSERT_EQ(c.ref, 1);
    EXPECT_EQ(TcpWaitState(host, c.ref, 0, 10), StreamEstablished);
    EXPECT_EQ(Counter(host, -6), 1);
    EXPECT_EQ(Counter(host, -7), 1);
    // The peer's close is not seen by polls, only by a receive.
    c.peer.WriteLine("close 0");
    c.peer.ReadLine();
    EXPECT_EQ(TcpState(host, c.ref), StreamEstablished);
    std::string got;
    int passes = 0;
    while (TcpState(host, c.ref) == StreamEstablished && passes++ < 20000) EXPECT_EQ(TcpReceive(host, c.ref, got), 0);
    EXPECT_EQ(TcpState(host, c.ref), StreamClosed);
    EXPECT_EQ(got, "");
    // The state never goes back down: a later poll still reports 14.
    EXPECT_EQ(TcpWaitState(host, c.ref, StreamClosed, 0), StreamClosed);
    // Released without TcpClose: the socket is closed and the release is not counted as unclosed.
    const int before = OpenDescriptors();
    EXPECT_EQ(TcpRelease(host, c.ref), 0);
    EXPECT_EQ(OpenDescriptors(), before - 1);
    EXPECT_EQ(Counter(host, -10), 0);
}

TEST(StreamStates, APeerResetIsSeenAsClosedByTheReceive) {
    PluginHost host;
    Connected c(host);
    ASSERT_EQ(TcpWaitState(host, c.ref, 0, 10), StreamEstablished);
    c.peer.WriteLine("reset 0");
    c.peer.ReadLine();
    std::string got;
    int32_t r = 0;
    for (int pass = 0; pass < 20000 && r == 0; ++pass) r = TcpReceive(host, c.ref, got);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(TcpState(host, c.ref), StreamClosed);
    EXPECT_EQ(TcpRelease(host, c.ref), 0);
}

TEST(StreamStates, UrgentDataIsAnExceptionalConditionAndFails) {
    PluginHost host;
    Connected c(host);
    ASSERT_EQ(TcpWaitState(host, c.ref, 0, 10), StreamEstablished);
    c.peer.WriteLine("oob 0");
    c.peer.ReadLine();
    EXPECT_EQ(TcpWaitState(host, c.ref, StreamFailed, 10), StreamFailed);
    // Failed is final: closing moves nothing back down.
    EXPECT_EQ(TcpClose(host, c.ref), 0);
    EXPECT_EQ(TcpState(host, c.ref), StreamFailed);
    EXPECT_EQ(TcpRelease(host, c.ref), 0);
}

TEST(StreamStates, ARefusedConnectionFails) {
    PluginHost host;
    // A port nobody listens on: take one from the system and close it again.
    const int32_t probe = TcpListen(host, 0, kLoopback);
    const int32_t port = LocalPort(host, probe);
    ASSERT_EQ(TcpRelease(host, probe), 0);
    const int32_t ref = TcpOpen(host, "127.0.0.1", port);
    ASSERT_NE(ref, 0);
    EXPECT_EQ(TcpWaitState(host, ref, 0, 10), StreamFailed);
    EXPECT_EQ(TcpState(host, ref), StreamFailed);
    EXPECT_EQ(Counter(host, -7), 0);
    EXPECT_EQ(TcpRelease(host, ref), 0);
    EXPECT_EQ(Counter(host, -10), 2);  // the listener and the failed stream, both unclosed
}

TEST(StreamStates, CloseThenRelease) {
    PluginHost host;
    Connected c(host);
    ASSERT_EQ(TcpWaitState(host, c.ref, 0, 10), StreamEstablished);
    const int before = OpenDescriptors();
    EXPECT_EQ(TcpClose(host, c.ref), 0);
    EXPECT_EQ(OpenDescriptors(), before - 1);
    EXPECT_EQ(TcpState(host, c.ref), StreamClosed);
    EXPECT_EQ(RecordOf(host, c.ref)->socket, kNoSocket);
    EXPECT_EQ(Counter(host, -9), 1);
    EXPECT_EQ(TcpClose(host, c.ref), -1);  // nothing left to close
    EXPECT_EQ(TcpState(host, c.ref), StreamClosed);
    c.peer.WriteLine("drain 0");
    EXPECT_EQ(c.peer.ReadLine(), "0");  // the peer sees an orderly end
    // A closed stream keeps its StreamRef until released; receiving on it fails.
    std::string got;
    EXPECT_EQ(TcpReceive(host, c.ref, got), -1);
    EXPECT_EQ(TcpRelease(host, c.ref), 0);
    EXPECT_EQ(OpenDescriptors(), before - 1);
    EXPECT_EQ(TcpState(host, c.ref), -1);
}

TEST(StreamStates, WaitStateTimesOutOnTheManualClock) {
    PluginHost host;
    Connected c(host);
    ASSERT_EQ(TcpWaitState(host, c.ref, 0, 10), StreamEstablished);
    ManualClock clock(1);
    // Nobody closes: waiting for 14 ends at the time-out, 5 seconds of ticks later.
    EXPECT_EQ(TcpWaitState(host, c.ref, StreamClosed, 5), StreamEstablished);
    EXPECT_GE(clock.yields, 300u);
    EXPECT_LE(clock.yields, 302u);
    clock.yields = 0;
    // A negative target waits for the time-out whatever the state.
    EXPECT_EQ(TcpWaitState(host, c.ref, -1, 2), StreamEstablished);
    EXPECT_GE(clock.yields, 120u);
}

TEST(StreamRefs, HandedOutLowestFirstAndGivenBack) {
    PluginHost host;
    const int32_t a = TcpListen(host, 0, kLoopback);
    const int32_t b = TcpListen(host, 0, 0x7F000002);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(TcpRelease(host, a), 0);
    EXPECT_EQ(TcpListen(host, 0, kLoopback), 1);
    int32_t zero = 0;
    EXPECT_EQ(host.CallInt(52, {&zero}), 2);
    // Released with the keep-count flag: the entry is free but still counted.
    EXPECT_EQ(TcpRelease(host, b, 1), 0);
    EXPECT_EQ(host.CallInt(52, {&zero}), 2);
    EXPECT_EQ(TcpListen(host, 0, 0x7F000002), 2);
}

TEST(StreamRefs, BadReferencesAnswerMinusOneAndReleaseLeavesTheSlot) {
    PluginHost host;
    for (int32_t ref : {0, 1024, 5, -1000}) {
        EXPECT_EQ(TcpClose(host, ref), -1) << ref;
        EXPECT_EQ(TcpRelease(host, ref), PluginHost::kUntouched) << ref;
        EXPECT_EQ(TcpBytesAvailable(host, ref), -1) << ref;
    }
    EXPECT_EQ(TcpState(host, 0), -1);
    EXPECT_EQ(TcpState(host, -19), -1);
    EXPECT_EQ(TcpWaitState(host, 7, 8, 1), -1);
    StreamInfo info = TcpStreamInfo(host, 9);
    EXPECT_EQ(info.result, -1);
    EXPECT_EQ(info.minusOne, 0x33);  // nothing written
}

TEST(StreamRefs, TheReuseArgumentIsLeftAlone) {
    PluginHost host;
    const int32_t first = TcpListen(host, 0, kLoopback);
    ASSERT_EQ(first, 1);
    Str255 name("127.0.0.1");
    int16_t port = static_cast<int16_t>(LocalPort(host, first)), localPort = 0;
    int32_t buffer = 0, unused = 0, reuse = first, localAddress = 0;
    const int32_t opened = host.CallInt(2, {name.bytes, &port, &buffer, &unused, &reuse, &localPort, &localAddress});
    EXPECT_EQ(opened, 2);
    EXPECT_NE(RecordOf(host, first), nullptr);
    int16_t unusedShort = 0, listenPort = 0;
    int32_t otherAddress = 0x7F000003;
    EXPECT_EQ(host.CallInt(3, {&unused, &unusedShort, &listenPort, &buffer, &unused, &reuse, &otherAddress}), 3);
    EXPECT_NE(RecordOf(host, first), nullptr);
    int32_t zero = 0;
    EXPECT_EQ(host.CallInt(52, {&zero}), 3);
}

TEST(StreamRefs, UnresolvableNamesAndRejectedAddressesGiveNoStream) {
    PluginHost host;
    const int before = OpenDescriptors();
    const int64_t memory = HostLiveAllocations();
    // An unknown name tries 0.0.0.0, which is refused at once or fails; never a crash or a leak.
    const int32_t ref = TcpOpen(host, "no-such-host.invalid", 9);
    if (ref != 0) {
        EXPECT_EQ(TcpWaitState(host, ref, 0, 10), StreamFailed);
        EXPECT_EQ(TcpRelease(host, ref), 0);
    }
    // Binding to an address this machine does not have fails: no stream.
    EXPECT_EQ(TcpOpen(host, "127.0.0.1", 9, 0, 0, 0x0A0B0C0D), 0);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(HostLiveAllocations(), memory);
    EXPECT_EQ(Counter(host, -6), 2);  // both got a record before connecting
}

// Buffer sizes of a socket: send, receive.
std::pair<int, int> SocketBuffers(int socket) {
    int send = 0, receive = 0;
    socklen_t length = sizeof(int);
    getsockopt(socket, SOL_SOCKET, SO_SNDBUF, &send, &length);
    getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &receive, &length);
    return {send, receive};
}

TEST(StreamRecords, BufferSizesAreClampedAndStateStartsIdle) {
    // The largest ask sets nothing: the socket keeps the system's own sizing, as a fresh one has it.
    const int fresh = socket(AF_INET, SOCK_STREAM, 0);
    const std::pair<int, int> system = SocketBuffers(fresh);
    close(fresh);
    struct Case {
        int32_t asked, expected;  // expected 0: the system's sizing
    } cases[] = {{0, 8192}, {-5, 8192}, {20000, 20000}, {32766, 32766}, {32767, 0}, {100000, 0}};
    for (Case c : cases) {
        StreamRecord* s = CreateTcpStream(c.asked);
        ASSERT_NE(s, nullptr);
        const std::pair<int, int> sizes = SocketBuffers(s->socket);
        if (c.expected == 0) {
            EXPECT_EQ(sizes, system) << c.asked;
        } else {
            EXPECT_EQ(sizes, std::make_pair(2 * c.expected, 2 * c.expected)) << c.asked;  // Linux reports twice the size set
        }
        EXPECT_EQ(s->state, StreamIdle);
        EXPECT_EQ(s->sentCount, 0);
        EXPECT_EQ(s->lastReceiveCount, 0);
        EXPECT_EQ(StreamState(&s, 14), 0);
        EXPECT_EQ(ReleaseStream(&s), 0);
        EXPECT_EQ(s, nullptr);
    }
}

TEST(StreamRecords, FloorsRaiseButNothingLowers) {
    StreamRecord* s = CreateTcpStream(0);
    ASSERT_NE(s, nullptr);
    s->state = StreamClosed;
    const int32_t socket = s->socket;
    s->socket = kNoSocket;
    EXPECT_EQ(UpdateStreamState(s, StreamConnecting), StreamClosed);
    EXPECT_EQ(UpdateStreamState(s, StreamFailed), StreamFailed);
    EXPECT_EQ(UpdateStreamState(s, StreamIdle), StreamFailed);
    EXPECT_EQ(UpdateStreamState(nullptr, 0), -1);
    s->socket = socket;
    EXPECT_EQ(ReleaseStream(&s), 0);
}

}  // namespace
}  // namespace zor::test
