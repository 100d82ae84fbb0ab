// stream_table.cpp: stream references: resolving, handing out and giving back.
#include "frame/frame.h"

namespace zor::frame {

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

}  // namespace zor::frame
