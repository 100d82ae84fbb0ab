// host_events.h: the host toolbox's socket-event service (subscriptions polled during HostYield).
#ifndef ZOR_HOST_EVENTS_H
#define ZOR_HOST_EVENTS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // ZOR_HOST_EVENTS_H
