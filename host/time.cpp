// time.cpp: ticks, yielding to the host's pending work, the cancel request, delays and the
// millisecond counter.
#include <poll.h>
#include <time.h>

#include <atomic>

#include "host/host_internal.h"

namespace zor::host {
namespace {

bool g_manualClock = false;
uint32_t g_manualTicks = 0;
uint32_t g_millisecondOffset = 0;
void (*g_yieldCallback)(void*) = nullptr;
void* g_yieldContext = nullptr;
HostWaitHook g_waitHook = nullptr;  // the host's own scheduler, or null: the layer sleeps itself
void* g_waitContext = nullptr;
// Set by HostRequestCancel, which a signal handler or another thread may call: lock-free.
std::atomic<int32_t> g_cancelRequested{0};
static_assert(std::atomic<int32_t>::is_always_lock_free, "the cancel request is set from signal handlers");

uint64_t MonotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace

// Weak so that the host layer links before the socket-event service exists; the service's own
// definition replaces it.
[[gnu::weak]] void DeliverSocketEvents() {}

}  // namespace zor::host

using namespace zor::host;

extern "C" {

uint32_t HostTicks(void) {
    if (g_manualClock) return g_manualTicks;
    return static_cast<uint32_t>(MonotonicNanoseconds() * 60 / 1000000000u);
}

void HostYield(void) {
    DeliverSocketEvents();
    if (g_waitHook != nullptr) g_waitHook(g_waitContext, -1, 0, 0);
    if (g_yieldCallback != nullptr) g_yieldCallback(g_yieldContext);
}

void HostYieldWaiting(int32_t socket, int16_t events, uint32_t ticks) {
    DeliverSocketEvents();
    if (g_waitHook != nullptr) {
        g_waitHook(g_waitContext, socket, events, ticks);
    } else if (ticks > 0 && !g_manualClock) {
        // At most one tick, so the caller still looks at its time-out and the cancel request often.
        constexpr int milliseconds = 17;
        if (socket >= 0) {
            pollfd p{socket, events, 0};
            HostSystemCallTable()->poll(&p, 1, milliseconds);
        } else {
            HostSystemCallTable()->poll(nullptr, 0, milliseconds);
        }
    }
    if (g_yieldCallback != nullptr) g_yieldCallback(g_yieldContext);
}

int32_t HostCancelRequested(void) { return g_cancelRequested.load(std::memory_order_relaxed); }

void HostRequestCancel(void) { g_cancelRequested.store(1, std::memory_order_relaxed); }

void HostClearCancel(void) { g_cancelRequested.store(0, std::memory_order_relaxed); }

void HostDelay(uint32_t ticks) {
    if (g_manualClock) {
        g_manualTicks += ticks;
        return;
    }
    const uint32_t start = HostTicks();
    while (HostTicks() - start < ticks) {
        timespec pause{0, 2000000};  // 2 ms: finer than a tick
        nanosleep(&pause, nullptr);
    }
}

uint32_t HostMilliseconds(void) {
    return static_cast<uint32_t>(MonotonicNanoseconds() / 1000000u) + g_millisecondOffset;
}

void HostSetManualClock(bool on) {
    if (on && !g_manualClock) g_manualTicks = HostTicks();
    g_manualClock = on;
}

void HostAdvanceTicks(uint32_t ticks) { g_manualTicks += ticks; }

void HostSetYieldCallback(void (*callback)(void*), void* context) {
    g_yieldCallback = callback;
    g_yieldContext = context;
}

void HostSetWaitHook(HostWaitHook hook, void* context) {
    g_waitHook = hook;
    g_waitContext = context;
}

void HostSetMillisecondOffset(uint32_t offset) { g_millisecondOffset = offset; }

}  // extern "C"
