// frame.h: the command frame every subsystem stands on: the plug-in's global record, its table of
// stream references, and how commands reach their arguments and result slot.
#ifndef ZOR_FRAME_FRAME_H
#define ZOR_FRAME_FRAME_H

#include <cstdint>
#include <cstring>

#include "zor/host_toolbox.h"

namespace zor::net {
struct StreamRecord;
}

namespace zor::frame {

inline constexpr int kStreamTableSize = 1024;  // entries 0..1023; entry 0 is never handed out

// The global record: one zero-filled handle made and locked at start-up, kept by the host.
struct PluginGlobals {
    net::StreamRecord* StreamTable[kStreamTableSize];  // entry i: the record of StreamRef i, or null
    int16_t OpenStreamCount;                           // references handed out minus those given back
    HostHandle StoreHandleField;                       // the keyed text store, or null until the first push
};

// Address of the table entry of `ref` when 0 < ref < 1024, else null. `inUse` tells whether the
// entry holds a stream.
net::StreamRecord** ResolveStreamRef(PluginGlobals* globals, int32_t ref, bool& inUse);

// Stores `record` in the lowest free entry from 1 to 1023, counts it and returns its index; 0 when
// every entry is taken (the record is then stored nowhere and stays the caller's).
int32_t AllocateStreamRef(PluginGlobals* globals, net::StreamRecord* record);

// Empties an entry and gives its reference back to the count.
void FreeStreamRef(PluginGlobals* globals, net::StreamRecord** entry);

// One command call as the dispatcher hands it over.
struct CommandCall {
    void** params;                // params[n-1]: the host's variable of argument n, or null
    PluginGlobals* globals;       // the global record, or null before start-up
    void* result;                 // the result slot
    net::StreamRecord** entry;    // stream commands: the resolved table entry of argument 1
};

using CommandHandler = void (*)(CommandCall& call);

// ---- Arguments (n counts from 1) -------------------------------------------------------------------
inline bool HasArg(const CommandCall& c, int n) { return c.params[n - 1] != nullptr; }
inline int32_t IntArg(const CommandCall& c, int n) {
    int32_t v;
    std::memcpy(&v, c.params[n - 1], sizeof v);
    return v;
}
inline void SetIntArg(const CommandCall& c, int n, int32_t v) { std::memcpy(c.params[n - 1], &v, sizeof v); }
// A short is the first two bytes of the host's variable.
inline int16_t ShortArg(const CommandCall& c, int n) {
    int16_t v;
    std::memcpy(&v, c.params[n - 1], sizeof v);
    return v;
}
inline void SetShortArg(const CommandCall& c, int n, int16_t v) { std::memcpy(c.params[n - 1], &v, sizeof v); }
// A counted string of the host: length byte, then at most 255 bytes.
inline unsigned char* StringArg(const CommandCall& c, int n) { return static_cast<unsigned char*>(c.params[n - 1]); }
inline TextBlock& TextArg(const CommandCall& c, int n) { return *static_cast<TextBlock*>(c.params[n - 1]); }
inline HostHandle& PictureArg(const CommandCall& c, int n) { return *static_cast<HostHandle*>(c.params[n - 1]); }
// A date: day, month, year.
inline int16_t* DateArg(const CommandCall& c, int n) { return static_cast<int16_t*>(c.params[n - 1]); }

// ---- Results ---------------------------------------------------------------------------------------
inline void SetIntResult(const CommandCall& c, int32_t v) { std::memcpy(c.result, &v, sizeof v); }
// The host's 256-byte result string.
inline unsigned char* StringResult(const CommandCall& c) { return *static_cast<unsigned char**>(c.result); }
// The host's result text block, which the command fills.
inline TextBlock* TextResult(const CommandCall& c) { return *static_cast<TextBlock**>(c.result); }
inline void SetPictureResult(const CommandCall& c, HostHandle h) { std::memcpy(c.result, &h, sizeof h); }

}  // namespace zor::frame

#endif  // ZOR_FRAME_FRAME_H
