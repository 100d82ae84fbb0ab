// startup.cpp: start-up (selector -1) and shutdown (selector -2) of the plug-in.
#include "net/net.h"
#include "plugin/commands.h"
#include "store/store.h"

namespace zor::plugin {
namespace {

HostHandle g_running = nullptr;  // the global record of the plug-in started and not yet shut down

// What shutdown does: releases every stream of the record (when there is one) and the keyed text
// store, closes every listening socket, stops the socket layer and removes the event hook. The
// record itself stays with the host.
void Stop(HostHandle globalsHandle) {
    if (globalsHandle != nullptr) {
        auto* globals = reinterpret_cast<PluginGlobals*>(*globalsHandle);
        for (net::StreamRecord*& entry : globals->StreamTable)
            if (entry != nullptr) (void)net::ReleaseStream(&entry);
        store::StoreDispose(globals);
    }
    net::CloseAllListeners();
    net::StopSockets();
    HostSetEventHook(nullptr);
    g_running = nullptr;
}

}  // namespace

// Start-up makes and locks the global record, resets the socket table, starts the socket layer and,
// unless the host runs polling only, installs the event hook and finds the host's event window.
// With no variable to keep the record in, nothing happens: no command could reach it. A start-up
// while the plug-in runs first stops it as shutdown would, so that the streams, listening sockets
// and store of the first start are released rather than lost (the socket table is shared by the
// whole process); the new record then starts empty, as the host expects of a start-up.
void StartUp(HostHandle* globalsVariable) {
    if (globalsVariable == nullptr) return;
    if (g_running != nullptr) Stop(g_running);
    HostHandle globals = HostNewHandleClear(static_cast<int32_t>(sizeof(PluginGlobals)));
    *globalsVariable = globals;
    if (globals != nullptr) HostLockHandle(globals);
    g_running = globals;
    net::ResetSocketTable();
    net::StartSockets();
    if (HostPlatformId() != HostPlatformWindowsNT) {
        HostSetEventHook(net::WinsockEventHook);
        HostRect bounds;
        HostSetRect(&bounds, 0, 0, 0, 0);
        const unsigned char title[1] = {0};
        HostWindow window = HostNewWindow(nullptr, &bounds, title, false, 0, nullptr, false, 0);
        void* eventWindow = HostParentWindow(HostNativeWindow(window));
        net::SetEventWindow(eventWindow);
        if (eventWindow == nullptr) HostAlert("ZOR error: Couldn't get parent window for Winsock events !");
        HostDisposeWindow(window);
    }
    net::ResetNetCounters();
}

// Shutdown releases every stream and the keyed text store, closes every listening socket, stops the
// socket layer and removes the event hook. The global record itself stays with the host.
void ShutDown(HostHandle* globalsVariable) {
    Stop(globalsVariable != nullptr ? *globalsVariable : nullptr);
}

}  // namespace zor::plugin
