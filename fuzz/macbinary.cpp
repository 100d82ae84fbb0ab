// macbinary.cpp: fuzzes MacBinary header acceptance and decoding. The input is a MacBinary file: its
// header is checked on its own, then the file is decoded into a named destination and into the
// header's own name. A decoded file is encoded again and decoded once more: both forks must survive.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "macfile/macfile.h"

namespace {

using zor::fuzz::Counted;
using zor::fuzz::FileBytes;

// The data fork and the sidecar (resource fork, Finder information, dates) of a file.
std::string Forks(const std::string& leaf) {
    std::string resource;
    HostForkRef fork = 0;
    const Counted name(leaf);
    if (HostOpenResourceFork(name, 0, &fork) == 0) {
        char buffer[4096];
        for (;;) {
            int32_t count = sizeof buffer;
            const int16_t status = HostReadFork(fork, &count, buffer);
            resource.append(buffer, size_t(count));
            if (status != 0) break;
        }
        (void)HostCloseFork(fork);
    }
    return FileBytes(leaf) + "|" + resource;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zor::macfile;
    const zor::fuzz::InScratchFolder scratch;
    const int64_t before = HostLiveAllocations();

    MacBinaryFields fields{};
    int version = 0;
    if (size >= size_t(kHeaderSize)) {
        uint8_t header[kHeaderSize];
        std::memcpy(header, data, kHeaderSize);
        version = AcceptMacBinaryHeader(header, &fields);
        if (version != 0) {
            if (fields.name[0] > kMaxMacNameLength || fields.dataLength < 0 || fields.resourceLength < 0)
                __builtin_trap();
            const MacBinaryBounds b = BoundsOf(fields.dataLength, fields.resourceLength);
            if (!(b.h <= b.a && b.a <= b.b && b.b <= b.c && b.c <= b.d) || b.d > INT32_MAX) __builtin_trap();
        }
    }

    zor::fuzz::WriteFileBytes("in.bin", data, size);
    const Counted source("in.bin");
    const int16_t status = MacBinaryDecodeFile(source, Counted("out"));
    if (version == 0 && status == 0) __builtin_trap();  // a refused header decodes nothing
    zor::fuzz::CheckNothingLeft(before);

    if (status == 0) {
        // Encode what came out and decode it again under another name: the forks must be the same.
        if (MacBinaryEncodeFile(Counted("out"), Counted("again.bin")) != 0) __builtin_trap();
        if (MacBinaryDecodeFile(Counted("again.bin"), Counted("copy")) != 0) __builtin_trap();
        if (Forks("out") != Forks("copy")) __builtin_trap();
        zor::fuzz::CheckNothingLeft(before);
    }

    // The header's own name, as one leaf of the working folder; the source must not change.
    const std::string original = FileBytes("in.bin");
    (void)MacBinaryDecodeFile(source, Counted(""));
    zor::fuzz::CheckNothingLeft(before);
    if (FileBytes("in.bin") != original) __builtin_trap();
    return 0;
}
