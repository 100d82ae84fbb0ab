// net.h: the networking subsystem: stream records, shared listeners, sending, receiving, UDP, names.
#ifndef ZOR_NET_NET_H
#define ZOR_NET_NET_H

#include <cstdint>

#include "plugin/globals.h"

namespace zor::net {

struct StreamRecord;

// ---- Used by start-up and shutdown ----------------------------------------------------------------
void ResetSocketTable();   // frees all listening-socket entries
void ResetNetCounters();   // zeroes the network counters
void StartSockets();       // starts the socket layer
void StopSockets();        // stops it
void SetEventWindow(void* window);  // the window socket events are delivered to, or null
void CloseAllListeners();  // cancels subscriptions and closes every listening socket
// Releases the stream of a table entry and empties the entry; 0 or -1.
[[nodiscard]] int16_t ReleaseStream(StreamRecord** entry);
// The event hook installed at start-up: 0 when it consumed the message, 1 when the host should.
int32_t WinsockEventHook(void* window, HostEventMessage* message);

}  // namespace zor::net

#endif  // ZOR_NET_NET_H
