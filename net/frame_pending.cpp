// frame_pending.cpp: the frame's view of networking until streams exist: no socket is ever opened,
// so there is nothing to release or close.
#include "net/net.h"

namespace zor::net {

void ResetSocketTable() {}
void ResetNetCounters() {}
void StartSockets() {}
void StopSockets() {}
void SetEventWindow(void*) {}
void CloseAllListeners() {}
int16_t ReleaseStream(StreamRecord** entry) {
    *entry = nullptr;
    return -1;
}
int32_t WinsockEventHook(void*, HostEventMessage*) { return 1; }

}  // namespace zor::net
