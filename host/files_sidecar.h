// files_sidecar.h: the AppleDouble (version 2) sidecar `._leaf` that holds a file's resource fork,
// Finder information and creation date: its layout, parsed from bytes and built into bytes.
#ifndef ZOR_HOST_FILES_SIDECAR_H
#define ZOR_HOST_FILES_SIDECAR_H

#include <cstddef>
#include <cstdint>

namespace zor::host {

inline constexpr uint32_t kAppleDoubleMagic = 0x00051607;
inline constexpr uint32_t kAppleDoubleVersion2 = 0x00020000;
inline constexpr uint32_t kAppleDoubleVersion1 = 0x00010000;
inline constexpr int kSidecarHeaderSize = 26;       // magic, version, 16 filler bytes, entry count
inline constexpr int kSidecarEntrySize = 12;        // id, offset, length
inline constexpr int kSidecarMaxEntries = 64;       // more than any writer uses; the rest is refused
inline constexpr int kSidecarProbeSize = kSidecarHeaderSize + kSidecarMaxEntries * kSidecarEntrySize;

enum SidecarEntryId : uint32_t {
    kEntryResourceFork = 2,
    kEntryDates = 8,         // created, modified, backed up, accessed: signed seconds from 2000
    kEntryFinderInfo = 9,    // 32 bytes: the Finder's record, then its extended record
};

inline constexpr int kFinderInfoSize = 32;
inline constexpr int kDatesSize = 16;
inline constexpr uint32_t kUnknownAppleDoubleDate = 0x80000000;   // "no date" in the dates entry
inline constexpr uint32_t kHostSecondsAt2000 = 3029529600u;        // 2000-01-01 in host seconds

// Where one entry lies in the sidecar.
struct SidecarEntry {
    bool present;      // the entry table lists it
    uint32_t offset;   // from the start of the sidecar
    uint32_t length;   // bytes
    int slot;          // index in the entry table (its length field is at 26 + 12 * slot + 8)
};

// What the parser learns from a sidecar's first bytes.
struct SidecarLayout {
    int entryCount;              // entries in the table
    SidecarEntry finderInfo;     // entry 9
    SidecarEntry dates;          // entry 8
    SidecarEntry resourceFork;   // entry 2
    uint32_t dataEnd;            // end of the furthest entry's data
    bool resourceLast;           // entry 2 exists and nothing lies after its start but itself
};

// Parses the header and entry table in bytes[0..size) of a sidecar whose whole length is fileSize.
// False when the bytes are not an AppleDouble file, the table does not fit in the bytes given, or an
// entry lies outside the file or overlaps the table. Never reads outside bytes[0..size).
bool ParseSidecar(const uint8_t* bytes, size_t size, uint64_t fileSize, SidecarLayout* layout);

// The canonical layout zor writes: entry 9 (32 bytes), entry 8 (16 bytes), entry 2 last.
inline constexpr int kCanonicalEntries = 3;
inline constexpr uint32_t kCanonicalFinderOffset = kSidecarHeaderSize + kCanonicalEntries * kSidecarEntrySize;  // 62
inline constexpr uint32_t kCanonicalDatesOffset = kCanonicalFinderOffset + kFinderInfoSize;                      // 94
inline constexpr uint32_t kCanonicalResourceOffset = kCanonicalDatesOffset + kDatesSize;                         // 110

// Writes the canonical header, entry table, Finder information and dates into out[0..110); the
// resource fork's bytes follow at offset 110.
void BuildSidecarHeader(const uint8_t finderInfo[kFinderInfoSize], const uint8_t dates[kDatesSize],
                        uint32_t resourceLength, uint8_t out[kCanonicalResourceOffset]);

inline uint32_t ReadBig32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint16_t ReadBig16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline void WriteBig32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline void WriteBig16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

}  // namespace zor::host

#endif  // ZOR_HOST_FILES_SIDECAR_H
