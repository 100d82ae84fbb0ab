// reentry_test.cpp: a host that runs other commands while a stream command yields, as a real host
// does: a stream released and its reference given to a new connection mid-transfer, and a send
// whose peer takes nothing for a while.
#include <gtest/gtest.h>
#include <poll.h>

#include <functional>
#include <vector>

#include "net_support.h"
#include "support/files.h"

namespace zor::test {
namespace {

using namespace zor::net;

// Runs an action at the end of every HostYield while alive.
class OnYield {
public:
    explicit OnYield(std::function<void()> action) : action_(std::move(action)) { HostSetYieldCallback(Run, this); }
    ~OnYield() { HostSetYieldCallback(nullptr, nullptr); }
    int yields = 0;

private:
    static void Run(void* self) {
        auto* hook = static_cast<OnYield*>(self);
        ++hook->yields;
        if (hook->action_) hook->action_();
    }
    std::function<void()> action_;
};

// The reference of a stream released during a transfer goes to a new connection to another
// listener: nothing of the old transfer may reach the new peer, and the transfer ends there. The
// new stream's own bytes arrive alone.
TEST(StreamsReleasedDuringAYield, NothingOfTheOldTransferReachesTheNewStream) {
    PluginHost host;
    TempDir folder;
    WriteFile(folder.File("big"), PatternBytes(4 << 20, 5));
    const StreamPair first = ConnectPair(host);
    ASSERT_GT(first.client, 0);
    const int32_t other = TcpListen(host, 0, kLoopback);
    ASSERT_GT(other, 0);
    const int32_t otherPort = LocalPort(host, other);

    int32_t reopened = 0;
    std::string reachedOther;
    OnYield hook([&] {
        if (reopened == 0) {
            // Early in the transfer: another process releases the stream and opens a connection.
            (void)TcpRelease(host, first.client);
            reopened = TcpOpen(host, "127.0.0.1", otherPort);
            return;
        }
        std::string piece;
        if (TcpState(host, other) == StreamEstablished && TcpReceive(host, other, piece) > 0) reachedOther += piece;
    });
    Text name(folder.File("big"));
    int32_t ref = first.client, flags = 0, chunk = 0, start = 0, end = 0;
    (void)host.CallInt(12, {&ref, &name.block, &flags, &chunk, &start, &end});
    HostSetYieldCallback(nullptr, nullptr);
    ASSERT_EQ(reopened, first.client) << "the new connection got the freed reference";

    // Everything the new stream sends after the transfer comes after whatever the transfer sent it.
    ASSERT_EQ(TcpWaitState(host, reopened, StreamEstablished, 10), StreamEstablished);
    ASSERT_EQ(TcpSend(host, reopened, "mine"), 0);
    ASSERT_EQ(TcpWaitState(host, other, StreamEstablished, 10), StreamEstablished);
    while (reachedOther.size() < 4 || reachedOther.compare(reachedOther.size() - 4, 4, "mine") != 0) {
        std::string piece;
        ASSERT_TRUE(AwaitBytes(host, other, 1));
        ASSERT_GT(TcpReceive(host, other, piece), 0);
        reachedOther += piece;
    }
    EXPECT_EQ(reachedOther.size(), 4u) << "bytes of the old transfer went to the new peer";
}

// A stream released during a yield of TcpClose's flush: the flush stops, touches neither the record
// nor the queued output's handle (which a new handle of the host may be using by then), and the
// close reports failure.
TEST(StreamsReleasedDuringAYield, TcpCloseFlushStopsAndLeavesTheHostsHandlesAlone) {
    PluginHost host;
    const StreamPair pair = ConnectPair(host);
    ASSERT_GT(pair.client, 0);
    ASSERT_EQ(TcpSend(host, pair.client, std::string(4000, 'q'), 1), 4000);  // queued
    std::vector<HostHandle> made;
    OnYield hook([&] {
        if (!made.empty()) return;
        (void)TcpRelease(host, pair.client);
        for (int i = 0; i < 8; ++i) made.push_back(NewHandleWith(std::string(4000, 'k')));
    });
    EXPECT_EQ(TcpClose(host, pair.client), -1);
    HostSetYieldCallback(nullptr, nullptr);
    ASSERT_EQ(made.size(), 8u);
    for (HostHandle h : made) {
        EXPECT_EQ(HandleBytes(h), std::string(4000, 'k'));
        HostDisposeHandle(h);
    }
}

// The system's poll, watched: each wait for a socket to take output.
std::vector<pollfd> g_writableWaits;
int WatchPoll(pollfd* fds, nfds_t count, int timeout) {
    if (timeout != 0) {
        for (nfds_t i = 0; i < count; ++i) {
            pollfd watched = fds[i];
            watched.revents = static_cast<short>(timeout);  // the time-out, kept beside the descriptor
            g_writableWaits.push_back(watched);
        }
    }
    return ::poll(fds, count, timeout);
}

// A send whose peer takes nothing waits for its socket to take more, one tick at most (on that
// socket alone), between its yields, instead of trying again at once.
TEST(BlockedSends, WaitForTheSocketOneTickAtATime) {
    PluginHost host;
    const StreamPair pair = ConnectPair(host);
    ASSERT_GT(pair.client, 0);
    const int32_t socket = RecordOf(host, pair.client)->socket;
    g_writableWaits.clear();
    HostSystemCallTable()->poll = WatchPoll;
    std::string received;
    int passes = 0;
    OnYield hook([&] {
        // The peer starts reading only once the sender has waited a few times (or, should it never
        // wait, after many passes, so that the test ends either way).
        if (g_writableWaits.size() < 3 && ++passes < 200000) return;
        std::string piece;
        if (TcpReceive(host, pair.listener, piece) > 0) received += piece;
    });
    std::string bytes;
    for (int i = 0; i < 20; ++i) {
        const std::string text = PatternBytes(30000, 9 + i);
        EXPECT_EQ(TcpSend(host, pair.client, text), 0);
        bytes += text;
    }
    HostRestoreSystemCalls();
    HostSetYieldCallback(nullptr, nullptr);
    ASSERT_GE(g_writableWaits.size(), 3u) << "the send tried again without waiting";
    for (const pollfd& wait : g_writableWaits) {
        EXPECT_EQ(wait.fd, socket);
        EXPECT_EQ(wait.events, POLLOUT);
        EXPECT_GE(wait.revents, 1000 / 60);
        EXPECT_LE(wait.revents, 1000 / 60 + 1);
    }
    received += ReceiveAll(host, pair.listener, bytes.size() - received.size());
    EXPECT_TRUE(received == bytes);
}

}  // namespace
}  // namespace zor::test
