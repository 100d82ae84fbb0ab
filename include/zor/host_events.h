// host_events.h: the host toolbox's socket-event service (subscriptions polled during HostYield).
#ifndef ZOR_HOST_EVENTS_H
#define ZOR_HOST_EVENTS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Socket events a subscription may ask for (the bits of the event record's lParam).
enum { HostSocketRead = 1, HostSocketWrite = 2, HostSocketAccept = 8, HostSocketConnect = 16, HostSocketClose = 32 };

// Subscribes `socket` for `events`: while any of them is ready, HostYield (at most once a tick)
// calls the installed event hook with {window, message, socket, ready events}. A new subscription
// of the same socket replaces the old one; events 0 cancels it. Returns 0, or -1 when the socket is
// not a descriptor.
int32_t HostAsyncSelect(int32_t socket, void* window, uint32_t message, int32_t events);

// Number of live subscriptions (tests).
int32_t HostSocketSubscriptions(void);

// ---- For a host that sleeps in poll itself (one that runs several flows of work) ----------------
// The socket and poll(2) bits of subscription `index` (0 up to HostSocketSubscriptions() - 1): a host
// sleeps on these too, so that events come while every flow waits. Returns 0, or -1 past the last.
int32_t HostSocketSubscriptionAt(int32_t index, int32_t* socket, int16_t* pollEvents);
// Delivers what is ready now, without HostYield's once-a-tick limit (the host's poll found a
// subscribed socket ready). Returns the number of messages delivered.
int32_t HostDeliverSocketEventsNow(void);
// Called after each message the event hook was given, with its socket (0 removes it): the event hook
// may have changed what a flow waits on that socket for (a connection accepted for a stream whose
// flow waits on the listening socket), so the host lets those flows look again.
typedef void (*HostSocketEventObserver)(void* context, int32_t socket);
void HostSetSocketEventObserver(HostSocketEventObserver observer, void* context);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // ZOR_HOST_EVENTS_H
