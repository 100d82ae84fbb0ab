// files_sidecar.cpp: parsing and building the AppleDouble sidecar's header and entry table.
#include <cstring>

#include "host/files_sidecar.h"

namespace zor::host {

bool ParseSidecar(const uint8_t* bytes, size_t size, uint64_t fileSize, SidecarLayout* layout) {
    std::memset(layout, 0, sizeof *layout);
    if (bytes == nullptr || size < static_cast<size_t>(kSidecarHeaderSize) || fileSize < size) return false;
    if (ReadBig32(bytes) != kAppleDoubleMagic) return false;
    const uint32_t version = ReadBig32(bytes + 4);
    if (version != kAppleDoubleVersion2 && version != kAppleDoubleVersion1) return false;
    const int count = ReadBig16(bytes + 24);
    if (count > kSidecarMaxEntries) return false;
    const uint64_t tableEnd = uint64_t(kSidecarHeaderSize) + uint64_t(count) * kSidecarEntrySize;
    if (tableEnd > size) return false;
    layout->entryCount = count;
    uint64_t dataEnd = tableEnd;
    for (int i = 0; i < count; ++i) {
        const uint8_t* e = bytes + kSidecarHeaderSize + i * kSidecarEntrySize;
        const uint32_t id = ReadBig32(e);
        const uint32_t offset = ReadBig32(e + 4);
        const uint32_t length = ReadBig32(e + 8);
        const uint64_t end = uint64_t(offset) + length;
        if (id == 0) return false;
        if (length > 0 && (offset < tableEnd || end > fileSize)) return false;
        if (length > 0 && end > dataEnd) dataEnd = end;  // an empty entry holds no data, wherever it points
        SidecarEntry* known = nullptr;
        if (id == kEntryFinderInfo) known = &layout->finderInfo;
        if (id == kEntryDates) known = &layout->dates;
        if (id == kEntryResourceFork) known = &layout->resourceFork;
        if (known != nullptr) {
            if (known->present) return false;  // an entry listed twice
            *known = SidecarEntry{true, offset, length, i};
        }
    }
    layout->dataEnd = static_cast<uint32_t>(dataEnd);
    // The resource fork can grow in place only when its bytes come last in the file and no other
    // entry's data starts at or after its offset.
    if (layout->resourceFork.present && uint64_t(layout->resourceFork.offset) + layout->resourceFork.length == fileSize &&
        layout->resourceFork.offset >= tableEnd) {
        bool last = true;
        for (int i = 0; i < count; ++i) {
            const uint8_t* e = bytes + kSidecarHeaderSize + i * kSidecarEntrySize;
            if (i == layout->resourceFork.slot || ReadBig32(e + 8) == 0) continue;
            if (uint64_t(ReadBig32(e + 4)) + ReadBig32(e + 8) > layout->resourceFork.offset) last = false;
        }
        layout->resourceLast = last;
    }
    return true;
}

void BuildSidecarHeader(const uint8_t finderInfo[kFinderInfoSize], const uint8_t dates[kDatesSize],
                        uint32_t resourceLength, uint8_t out[kCanonicalResourceOffset]) {
    std::memset(out, 0, kCanonicalResourceOffset);
    WriteBig32(out, kAppleDoubleMagic);
    WriteBig32(out + 4, kAppleDoubleVersion2);
    WriteBig16(out + 24, kCanonicalEntries);
    const uint32_t table[kCanonicalEntries][3] = {
        {kEntryFinderInfo, kCanonicalFinderOffset, kFinderInfoSize},
        {kEntryDates, kCanonicalDatesOffset, kDatesSize},
        {kEntryResourceFork, kCanonicalResourceOffset, resourceLength},
    };
    for (int i = 0; i < kCanonicalEntries; ++i) {
        uint8_t* e = out + kSidecarHeaderSize + i * kSidecarEntrySize;
        WriteBig32(e, table[i][0]);
        WriteBig32(e + 4, table[i][1]);
        WriteBig32(e + 8, table[i][2]);
    }
    std::memcpy(out + kCanonicalFinderOffset, finderInfo, kFinderInfoSize);
    std::memcpy(out + kCanonicalDatesOffset, dates, kDatesSize);
}

}  // namespace zor::host
