// host_internal.h: what the rooms of the host layer share among themselves.
#ifndef ZOR_HOST_INTERNAL_H
#define ZOR_HOST_INTERNAL_H

#include "zor/host_toolbox.h"

namespace zor::host {

// The live system-call table (see HostSystemCallTable).
HostSystemCalls& Sys();

// Sets the status HostMemoryError reports.
void SetMemoryError(int16_t status);

// Called by HostYield before the test callback: delivers pending socket events.
void DeliverSocketEvents();

// True when the environment variable is set to "1".
bool EnvironmentFlag(const char* name);

}  // namespace zor::host

#endif  // ZOR_HOST_INTERNAL_H
