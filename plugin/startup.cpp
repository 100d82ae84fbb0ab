// startup.cpp: start-up (selector -1) and shutdown (selector -2) of the plug-in.
#include "net/net.h"
#include "plugin/commands.h"
#include "store/store.h"

namespace zor::plugin {

// Start-up makes and locks the global record, resets the socket table, starts the socket layer and,
// unless the host runs polling only, installs the event hook and finds the host's event window.
void StartUp(HostHandle* globalsVariable) {
    HostHandle globals = HostNewHandleClear(static_cast<int32_t>(sizeof(PluginGlobals)));
    *globalsVariable = globals;
    if (globals != nullptr) HostLockHandle(globals);
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
    if (globalsVariable != nullptr && *globalsVariable != nullptr) {
        auto* globals = reinterpret_cast<PluginGlobals*>(**globalsVariable);
        for (net::StreamRecord*& entry : globals->StreamTable)
            if (entry != nullptr) (void)net::ReleaseStream(&entry);
        store::StoreDispose(globals);
    }
    net::CloseAllListeners();
    net::StopSockets();
    HostSetEventHook(nullptr);
}

}  // namespace zor::plugin
