// events.cpp: socket-event delivery: the host polls subscribed sockets during HostYield, at most
// once a tick, and hands each ready one to the installed event hook as a window message; a host that
// sleeps in poll itself learns the subscribed sockets, delivers at once, and hears of each delivery.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>

#include <vector>

#include "host/host_internal.h"

namespace zor::host {
namespace {

struct Subscription {
    int32_t socket;
    void* window;
    uint32_t message;
    int32_t events;      // HostSocket... bits
    uint64_t serial;     // tells a subscription from a later one of the same descriptor
};

std::vector<Subscription> g_subscriptions;
uint64_t g_nextSerial = 1;
bool g_checked = false;      // a check has run at g_lastCheck
uint32_t g_lastCheck = 0;    // the tick of the last check
bool g_delivering = false;   // the hook may yield again: no nested delivery
HostSocketEventObserver g_observer = nullptr;  // told of each delivered message's socket, or null
void* g_observerContext = nullptr;             // given back to the observer

short PollEventsFor(int32_t events) {
    short e = 0;
    if (events & (HostSocketRead | HostSocketAccept | HostSocketClose)) e |= POLLIN;
    if (events & (HostSocketWrite | HostSocketConnect)) e |= POLLOUT;
    return e;
}

int32_t ReadyEvents(int32_t wanted, short revents) {
    int32_t ready = 0;
    if (revents & (POLLIN | POLLHUP | POLLERR)) ready |= wanted & (HostSocketRead | HostSocketAccept | HostSocketClose);
    if (revents & (POLLOUT | POLLERR)) ready |= wanted & (HostSocketWrite | HostSocketConnect);
    return ready;
}

// Polls the subscriptions once and hands the ready ones to the event hook; the messages delivered.
int32_t DeliverReady() {
    if (g_subscriptions.empty() || g_delivering) return 0;
    std::vector<pollfd> fds;
    fds.reserve(g_subscriptions.size());
    for (const Subscription& s : g_subscriptions) fds.push_back({s.socket, PollEventsFor(s.events), 0});
    int n;
    do {
        n = ::poll(fds.data(), fds.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return 0;

    // The hook may cancel or add subscriptions: deliver from a copy, skipping the ones that went.
    struct Ready {
        Subscription subscription;
        int32_t events;
    };
    std::vector<Ready> ready;
    for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents & POLLNVAL) continue;  // closed without cancelling: never ready
        const int32_t events = ReadyEvents(g_subscriptions[i].events, fds[i].revents);
        if (events != 0) ready.push_back({g_subscriptions[i], events});
    }
    g_delivering = true;
    int32_t delivered = 0;
    for (const Ready& r : ready) {
        bool live = false;
        for (const Subscription& s : g_subscriptions) live = live || s.serial == r.subscription.serial;
        HostEventHook hook = HostCurrentEventHook();
        if (!live || hook == nullptr) continue;
        HostEventMessage message{r.subscription.window, r.subscription.message, r.subscription.socket, r.events};
        (void)hook(r.subscription.window, &message);
        ++delivered;
        if (g_observer != nullptr) g_observer(g_observerContext, r.subscription.socket);
    }
    g_delivering = false;
    return delivered;
}

}  // namespace

void DeliverSocketEvents() {
    if (g_subscriptions.empty() || g_delivering) return;
    const uint32_t now = HostTicks();
    if (g_checked && now == g_lastCheck) return;
    g_checked = true;
    g_lastCheck = now;
    (void)DeliverReady();
}

}  // namespace zor::host

using namespace zor::host;

extern "C" {

int32_t HostAsyncSelect(int32_t socket, void* window, uint32_t message, int32_t events) {
    for (size_t i = 0; i < g_subscriptions.size(); ++i) {
        if (g_subscriptions[i].socket == socket) {
            g_subscriptions.erase(g_subscriptions.begin() + static_cast<ptrdiff_t>(i));
            break;
        }
    }
    if (events == 0) return 0;
    if (socket < 0 || fcntl(socket, F_GETFD) < 0) return -1;
    g_subscriptions.push_back({socket, window, message, events, g_nextSerial++});
    return 0;
}

int32_t HostSocketSubscriptions(void) { return static_cast<int32_t>(g_subscriptions.size()); }

int32_t HostSocketSubscriptionAt(int32_t index, int32_t* socket, int16_t* pollEvents) {
    if (index < 0 || static_cast<size_t>(index) >= g_subscriptions.size()) return -1;
    if (socket != nullptr) *socket = g_subscriptions[static_cast<size_t>(index)].socket;
    if (pollEvents != nullptr) *pollEvents = PollEventsFor(g_subscriptions[static_cast<size_t>(index)].events);
    return 0;
}

int32_t HostDeliverSocketEventsNow(void) { return DeliverReady(); }

void HostSetSocketEventObserver(HostSocketEventObserver observer, void* context) {
    g_observer = observer;
    g_observerContext = context;
}

}  // extern "C"
