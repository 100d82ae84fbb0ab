// sidecar.cpp: fuzzes the AppleDouble sidecar parser and the MacBinary header check with arbitrary bytes.
#include <cstdint>
#include <cstring>

#include "host/files_sidecar.h"
#include "macfile/macfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zor::host::SidecarLayout layout;
    if (zor::host::ParseSidecar(data, size, size, &layout)) {
        for (const zor::host::SidecarEntry* e : {&layout.finderInfo, &layout.dates, &layout.resourceFork}) {
            if (e->present && e->length > 0 && uint64_t(e->offset) + e->length > size) __builtin_trap();
        }
        if (layout.resourceLast && !layout.resourceFork.present) __builtin_trap();
    }
    uint8_t header[zor::macfile::kHeaderSize] = {0};
    std::memcpy(header, data, size < sizeof header ? size : sizeof header);
    zor::macfile::MacBinaryFields fields;
    if (zor::macfile::AcceptMacBinaryHeader(header, &fields) != 0) {
        if (fields.name[0] > zor::macfile::kMaxMacNameLength || fields.dataLength < 0 || fields.resourceLength < 0)
            __builtin_trap();
    }
    return 0;
}
