// transfer_test.cpp: sending and receiving over TCP streams: the push rules of the pending output,
// receive sizes, counters, stream information, and a peer that resets in the middle of a send.
#include <gtest/gtest.h>

#include "net_support.h"

namespace zor::test {
namespace {

using namespace zor::net;

class Transfer : public ::testing::Test {
protected:
    void SetUp() override {
        pair = ConnectPair(host);
        ASSERT_NE(pair.client, 0);
        ASSERT_EQ(TcpState(host, pair.client), StreamEstablished);
        ASSERT_EQ(TcpState(host, pair.listener), StreamEstablished);
    }
    PluginHost host;
    StreamPair pair;
};

std::string Bytes(size_t n, char first = 'a') {
    std::string s(n, ' ');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(first + i % 26);
    return s;
}

TEST_F(Transfer, PushOneQueuesUntilAnEmptyTextSends) {
    std::string all;
    for (int i = 1; i <= 10; ++i) {
        const std::string piece = Bytes(100, static_cast<char>('A' + i));
        all += piece;
        EXPECT_EQ(TcpSend(host, pair.client, piece, 1), 100 * i);
    }
    EXPECT_EQ(TcpState(host, pair.client, 17), 0);
    EXPECT_EQ(Counter(host, -12), 0);
    EXPECT_EQ(TcpBytesAvailable(host, pair.listener), 0);
    EXPECT_EQ(TcpSend(host, pair.client, "", 1), 0);
    EXPECT_EQ(TcpState(host, pair.client, 17), 1000);
    EXPECT_EQ(Counter(host, -12), 1000);
    EXPECT_EQ(ReceiveAll(host, pair.listener, 1000), all);
    EXPECT_EQ(Counter(host, -11), 1000);
}

TEST_F(Transfer, PushThresholdsAndLargeTexts) {
    // Push 1000: queued until at least 1000 bytes wait.
    EXPECT_EQ(TcpSend(host, pair.client, Bytes(300), 1000), 300);
    EXPECT_EQ(TcpSend(host, pair.client, Bytes(300), 1000), 600);
    EXPECT_EQ(TcpSend(host, pair.client, Bytes(300), 1000), 900);
    EXPECT_EQ(TcpSend(host, pair.client, Bytes(300), 1000), 0);
    EXPECT_EQ(TcpState(host, pair.client, 17), 1200);
    // Push 1 with more than 4096 bytes: queued and sent at once.
    EXPECT_EQ(TcpSend(host, pair.client, Bytes(5000), 1), 0);
    EXPECT_EQ(TcpState(host, pair.client, 17), 6200);
    // Push 1 below the threshold, then a push-0 send: the queue goes first, then the text.
    EXPECT_EQ(TcpSend(host, pair.client, "head-", 1), 5);
    EXPECT_EQ(TcpSend(host, pair.client, "tail", 0), 0);
    const std::string expected = Bytes(300) + Bytes(300) + Bytes(300) + Bytes(300) + Bytes(5000) + "head-tail";
    EXPECT_EQ(ReceiveAll(host, pair.listener, expected.size()), expected);
}

TEST_F(Transfer, ANegativePushSendsAtOnceInsteadOfDroppingTheText) {
    EXPECT_EQ(TcpSend(host, pair.client, "lost?", -1), 0);
    EXPECT_EQ(TcpSend(host, pair.client, "queued ", 1), 7);
    EXPECT_EQ(TcpSend(host, pair.client, "then", -300), 0);
    EXPECT_EQ(ReceiveAll(host, pair.listener, 16), "lost?queued then");
}

TEST_F(Transfer, ATextLongerThanItsHandleSendsOnlyWhatTheHandleHolds) {
    for (int16_t push : {0, 1}) {
        Text text("0123456789");
        text.block.length = 100;
        int32_t ref = pair.client, flags = 0;
        EXPECT_EQ(host.CallInt(7, {&ref, &text.block, &push, &flags}), push == 0 ? 0 : 10);
    }
    EXPECT_EQ(TcpSend(host, pair.client, ""), 0);
    EXPECT_EQ(ReceiveAll(host, pair.listener, 20), "01234567890123456789");
}

TEST_F(Transfer, ReceiveSizes) {
    std::string got = "stale";
    EXPECT_EQ(TcpReceive(host, pair.listener, got), 0);  // nothing waiting
    EXPECT_EQ(got, "");
    const std::string hundred = Bytes(100);
    ASSERT_EQ(TcpSend(host, pair.client, hundred), 0);
    ASSERT_TRUE(AwaitBytes(host, pair.listener, 100));
    EXPECT_EQ(TcpReceive(host, pair.listener, got, 10), 10);
    EXPECT_EQ(got, hundred.substr(0, 10));
    EXPECT_EQ(TcpBytesAvailable(host, pair.listener), 90);
    EXPECT_EQ(TcpState(host, pair.listener, 14), 10);
    EXPECT_EQ(TcpReceive(host, pair.listener, got), 90);
    EXPECT_EQ(got, hundred.substr(10));
    EXPECT_EQ(TcpState(host, pair.listener, 14), 90);
    EXPECT_EQ(TcpReceive(host, pair.listener, got), 0);
    EXPECT_EQ(TcpState(host, pair.listener, 14), 90);  // the last receive that returned data
}

TEST_F(Transfer, ReceivingFlushesPendingOutputAndClosingFlushesToo) {
    EXPECT_EQ(TcpSend(host, pair.client, "ping", 1), 4);
    std::string got;
    EXPECT_EQ(TcpReceive(host, pair.client, got), 0);
    EXPECT_EQ(ReceiveAll(host, pair.listener, 4), "ping");
    EXPECT_EQ(TcpSend(host, pair.client, "bye", 1), 3);
    EXPECT_EQ(TcpClose(host, pair.client), 0);
    EXPECT_EQ(ReceiveAll(host, pair.listener, 100), "bye");
    EXPECT_EQ(TcpState(host, pair.listener), StreamClosed);
    // Sending on a stream whose socket is gone fails.
    EXPECT_EQ(TcpSend(host, pair.client, "late"), -1);
}

TEST_F(Transfer, StreamInfoOfConnectedStreams) {
    const StreamInfo client = TcpStreamInfo(host, pair.client);
    const StreamInfo accepted = TcpStreamInfo(host, pair.listener);
    EXPECT_EQ(client.result, 0);
    EXPECT_EQ(client.remoteAddress, kLoopback);
    EXPECT_EQ(client.localAddress, kLoopback);
    EXPECT_EQ(client.remotePort, accepted.localPort);
    EXPECT_EQ(accepted.remotePort, client.localPort);
    EXPECT_EQ(accepted.minusOne, -1);
    // After TcpClose there is no socket: zeros, and still a result of 0.
    ASSERT_EQ(TcpClose(host, pair.client), 0);
    const StreamInfo closed = TcpStreamInfo(host, pair.client);
    EXPECT_EQ(closed.result, 0);
    EXPECT_EQ(closed.remoteAddress, 0);
    EXPECT_EQ(closed.remotePort, 0);
    EXPECT_EQ(closed.localPort, 0);
}

TEST_F(Transfer, NetworkCounters) {
    ASSERT_EQ(TcpSend(host, pair.client, "12345"), 0);
    EXPECT_EQ(ReceiveAll(host, pair.listener, 5), "12345");
    const int32_t expected[] = {1, 1, 1, 0, 0, 5, 5};  // -6 .. -12
    for (int i = 0; i < 7; ++i) EXPECT_EQ(Counter(host, -6 - i), expected[i]) << -6 - i;
    for (int32_t selector : {-1, -2, -3, -4, -5, -13, -14, -15, -16, -17, -18}) EXPECT_EQ(Counter(host, selector), 0);
    EXPECT_EQ(TcpClose(host, pair.client), 0);
    EXPECT_EQ(TcpRelease(host, pair.client), 0);    // closed: not counted as unclosed
    EXPECT_EQ(TcpRelease(host, pair.listener), 0);  // established: counted
    EXPECT_EQ(Counter(host, -9), 1);
    EXPECT_EQ(Counter(host, -10), 1);
}

TEST_F(Transfer, ConversionFlagsOnTheWayOutAndIn) {
    // Sending with CR to CR LF and Mac Roman to ISO-8859-1: the peer gets the converted bytes, and
    // the host's text is converted in place.
    Text out("caf\x8E\r");
    int16_t push = 0;
    int32_t flags = 0x01 | 0x04, ref = pair.client;
    EXPECT_EQ(host.CallInt(7, {&ref, &out.block, &push, &flags}), 0);
    EXPECT_EQ(out.str(), "caf\xE9\r\n");
    EXPECT_EQ(ReceiveAll(host, pair.listener, 6), "caf\xE9\r\n");
    // Receiving with CR to CR LF: the count is the bytes received, before conversion.
    ASSERT_EQ(TcpSend(host, pair.client, "a\rb"), 0);
    ASSERT_TRUE(AwaitBytes(host, pair.listener, 3));
    std::string got;
    EXPECT_EQ(TcpReceive(host, pair.listener, got, 0, 0x04), 3);
    EXPECT_EQ(got, "a\r\nb");
    EXPECT_EQ(Counter(host, -11), 9);
}

// Conversions that make a text longer never cut it: a receive takes no more than its conversion
// can hold, and a send of a text whose conversion outgrows a text sends all of it.
TEST(TransferConversions, ConversionsThatGrowLoseNothing) {
    PluginHost host;
    const StreamPair pair = ConnectPair(host, 32767);  // room for everything sent: nobody reads meanwhile
    ASSERT_GT(pair.client, 0);
    const std::string lines = std::string(20000, '\r') + "end";
    const std::string converted = [&] {
        std::string c;
        for (char ch : lines) c += ch == '\r' ? std::string("\r\n") : std::string(1, ch);
        return c;
    }();
    ASSERT_EQ(TcpSend(host, pair.client, lines), 0);
    std::string got;
    int32_t taken = 0;
    while (taken < static_cast<int32_t>(lines.size())) {
        ASSERT_TRUE(AwaitBytes(host, pair.listener, 1));
        std::string piece;
        const int32_t n = TcpReceive(host, pair.listener, piece, 0, 0x04);
        ASSERT_GT(n, 0);
        taken += n;
        got += piece;
    }
    EXPECT_TRUE(got == converted) << got.size() << " bytes after conversion";

    Text out(lines);
    int16_t push = 0;
    int32_t flags = 0x04, ref = pair.client;
    EXPECT_EQ(host.CallInt(7, {&ref, &out.block, &push, &flags}), 0);
    EXPECT_TRUE(ReceiveAll(host, pair.listener, converted.size()) == converted);
}

TEST(TransferLimits, At32000BytesPerReceiveAndASentCountThatWraps) {
    PluginHost host;
    StreamPair pair = ConnectPair(host, 32767);
    ASSERT_EQ(TcpState(host, pair.listener), StreamEstablished);
    const std::string block = Bytes(20000);
    ASSERT_EQ(TcpSend(host, pair.client, block), 0);
    ASSERT_EQ(TcpSend(host, pair.client, block), 0);
    EXPECT_EQ(TcpState(host, pair.client, 17), -25536);  // 40000 in 16 bits
    EXPECT_EQ(Counter(host, -12), 40000);
    ASSERT_TRUE(AwaitBytes(host, pair.listener, 32001));
    std::string got;
    EXPECT_EQ(TcpReceive(host, pair.listener, got), 32000);
    EXPECT_EQ(got, (block + block).substr(0, 32000));
    EXPECT_EQ(ReceiveAll(host, pair.listener, 8000), (block + block).substr(32000));
    EXPECT_EQ(Counter(host, -11), 40000);
}

// The peer resets while a long send waits for room: the send fails and the process lives on.
struct ResetDuringSend {
    Peer* peer;
    int yields = 0;
    bool reset = false;
    static void OnYield(void* self) {
        auto* r = static_cast<ResetDuringSend*>(self);
        if (++r->yields == 200 && !r->reset) {
            r->reset = true;
            r->peer->WriteLine("reset 0");
        }
    }
};

TEST(TransferFaults, APeerResetInTheMiddleOfASendGivesMinusOne) {
    PluginHost host;
    Peer peer(kPeerScript);
    peer.WriteLine("listen 4096");
    const int port = peer.ReadInt();
    const int32_t ref = TcpOpen(host, "127.0.0.1", port);
    peer.WriteLine("accept");
    peer.ReadLine();
    ASSERT_EQ(TcpWaitState(host, ref, 0, 10), StreamEstablished);
    ResetDuringSend watcher{&peer};
    HostSetYieldCallback(ResetDuringSend::OnYield, &watcher);
    const std::string block = Bytes(32000);
    int32_t result = 0;
    int sends = 0;
    while (result == 0 && sends++ < 200) result = TcpSend(host, ref, block);
    HostSetYieldCallback(nullptr, nullptr);
    EXPECT_TRUE(watcher.reset);
    EXPECT_EQ(result, -1);
    EXPECT_GT(Counter(host, -12), 0);
    EXPECT_EQ(TcpRelease(host, ref), 0);
}

// SendBytes and ReceiveBlock, as the stream transfers use them, on streams of this process.
TEST(TransferOperations, SendBytesFlushesFirstAndIsNotCounted) {
    ResetSocketTable();
    StreamRecord* listener = ListenStream(0, 0, kLoopback);
    ASSERT_NE(listener, nullptr);
    StreamAddressInfo where = StreamAddresses(&listener);
    const unsigned char name[] = "\x09" "127.0.0.1";
    StreamRecord* client = OpenStream(name, where.localPort, 0, 0, 0);
    ASSERT_NE(client, nullptr);
    int passes = 0;
    while ((UpdateStreamState(client, 0) != StreamEstablished || UpdateStreamState(listener, 0) != StreamEstablished) &&
           passes++ < 100000) {
    }
    ASSERT_EQ(listener->state, StreamEstablished);
    Text queued("pending;");
    EXPECT_EQ(QueueOrSend(&client, &queued.block, 1), 8);
    EXPECT_EQ(SendBytes(&client, "bytes", 5), 0);
    EXPECT_EQ(client->sentCount, 8);  // the flush counts, SendBytes does not
    EXPECT_EQ(client->pendingOutput.length, 0);
    EXPECT_EQ(HostGetHandleSize(client->pendingOutput.handle), 0);
    std::string got;
    for (passes = 0; got.size() < 13 && passes < 100000; ++passes) {
        Text piece;
        if (ReceiveBlock(&listener, piece.block, 0) > 0) got += piece.str();
    }
    EXPECT_EQ(got, "pending;bytes");
    EXPECT_EQ(SendBytes(&client, "x", 0), 0);
    StreamRecord* none = nullptr;
    EXPECT_EQ(SendBytes(&none, "x", 1), -1);
    EXPECT_EQ(ReceiveBlock(&none, queued.block, 0), -1);
    EXPECT_EQ(ReleaseStream(&client), 0);
    EXPECT_EQ(ReleaseStream(&listener), 0);
}

}  // namespace
}  // namespace zor::test
