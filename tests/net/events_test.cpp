// events_test.cpp: the host's socket-event service (subscriptions polled during yields, at most once
// a tick) and the plug-in's event hook.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "net_support.h"

namespace zor::test {
namespace {

std::vector<HostEventMessage> g_seen;

int32_t Record(void*, HostEventMessage* message) {
    g_seen.push_back(*message);
    return 0;
}

// A plain listening socket on loopback with one connection queued on it.
struct QueuedConnection {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QueuedConnection() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(kLoopback);
        socklen_t n = sizeof a;
        bind(listener, reinterpret_cast<sockaddr*>(&a), n);
        listen(listener, 4);
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n);
        connect(client, reinterpret_cast<sockaddr*>(&a), n);
    }
    ~QueuedConnection() {
        close(client);
        close(listener);
    }
};

TEST(HostSocketEvents, DeliveredDuringYieldsAtMostOnceATick) {
    ManualClock clock;
    HostSetEventHook(Record);
    g_seen.clear();
    QueuedConnection q;
    int window = 0;
    ASSERT_EQ(HostAsyncSelect(q.listener, &window, 777, HostSocketAccept), 0);
    EXPECT_EQ(HostSocketSubscriptions(), 1);
    HostAdvanceTicks(1);
    HostYield();
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].window, &window);
    EXPECT_EQ(g_seen[0].message, 777u);
    EXPECT_EQ(g_seen[0].wParam, q.listener);
    EXPECT_EQ(g_seen[0].lParam, HostSocketAccept);
    HostYield();  // the same tick: no second check
    EXPECT_EQ(g_seen.size(), 1u);
    HostAdvanceTicks(1);
    HostYield();  // still queued: delivered again
    EXPECT_EQ(g_seen.size(), 2u);
    // A new subscription of the socket replaces the old one; events 0 cancels.
    EXPECT_EQ(HostAsyncSelect(q.listener, &window, 778, HostSocketAccept), 0);
    EXPECT_EQ(HostSocketSubscriptions(), 1);
    EXPECT_EQ(HostAsyncSelect(q.listener, &window, 0, 0), 0);
    EXPECT_EQ(HostSocketSubscriptions(), 0);
    HostAdvanceTicks(1);
    HostYield();
    EXPECT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(HostAsyncSelect(-1, &window, 777, HostSocketAccept), -1);
    EXPECT_EQ(HostSocketSubscriptions(), 0);
    HostSetEventHook(nullptr);
}

// A host that sleeps in poll itself: it learns the subscribed sockets, delivers at once (the tick's
// limit is HostYield's), and its observer hears of each delivered socket after the hook.
std::vector<int32_t> g_observed;

void Observe(void* context, int32_t socket) {
    EXPECT_EQ(context, &g_observed);
    EXPECT_EQ(g_seen.size(), g_observed.size() + 1);  // the hook first
    g_observed.push_back(socket);
}

TEST(HostSocketEvents, AHostThatPollsItselfDeliversAtOnceAndHearsOfEachDelivery) {
    ManualClock clock;
    HostSetEventHook(Record);
    HostSetSocketEventObserver(Observe, &g_observed);
    g_seen.clear();
    g_observed.clear();
    QueuedConnection q;
    int window = 0;
    ASSERT_EQ(HostAsyncSelect(q.listener, &window, 777, HostSocketAccept), 0);
    int32_t socket = -1;
    int16_t events = 0;
    ASSERT_EQ(HostSocketSubscriptionAt(0, &socket, &events), 0);
    EXPECT_EQ(socket, q.listener);
    EXPECT_EQ(events, POLLIN);
    EXPECT_EQ(HostSocketSubscriptionAt(1, &socket, &events), -1);
    EXPECT_EQ(HostDeliverSocketEventsNow(), 1);
    EXPECT_EQ(HostDeliverSocketEventsNow(), 1);  // the same tick
    EXPECT_EQ(g_observed, (std::vector<int32_t>{q.listener, q.listener}));
    HostSetSocketEventObserver(nullptr, nullptr);
    EXPECT_EQ(HostDeliverSocketEventsNow(), 1);
    EXPECT_EQ(g_observed.size(), 2u);
    EXPECT_EQ(HostAsyncSelect(q.listener, &window, 0, 0), 0);
    EXPECT_EQ(HostDeliverSocketEventsNow(), 0);
    HostSetEventHook(nullptr);
}

TEST(HostSocketEvents, NothingIsDeliveredWhileNothingIsReady) {
    ManualClock clock;
    HostSetEventHook(Record);
    g_seen.clear();
    const int idle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    bind(idle, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(idle, 4);
    int window = 0;
    ASSERT_EQ(HostAsyncSelect(idle, &window, 777, HostSocketAccept), 0);
    for (int i = 0; i < 5; ++i) {
        HostAdvanceTicks(1);
        HostYield();
    }
    EXPECT_TRUE(g_seen.empty());
    EXPECT_EQ(HostAsyncSelect(idle, &window, 0, 0), 0);
    close(idle);
    HostSetEventHook(nullptr);
}

TEST(EventHook, ConsumesOnlyItsOwnMessages) {
    int window = 0, other = 0;
    net::SetEventWindow(&window);
    HostEventMessage message{&window, net::kSocketEventMessage, 0, net::kEventAccept};
    EXPECT_EQ(net::WinsockEventHook(&window, &message), 0);
    EXPECT_EQ(net::WinsockEventHook(&other, &message), 1);
    message.message = 15;
    EXPECT_EQ(net::WinsockEventHook(&window, &message), 1);
    net::SetEventWindow(nullptr);
    message.message = net::kSocketEventMessage;
    EXPECT_EQ(net::WinsockEventHook(&window, &message), 1);
}

}  // namespace
}  // namespace zor::test
