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

// Runs a converter on private copies of the two names; a conversion onto a file it reads (the
// source or its sidecar, under any name) is refused with the "open for writing" status. The optional third argument, when asked for and given, is
// emptied first.
void Convert(frame::CommandCall& call, Converter convert, bool emptiesThird) {
    unsigned char source[256];
    unsigned char destination[256];
    CopyName(frame::StringArg(call, 1), source);
    CopyName(frame::StringArg(call, 2), destination);
    if (emptiesThird && call.params[2] != nullptr) frame::StringArg(call, 3)[0] = 0;
    frame::SetIntResult(call, Overlaps(source, destination) ? int16_t(HostOpWrErr) : convert(source, destination));
}

}  // namespace

namespace {

// The files a name stands for: its data file and its sidecar (identities of zero when absent).
void FilesOf(const unsigned char* name, HostFileId ids[2]) {
    ids[0] = ids[1] = HostFileId{0, 0};
    if (name[0] == 0) return;
    (void)HostGetFileId(0, 0, name, &ids[0]);
    (void)HostGetSidecarId(0, 0, name, &ids[1]);
}

}  // namespace

bool Overlaps(const unsigned char* source, const unsigned char* destination) {
    HostFileId from[2], to[2];
    FilesOf(source, from);
    FilesOf(destination, to);
    for (const HostFileId& a : from)
        for (const HostFileId& b : to)
            if (a.inode != 0 && a.device == b.device && a.inode == b.inode) return true;
    return false;
}

int16_t BeginDestination(const unsigned char* destination, unsigned char temporary[256], bool* fresh) {
    HostFileId existing{};
    *fresh = HostGetFileId(0, 0, destination, &existing) == HostFnfErr;
    return HostCreateReplacement(0, 0, destination, temporary);
}

int16_t EndDestination(unsigned char* temporary, const unsigned char* destination, int16_t status, bool fresh) {
    if (temporary[0] == 0) return status;
    if (status == HostNoErr) {
        status = HostCommitReplacement(temporary, destination);
    } else if (fresh) {
        (void)HostCommitReplacement(temporary, destination);  // what came stays, as a partial file
    }
    (void)HostDeleteFile(0, 0, temporary);  // gone already once committed
    temporary[0] = 0;
    return status;
}

void MacBinaryEncode(frame::CommandCall& call) { Convert(call, MacBinaryEncodeFile, false); }

void MacBinaryDecode(frame::CommandCall& call) { Convert(call, MacBinaryDecodeFile, true); }

void BinHexEncode(frame::CommandCall& call) { Convert(call, BinHexEncodeFile, false); }

void BinHexDecode(frame::CommandCall& call) { Convert(call, BinHexDecodeFile, true); }

}  // namespace zor::macfile
