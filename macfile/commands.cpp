// commands.cpp: commands 17 to 20, from the host's arguments to the converters and back.
#include <cstring>

#include "macfile/macfile.h"

namespace zor::macfile {
namespace {

// A private copy of a counted string argument, so the caller's variable is never changed.
void CopyName(const unsigned char* from, unsigned char to[256]) {
    std::memset(to, 0, 256);
    if (from != nullptr) std::memcpy(to, from, size_t(from[0]) + 1);
}

}  // namespace

void MacBinaryEncode(plugin::CommandCall& call) {
    unsigned char source[256];
    unsigned char destination[256];
    CopyName(plugin::StringArg(call, 1), source);
    CopyName(plugin::StringArg(call, 2), destination);
    plugin::SetIntResult(call, MacBinaryEncodeFile(source, destination));
}

void MacBinaryDecode(plugin::CommandCall& call) {
    unsigned char source[256];
    unsigned char destination[256];
    CopyName(plugin::StringArg(call, 1), source);
    CopyName(plugin::StringArg(call, 2), destination);
    if (call.params[2] != nullptr) plugin::StringArg(call, 3)[0] = 0;
    plugin::SetIntResult(call, MacBinaryDecodeFile(source, destination));
}

void BinHexEncode(plugin::CommandCall& call) {
    unsigned char source[256];
    unsigned char destination[256];
    CopyName(plugin::StringArg(call, 1), source);
    CopyName(plugin::StringArg(call, 2), destination);
    plugin::SetIntResult(call, BinHexEncodeFile(source, destination));
}

void BinHexDecode(plugin::CommandCall& call) {
    unsigned char source[256];
    unsigned char destination[256];
    CopyName(plugin::StringArg(call, 1), source);
    CopyName(plugin::StringArg(call, 2), destination);
    if (call.params[2] != nullptr) plugin::StringArg(call, 3)[0] = 0;
    plugin::SetIntResult(call, BinHexDecodeFile(source, destination));
}

}  // namespace zor::macfile
