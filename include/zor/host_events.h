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

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // ZOR_HOST_EVENTS_H
