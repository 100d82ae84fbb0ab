// listeners_test.cpp: listening streams sharing one socket, how connections reach them (socket
// events during yields, or polls), lingering after sharing, and the limits of the socket table.
#include <gtest/gtest.h>

#include <thread>

#include "net_support.h"

namespace zor::test {
namespace {

using namespace zor::net;

// Yields to the host (which delivers socket events) until `count` connections were accepted.
bool YieldUntilAccepted(PluginHost& host, int32_t count) {
    for (int pass = 0; pass < 20000; ++pass) {
        if (Counter(host, -8) >= count) return true;
        HostYield();
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
}

class PollingOnly {
public:
    PollingOnly() { HostSetPollingOnly(true); }
    ~PollingOnly() { HostSetPollingOnly(false); }
};

TEST(SharedListeners, TwoListensOnOnePortShareOneSocket) {
    PluginHost host;
    const int32_t port = FreePort(host);
    const int before = OpenDescriptors();
    const int32_t a = TcpListen(host, port, kLoopback);
    const int32_t b = TcpListen(host, port, kLoopback);
    ASSERT_NE(a, 0);
    ASSERT_NE(b, 0);
    EXPECT_EQ(OpenDescriptors(), before + 1);
    EXPECT_EQ(RecordOf(host, a)->socket, RecordOf(host, b)->socket);
    EXPECT_EQ(RecordOf(host, a)->entryNumber, RecordOf(host, b)->entryNumber);
    EXPECT_EQ(TcpState(host, a), StreamListening);
    // A listening stream is not closed by TcpClose; it is released.
    EXPECT_EQ(TcpClose(host, a), 0);
    EXPECT_EQ(TcpState(host, a), StreamListening);
    const StreamInfo info = TcpStreamInfo(host, b);
    EXPECT_EQ(info.result, 0);
    EXPECT_EQ(info.remoteAddress, 0);
    EXPECT_EQ(info.remotePort, 0);
    EXPECT_EQ(static_cast<uint16_t>(info.localPort), port);
    EXPECT_EQ(info.localAddress, kLoopback);
    EXPECT_EQ(info.minusOne, -1);
    EXPECT_EQ(TcpBytesAvailable(host, a), 0);
    // The same port on another address is another entry; Linux refuses the second bind.
    EXPECT_EQ(TcpListen(host, port, 0), 0);
    EXPECT_EQ(OpenDescriptors(), before + 1);
}

TEST(SharedListeners, SocketEventsHandQueuedConnectionsOldestFirst) {
    PluginHost host;
    const int32_t port = FreePort(host);
    const int32_t a = TcpListen(host, port, kLoopback);
    const int32_t b = TcpListen(host, port, kLoopback);
    Peer peer(kPeerScript);
    for (const char* word : {"first", "second"}) {
        peer.WriteLine("connect " + std::to_string(port));
        const std::string index = peer.ReadLine();
        peer.WriteLine("send " + index + " " + Hex(word));
        peer.ReadLine();
    }
    // No stream is polled: the connections are taken during yields, by the event hook.
    ASSERT_TRUE(YieldUntilAccepted(host, 2));
    EXPECT_EQ(RecordOf(host, a)->state, StreamEstablished);
    EXPECT_EQ(RecordOf(host, b)->state, StreamEstablished);
    EXPECT_EQ(ReceiveAll(host, a, 5), "first");
    EXPECT_EQ(ReceiveAll(host, b, 6), "second");
    EXPECT_EQ(TcpStreamInfo(host, a).remoteAddress, kLoopback);
}

TEST(SharedListeners, APollGivesTheConnectionToThePolledStream) {
    PollingOnly pollingOnly;
    PluginHost host;
    const int32_t port = FreePort(host);
    const int32_t a = TcpListen(host, port, kLoopback);
    const int32_t b = TcpListen(host, port, kLoopback);
    Peer peer(kPeerScript);
    peer.WriteLine("connect " + std::to_string(port));
    ASSERT_EQ(peer.ReadLine(), "0");
    HostYield();  // polling only: nothing is delivered
    EXPECT_EQ(Counter(host, -8), 0);
    EXPECT_EQ(TcpState(host, b), StreamEstablished);
    EXPECT_EQ(TcpState(host, a), StreamListening);
    EXPECT_EQ(Counter(host, -8), 1);
    // b left the waiting list: a's release empties the entry, which lingers (it was shared).
    EXPECT_EQ(TcpRelease(host, a), 0);
    peer.WriteLine("connect " + std::to_string(port));
    EXPECT_EQ(peer.ReadLine(), "1");
}

TEST(SharedListeners, ASingleListenerClosesItsSocketOnceConnected) {
    PluginHost host;
    const int32_t port = FreePort(host);
    const int32_t a = TcpListen(host, port, kLoopback);
    Peer peer(kPeerScript);
    peer.WriteLine("connect " + std::to_string(port));
    ASSERT_EQ(peer.ReadLine(), "0");
    const int before = OpenDescriptors();
    EXPECT_EQ(TcpWaitState(host, a, 0, 10), StreamEstablished);
    EXPECT_EQ(OpenDescriptors(), before);  // the listener went, the connection came
    peer.WriteLine("connect " + std::to_string(port));
    EXPECT_EQ(peer.ReadLine(), "refused");
    // A new listen on the port binds a new socket.
    const int32_t c = TcpListen(host, port, kLoopback);
    ASSERT_NE(c, 0);
    EXPECT_NE(RecordOf(host, c)->socket, RecordOf(host, a)->socket);
}

TEST(SharedListeners, AfterSharingTheSocketLingersAndIsReused) {
    PluginHost host;
    const int32_t port = FreePort(host);
    ManualClock clock;  // stands still unless advanced
    const int32_t a = TcpListen(host, port, kLoopback);
    const int32_t b = TcpListen(host, port, kLoopback);
    Peer peer(kPeerScript);
    for (int i = 0; i < 2; ++i) {
        peer.WriteLine("connect " + std::to_string(port));
        ASSERT_EQ(peer.ReadLine(), std::to_string(i));
    }
    EXPECT_EQ(TcpState(host, a), StreamEstablished);
    EXPECT_EQ(TcpState(host, b), StreamEstablished);
    // Nobody listens now, yet connections queue on the lingering socket...
    peer.WriteLine("connect " + std::to_string(port));
    ASSERT_EQ(peer.ReadLine(), "2");
    HostAdvanceTicks(1000);
    // ...and a listen within the linger time reuses it and gets the queued connection at once.
    const int32_t c = TcpListen(host, port, kLoopback);
    ASSERT_NE(c, 0);
    EXPECT_EQ(RecordOf(host, c)->state, StreamEstablished);
    peer.WriteLine("send 2 " + Hex("third"));
    peer.ReadLine();
    EXPECT_EQ(ReceiveAll(host, c, 5), "third");
    // The entry lingers again. Its first pass is due 1800 ticks after the first linger began.
    HostAdvanceTicks(800);
    EXPECT_EQ(TcpState(host, a), StreamEstablished);  // a poll at T + 1800: not yet
    peer.WriteLine("connect " + std::to_string(port));
    ASSERT_EQ(peer.ReadLine(), "3");
    HostAdvanceTicks(1);
    // Past its time, but nothing closes it until a stream is polled.
    peer.WriteLine("connect " + std::to_string(port));
    ASSERT_EQ(peer.ReadLine(), "4");
    // The pass at T + 1801 finds the revived entry's expiry (T + 1000 + 1800) still ahead.
    EXPECT_EQ(TcpState(host, a), StreamEstablished);
    peer.WriteLine("connect " + std::to_string(port));
    ASSERT_EQ(peer.ReadLine(), "5");
    // The next pass comes 1800 ticks after that one, and then the expiry is past.
    HostAdvanceTicks(1800);
    EXPECT_EQ(TcpState(host, b), StreamEstablished);
    peer.WriteLine("connect " + std::to_string(port));
    ASSERT_EQ(peer.ReadLine(), "6");
    HostAdvanceTicks(1);
    EXPECT_EQ(TcpState(host, b), StreamEstablished);
    peer.WriteLine("connect " + std::to_string(port));
    EXPECT_EQ(peer.ReadLine(), "refused");
}

TEST(SharedListeners, ALingeringSocketClosesAtTheFirstPollAfterItsTime) {
    PluginHost host;
    const int32_t port = FreePort(host);
    ManualClock clock;
    const int32_t a = TcpListen(host, port, kLoopback);
    const int32_t b = TcpListen(host, port, kLoopback);
    const int32_t other = TcpListen(host, 0, kLoopback);
    const uint32_t t = HostTicks();
    EXPECT_EQ(TcpRelease(host, a), 0);
    EXPECT_EQ(TcpRelease(host, b), 0);  // the last user leaves at T
    Peer peer(kPeerScript);
    HostAdvanceTicks(1800);
    EXPECT_EQ(TcpState(host, other), StreamListening);
    peer.WriteLine("connect " + std::to_string(port));
    EXPECT_EQ(peer.ReadLine(), "0");  // still there at T + 1800
    HostAdvanceTicks(1);
    EXPECT_EQ(HostTicks(), t + 1801);
    EXPECT_EQ(TcpState(host, other), StreamListening);
    peer.WriteLine("connect " + std::to_string(port));
    EXPECT_EQ(peer.ReadLine(), "refused");
}

// The event path takes connections during any command that yields, here a UDP receive waiting for
// nothing; with polling only they wait for a poll.
void ConnectionDuringAnUnrelatedWait(bool pollingOnly) {
    HostSetPollingOnly(pollingOnly);
    {
        PluginHost host;
        const int32_t port = FreePort(host);
        const int32_t listener = TcpListen(host, port, kLoopback);
        EXPECT_EQ(HostSocketSubscriptions(), pollingOnly ? 0 : 1);
        Peer peer(kPeerScript);
        peer.WriteLine("connect " + std::to_string(port));
        ASSERT_EQ(peer.ReadLine(), "0");
        int32_t zero = 0;
        int32_t udp = host.CallInt(41, {&zero, &zero, &zero});
        ASSERT_NE(udp, 0);
        {
            ManualClock clock(1);
            Text datagram;
            int32_t address = 0, senderPort = 0, unused = 0, timeout = 1;
            EXPECT_EQ(host.CallInt(44, {&udp, &datagram.block, &address, &senderPort, &unused, &timeout}), -1);
        }
        EXPECT_EQ(Counter(host, -8), pollingOnly ? 0 : 1);
        EXPECT_EQ(RecordOf(host, listener)->state, pollingOnly ? StreamListening : StreamEstablished);
        EXPECT_EQ(TcpState(host, listener), StreamEstablished);
        EXPECT_EQ(Counter(host, -8), 1);
    }
    HostSetPollingOnly(false);
}

TEST(SocketEvents, EventPathAcceptsDuringTheYieldOfAnotherCommand) { ConnectionDuringAnUnrelatedWait(false); }

TEST(SocketEvents, PollingOnlyAcceptsOnlyWhenPolled) {
    ConnectionDuringAnUnrelatedWait(false);  // an event-path start first: nothing of it may remain
    ConnectionDuringAnUnrelatedWait(true);
}

TEST(SocketTable, AFullTableRefusesTheListenInsteadOfListeningOnNothing) {
    PluginHost host;
    const int before = OpenDescriptors();
    const int64_t memory = HostLiveAllocations();
    std::vector<int32_t> refs;
    for (int32_t i = 1; i <= kSocketTableSize; ++i) {
        refs.push_back(TcpListen(host, 0, kLoopback + i));  // 127.0.0.i: a pair of its own
        ASSERT_NE(refs.back(), 0) << i;
    }
    EXPECT_EQ(TcpListen(host, 0, kLoopback + kSocketTableSize + 1), 0);
    EXPECT_EQ(OpenDescriptors(), before + kSocketTableSize);
    // Joining an existing pair still works.
    const int32_t joined = TcpListen(host, 0, kLoopback + 5);
    ASSERT_NE(joined, 0);
    EXPECT_EQ(RecordOf(host, joined)->socket, RecordOf(host, refs[4])->socket);
    refs.push_back(joined);
    for (int32_t ref : refs) EXPECT_EQ(TcpRelease(host, ref), 0);
    host.Stop();  // the shared entry lingers until shutdown
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(HostLiveAllocations(), memory - 1);  // the global record went with the host
}

// The waiting list itself, on the socket table of this process.
TEST(SocketTable, WaitingListsKeepTheirOrderAsStreamsLeave) {
    ResetSocketTable();
    StreamRecord* s[3];
    for (StreamRecord*& stream : s) {
        stream = CreateTcpStream(0);
        ASSERT_NE(stream, nullptr);
        ASSERT_EQ(JoinListener(stream, 0, kLoopback), 0);
        stream->state = StreamListening;
    }
    SocketEntry* e = SocketEntryAt(s[0]->entryNumber);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->users, 3);
    EXPECT_EQ(e->keepOpen, 1);
    EXPECT_EQ(s[1]->socket, e->socket);
    EXPECT_EQ(DetachListener(s[1]), 0);
    EXPECT_EQ(e->firstWaiting, s[0]);
    EXPECT_EQ(s[0]->nextWaiting, s[2]);
    EXPECT_EQ(e->lastWaiting, s[2]);
    EXPECT_EQ(DetachListener(s[2]), 0);
    EXPECT_EQ(e->lastWaiting, s[0]);
    EXPECT_EQ(s[0]->nextWaiting, nullptr);
    EXPECT_EQ(DetachListener(s[0]), 1);
    EXPECT_EQ(e->firstWaiting, nullptr);
    EXPECT_NE(e->expiry, 0);  // shared: it lingers
    EXPECT_NE(e->socket, kNoSocket);
    for (StreamRecord*& stream : s) {
        stream->socket = kNoSocket;  // the shared socket belongs to the entry
        EXPECT_EQ(ReleaseStream(&stream), 0);
    }
    CloseAllListeners();
    EXPECT_EQ(e->socket, kNoSocket);
}

}  // namespace
}  // namespace zor::test
