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

using Converter = int16_t (*)(const unsigned char* source, const unsigned char* destination);

// Runs a converter on private copies of the two names; a conversion of a file onto itself is refused
// with the "open for writing" status. The optional third argument, when asked for and given, is
// emptied first.
void Convert(frame::CommandCall& call, Converter convert, bool emptiesThird) {
    unsigned char source[256];
    unsigned char destination[256];
    CopyName(frame::StringArg(call, 1), source);
    CopyName(frame::StringArg(call, 2), destination);
    if (emptiesThird && call.params[2] != nullptr) frame::StringArg(call, 3)[0] = 0;
    frame::SetIntResult(call, SameFile(source, destination) ? int16_t(HostOpWrErr) : convert(source, destination));
}

}  // namespace

bool SameFile(const unsigned char* source, const unsigned char* destination) {
    if (source[0] == 0 || destination[0] == 0) return false;
    HostFileId a{}, b{};
    if (HostGetFileId(0, 0, source, &a) != HostNoErr || HostGetFileId(0, 0, destination, &b) != HostNoErr)
        return false;
    return a.device == b.device && a.inode == b.inode;
}

void MacBinaryEncode(frame::CommandCall& call) { Convert(call, MacBinaryEncodeFile, false); }

void MacBinaryDecode(frame::CommandCall& call) { Convert(call, MacBinaryDecodeFile, true); }

void BinHexEncode(frame::CommandCall& call) { Convert(call, BinHexEncodeFile, false); }

void BinHexDecode(frame::CommandCall& call) { Convert(call, BinHexDecodeFile, true); }

}  // namespace zor::macfile
