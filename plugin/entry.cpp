// entry.cpp: RozoZIvav, the plug-in's one entry point, and the dispatch of every selector.
#include "net/net.h"
#include "plugin/commands.h"

namespace zor::plugin {
namespace {

constexpr int32_t kTcpRelease = 5;
constexpr int32_t kTcpState = 6;

// TcpState reads the network counters for references -18 to -1 instead of resolving a stream.
bool IsCounterSelector(int32_t selector, int32_t ref) { return selector == kTcpState && ref >= -18 && ref <= -1; }

void Dispatch(int32_t selector, void** params, HostHandle* globalsVariable, void* result) {
    if (selector == ZorSelectorStartUp) {
        StartUp(globalsVariable);
        return;
    }
    if (selector == ZorSelectorShutDown) {
        ShutDown(globalsVariable);
        return;
    }
    const HandlerEntry* handler = FindHandler(selector);
    if (handler == nullptr) return;

    CommandCall call{params, nullptr, result, nullptr};
    if (globalsVariable != nullptr && *globalsVariable != nullptr)
        call.globals = reinterpret_cast<PluginGlobals*>(**globalsVariable);
    if ((handler->flags & kNeedsGlobals) != 0 && call.globals == nullptr) return;

    if ((handler->flags & kResolvesStream) == kResolvesStream) {
        const int32_t ref = IntArg(call, 1);
        if (!IsCounterSelector(selector, ref)) {
            bool inUse = false;
            call.entry = ResolveStreamRef(call.globals, ref, inUse);
            if (!inUse) {
                if (selector != kTcpRelease) SetIntResult(call, -1);
                return;
            }
            // A stream of the wrong kind: a TCP socket read as datagrams would lose the peer's bytes.
            const int16_t kind = (*call.entry)->kind;
            if (((handler->flags & kTcpOnly) != 0 && kind != net::StreamTcp) ||
                ((handler->flags & kUdpOnly) != 0 && kind != net::StreamUdp)) {
                SetIntResult(call, -1);
                return;
            }
        }
    }
    handler->run(call);
}

}  // namespace
}  // namespace zor::plugin

extern "C" __attribute__((visibility("default"))) void RozoZIvav(int32_t selector, void** params,
                                                                 HostHandle* globals, void* result) {
    zor::plugin::Dispatch(selector, params, globals, result);
}
