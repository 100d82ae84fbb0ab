// appledouble.cpp: fuzzes the AppleDouble sidecar reader: the bytes are parsed on their own, then
// stand as the sidecar `._f` of a file `f`, which is read (catalog, Finder information, resource fork)
// and written through the host's file operations. What is written must read back, and the data fork
// must never change.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "host/files_sidecar.h"

namespace {

using zor::fuzz::Counted;

std::string ReadResourceFork(const Counted& name, int16_t* status) {
    std::string bytes;
    HostForkRef fork = 0;
    *status = HostOpenResourceFork(name, 0, &fork);
    if (*status != 0) return bytes;
    char buffer[4096];
    for (;;) {
        int32_t count = sizeof buffer;
        const int16_t read = HostReadFork(fork, &count, buffer);
        if (count < 0 || count > int32_t(sizeof buffer)) __builtin_trap();
        bytes.append(buffer, size_t(count));
        if (read != 0) {
            if (read != HostEofErr) *status = read;
            break;
        }
    }
    (void)HostCloseFork(fork);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zor::host;
    const zor::fuzz::InScratchFolder scratch;
    SidecarLayout layout;
    if (ParseSidecar(data, size, size, &layout)) {
        for (const SidecarEntry* e : {&layout.finderInfo, &layout.dates, &layout.resourceFork}) {
            if (e->present && e->length > 0 && uint64_t(e->offset) + e->length > size) __builtin_trap();
        }
        if (layout.entryCount > kSidecarMaxEntries || layout.dataEnd > size) __builtin_trap();
    }

    const int64_t before = HostLiveAllocations();
    static const char kData[] = "data fork bytes";
    zor::fuzz::WriteFileBytes("f", kData, sizeof kData - 1);
    zor::fuzz::WriteFileBytes("._f", data, size);
    const Counted name("f");

    HostCatalogInfo info{};
    info.name = name;
    if (HostGetCatalogInfo(&info) == 0 && (info.dataLength != sizeof kData - 1 || info.resourceLength < 0))
        __builtin_trap();
    HostFinderInfo finder{};
    (void)HostGetFinderInfo(name, 0, &finder);
    int16_t status = 0;
    const std::string resource = ReadResourceFork(name, &status);
    if (status == 0 && info.resourceLength >= 0 && resource.size() != size_t(info.resourceLength)) __builtin_trap();

    // Grow the resource fork and change the Finder information; both must read back.
    HostForkRef fork = 0;
    if (HostOpenResourceFork(name, 0, &fork) == 0) {
        int32_t length = static_cast<int32_t>(resource.size());
        std::string grown = resource + "+more";
        int32_t count = 5;
        bool wrote = HostSetForkLength(fork, length) == 0;
        int32_t position = 0;
        wrote = wrote && HostGetForkPosition(fork, &position) == 0 && position == 0;
        if (wrote) {
            int32_t skip = length;
            std::string scratch(size_t(length), '\0');
            wrote = length == 0 || HostReadFork(fork, &skip, scratch.data()) == 0 || skip == length;
        }
        wrote = wrote && HostWriteFork(fork, &count, "+more") == 0;
        (void)HostCloseFork(fork);
        if (wrote) {
            const std::string back = ReadResourceFork(name, &status);
            if (status == 0 && back != grown) __builtin_trap();
        }
    }
    finder.type = 0x54455854;
    finder.flags = 0x0100;
    if (HostSetFinderInfo(name, 0, &finder) == 0) {
        HostFinderInfo again{};
        if (HostGetFinderInfo(name, 0, &again) != 0 || again.type != finder.type || again.flags != finder.flags)
            __builtin_trap();
    }
    if (zor::fuzz::FileBytes("f") != kData) __builtin_trap();
    zor::fuzz::CheckNothingLeft(before);
    return 0;
}
