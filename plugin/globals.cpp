// globals.cpp: stream references: resolving, handing out and giving back; command 52.
#include "plugin/globals.h"

#include "plugin/commands.h"

namespace zor::plugin {

net::StreamRecord** ResolveStreamRef(PluginGlobals* globals, int32_t ref, bool& inUse) {
    inUse = false;
    if (globals == nullptr || ref <= 0 || ref >= kStreamTableSize) return nullptr;
    net::StreamRecord** entry = &globals->StreamTable[ref];
    inUse = *entry != nullptr;
    return entry;
}

int32_t AllocateStreamRef(PluginGlobals* globals, net::StreamRecord* record) {
    for (int32_t ref = 1; ref < kStreamTableSize; ++ref) {
        if (globals->StreamTable[ref] == nullptr) {
            globals->StreamTable[ref] = record;
            ++globals->OpenStreamCount;
            return ref;
        }
    }
    return 0;
}

void FreeStreamRef(PluginGlobals* globals, net::StreamRecord** entry) {
    *entry = nullptr;
    --globals->OpenStreamCount;
}

// StreamList (n): n = 0 gives the count of references handed out; any other n the lowest StreamRef
// in use. An n outside 0..1024 gives -1 unless some stream is open.
void StreamList(CommandCall& call) {
    const int32_t n = IntArg(call, 1);
    int32_t result = 0;
    if (n < 0 || n > kStreamTableSize) result = -1;
    if (n == 0) {
        result = call.globals->OpenStreamCount;
    } else {
        for (int32_t ref = 1; ref < kStreamTableSize; ++ref) {
            if (call.globals->StreamTable[ref] != nullptr) {
                result = ref;
                break;
            }
        }
    }
    SetIntResult(call, result);
}

}  // namespace zor::plugin
