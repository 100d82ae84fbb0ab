// cancel_test.cpp: commands that wait on a peer or a time-out end at the first yield after the host
// asks for a cancel, with their failure result, and leave every other stream working.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include "net_support.h"
#include "support/files.h"

namespace zor::test {
namespace {

using namespace zor::net;

// The manual clock stands still, so a wait the cancel does not end would run for good: after
// `kBackstop` more yields the clock jumps past every deadline (and a watched stream's sending side
// is shut), and the yield count shows the fault.
constexpr uint32_t kBackstop = 5000;

// Requests the cancel at yield `at` (or, with `stalled` set, once that many yields in a row saw the
// stream's sent count stand still), and counts the yields of the command.
struct CancelAt {
    uint32_t at = 0;
    uint32_t stalled = 0;
    net::StreamRecord* watched = nullptr;
    uint32_t yields = 0;
    uint32_t requestedAt = 0;  // the yield that asked, 0 while none has
    int32_t lastSent = -1;
    uint32_t still = 0;

    CancelAt() {
        HostSetManualClock(true);
        HostSetYieldCallback(OnYield, this);
    }
    ~CancelAt() {
        HostSetYieldCallback(nullptr, nullptr);
        HostSetManualClock(false);
        HostClearCancel();
    }
    static void OnYield(void* context) {
        auto* c = static_cast<CancelAt*>(context);
        ++c->yields;
        if (c->requestedAt == 0) {
            bool ask = c->at != 0 && c->yields >= c->at;
            if (c->watched != nullptr) {
                c->still = c->watched->sentCount == c->lastSent ? c->still + 1 : 0;
                c->lastSent = c->watched->sentCount;
                ask = c->still >= c->stalled;
            }
            if (ask) {
                c->requestedAt = c->yields;
                HostRequestCancel();
            }
        } else if (c->yields == c->requestedAt + kBackstop) {
            HostAdvanceTicks(60u * 100000u);
            if (c->watched != nullptr) ::shutdown(c->watched->socket, SHUT_WR);
        }
    }
    // The command ended at the first look after the request.
    bool EndedAtOnce() const { return requestedAt != 0 && yields == requestedAt; }
};

TEST(Cancel, ASendToAPeerThatNeverReadsEndsAndOtherStreamsGoOn) {
    PluginHost host;
    const StreamPair other = ConnectPair(host);
    const StreamPair stuck = ConnectPair(host);  // its accepted side never reads
    ASSERT_NE(other.client, 0);
    ASSERT_NE(stuck.client, 0);
    const std::string block(32000, 'x');
    int32_t result = 0;
    {
        CancelAt cancel;
        cancel.watched = RecordOf(host, stuck.client);
        cancel.stalled = 200;
        // Loopback buffers take some megabytes before a send has to wait.
        for (int i = 0; i < 2000 && result == 0 && cancel.requestedAt == 0; ++i)
            result = TcpSend(host, stuck.client, block);
        EXPECT_TRUE(cancel.EndedAtOnce()) << cancel.yields << " yields, request at " << cancel.requestedAt;
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(HostCancelRequested(), 0);
    // The stuck stream is still there and is released as any other; the other one still carries data.
    EXPECT_EQ(TcpState(host, stuck.client), StreamEstablished);
    EXPECT_EQ(TcpRelease(host, stuck.client), 0);
    EXPECT_EQ(TcpRelease(host, stuck.listener), 0);
    EXPECT_EQ(TcpSend(host, other.client, "still here"), 0);
    EXPECT_EQ(ReceiveAll(host, other.listener, 10), "still here");
    EXPECT_EQ(TcpSend(host, other.listener, "and back"), 0);
    EXPECT_EQ(ReceiveAll(host, other.client, 8), "and back");
}

TEST(Cancel, WaitsOnAStateADatagramAndAFileEndWithTheirFailureResults) {
    PluginHost host;
    StreamPair pair = ConnectPair(host);
    ASSERT_NE(pair.client, 0);
    {
        // A wait for state 20 on an established stream with an hour's time-out: the state as it is.
        CancelAt cancel;
        cancel.at = 50;
        EXPECT_EQ(TcpWaitState(host, pair.client, 20, 3600), StreamEstablished);
        EXPECT_TRUE(cancel.EndedAtOnce()) << cancel.yields;
    }
    {
        int32_t port = 0, unused = 0, timeout = 3600;
        int32_t udp = host.CallInt(41, {&port, &unused, &unused});
        ASSERT_NE(udp, 0);
        Text text("previous");
        int32_t address = -7, from = -7;
        CancelAt cancel;
        cancel.at = 50;
        EXPECT_EQ(host.CallInt(44, {&udp, &text.block, &address, &from, &unused, &timeout}), -1);
        EXPECT_TRUE(cancel.EndedAtOnce()) << cancel.yields;
        EXPECT_EQ(text.block.length, 0);
        EXPECT_EQ(address, -7);
        EXPECT_EQ(host.CallInt(42, {&udp}), 0);
    }
    {
        // Bytes arrive, then the peer goes quiet with the stream still open: the file is incomplete.
        TempDir dir;
        ASSERT_EQ(TcpSend(host, pair.client, "partial"), 0);
        Text name(dir / "received");
        int32_t flags = 0, append = 0, idle = 3600;
        CancelAt cancel;
        cancel.at = 50;
        EXPECT_EQ(host.CallInt(13, {&pair.listener, &name.block, &flags, &append, &idle}), -1);
        EXPECT_TRUE(cancel.EndedAtOnce()) << cancel.yields;
        EXPECT_EQ(ReadFile(dir / "received"), "partial");
        EXPECT_EQ(RecordOf(host, pair.listener), nullptr);  // released, as every way out of it does
    }
    EXPECT_EQ(TcpState(host, pair.client), StreamEstablished);
}

}  // namespace
}  // namespace zor::test
