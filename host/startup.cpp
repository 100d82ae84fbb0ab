// startup.cpp: the services start-up uses: the event hook, the host's windows, alerts, the platform.
#include <cstdio>
#include <cstring>

#include "host/host_internal.h"

// A window of the host. Its native handle's parent is the host's event window.
struct HostWindowRecord {
    HostRect bounds;
    int32_t reference;
    void* native;  // the native window: this record's own address
    bool owned;    // made by HostNewWindow (no storage supplied), so freed by HostDisposeWindow
};

namespace zor::host {
namespace {

HostEventHook g_hook = nullptr;
bool g_pollingOnlySet = false;
bool g_pollingOnly = false;
int g_eventWindow = 0;  // its address stands for the host's event window

}  // namespace
}  // namespace zor::host

using namespace zor::host;

extern "C" {

void HostSetEventHook(HostEventHook hook) { g_hook = hook; }

HostEventHook HostCurrentEventHook(void) { return g_hook; }

void HostSetRect(HostRect* r, int16_t left, int16_t top, int16_t right, int16_t bottom) {
    r->left = left;
    r->top = top;
    r->right = right;
    r->bottom = bottom;
}

HostWindow HostNewWindow(void* storage, const HostRect* bounds, const unsigned char*, bool, int16_t, HostWindow,
                         bool, int32_t reference) {
    auto* window = storage != nullptr ? static_cast<HostWindowRecord*>(storage) : new HostWindowRecord{};
    window->bounds = bounds != nullptr ? *bounds : HostRect{};
    window->reference = reference;
    window->native = window;
    window->owned = storage == nullptr;
    return window;
}

void* HostNativeWindow(HostWindow window) { return window != nullptr ? window->native : nullptr; }

void HostDisposeWindow(HostWindow window) {
    if (window != nullptr && window->owned) delete window;
}

void HostAlert(const char* message) { std::fprintf(stderr, "zor-host: %s\n", message); }

int32_t HostPlatformId(void) {
    if (!g_pollingOnlySet) {
        g_pollingOnlySet = true;
        g_pollingOnly = EnvironmentFlag("ZOR_POLLING_ONLY");
    }
    return g_pollingOnly ? HostPlatformWindowsNT : HostPlatformWindows;
}

void* HostParentWindow(void* nativeWindow) { return nativeWindow != nullptr ? &g_eventWindow : nullptr; }

void HostSetPollingOnly(bool on) {
    g_pollingOnlySet = true;
    g_pollingOnly = on;
}

}  // extern "C"
