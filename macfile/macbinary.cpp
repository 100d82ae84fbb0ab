// macbinary.cpp: CRC-16/XMODEM, the MacBinary II header, its region arithmetic, and the encoder
// and decoder that walk those regions chunk by chunk.
//
// Divisions: CRC; header; regions (produce, consume); encode (command 17); decode (command 18).
#include <algorithm>
#include <climits>
#include <cstring>

#include "macfile/macfile.h"

namespace zor::macfile {

// ---- CRC -----------------------------------------------------------------------------------------

namespace {
constexpr uint16_t CrcTableEntry(int top) {
    uint16_t crc = static_cast<uint16_t>(top << 8);
    for (int i = 0; i < 8; ++i) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    return crc;
}
}  // namespace

const uint16_t kCrc16Table[256] = {
#define R(i) CrcTableEntry(i), CrcTableEntry(i + 1), CrcTableEntry(i + 2), CrcTableEntry(i + 3)
#define R16(i) R(i), R(i + 4), R(i + 8), R(i + 12)
    R16(0),   R16(16),  R16(32),  R16(48),  R16(64),  R16(80),  R16(96),  R16(112),
    R16(128), R16(144), R16(160), R16(176), R16(192), R16(208), R16(224), R16(240),
#undef R16
#undef R
};
static_assert(CrcTableEntry(1) == 0x1021, "the table holds the polynomial at 1");

namespace {

// Slicing by eight: kSliced[k][x] is the register after byte x and then k zero bytes, from 0. Eight
// bytes then cost eight independent look-ups instead of a chain of eight dependent ones.
struct SlicedTables {
    uint16_t t[8][256];
};
constexpr SlicedTables MakeSliced() {
    SlicedTables s{};
    for (int x = 0; x < 256; ++x) s.t[0][x] = CrcTableEntry(x);
    for (int k = 1; k < 8; ++k)
        for (int x = 0; x < 256; ++x) {
            const uint16_t prev = s.t[k - 1][x];
            s.t[k][x] = static_cast<uint16_t>((prev << 8) ^ s.t[0][prev >> 8]);
        }
    return s;
}
constexpr SlicedTables kSliced = MakeSliced();

}  // namespace

uint16_t Crc16Xmodem(const uint8_t* bytes, size_t count, uint16_t crc) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const uint8_t* b = bytes + i;
        crc = static_cast<uint16_t>(kSliced.t[7][b[0] ^ (crc >> 8)] ^ kSliced.t[6][b[1] ^ (crc & 0xFF)] ^
                                    kSliced.t[5][b[2]] ^ kSliced.t[4][b[3]] ^ kSliced.t[3][b[4]] ^
                                    kSliced.t[2][b[5]] ^ kSliced.t[1][b[6]] ^ kSliced.t[0][b[7]]);
    }
    for (; i < count; ++i) crc = Crc16XmodemByte(crc, bytes[i]);
    return crc;
}

// ---- Header --------------------------------------------------------------------------------------

namespace {

void PutBig32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
uint32_t GetBig32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// The largest fork lengths the region arithmetic holds: the whole stream stays below 2^31.
bool LengthsFit(uint32_t data, uint32_t resource) {
    return uint64_t(data) + resource + 128 + 254 <= uint64_t(INT32_MAX);
}

}  // namespace

MacBinaryBounds BoundsOf(int32_t dataLength, int32_t resourceLength) {
    MacBinaryBounds b;
    b.h = kHeaderSize;
    b.a = b.h + dataLength;
    b.b = b.a + PadOf(dataLength);
    b.c = b.b + resourceLength;
    b.d = b.c + PadOf(resourceLength);
    return b;
}

int AcceptMacBinaryHeader(const uint8_t h[kHeaderSize], MacBinaryFields* fields) {
    if (h[0] != 0 || h[74] != 0 || h[82] != 0 || h[1] > kMaxMacNameLength) return 0;
    const uint32_t dataLength = GetBig32(h + 83);
    const uint32_t resourceLength = GetBig32(h + 87);
    int version = 0;
    const uint16_t crc = static_cast<uint16_t>(h[124] << 8 | h[125]);
    if (Crc16Xmodem(h, 124) == crc && h[123] <= 129) {
        // A checked header may describe forks of 16 MiB and more, as its own writers make them.
        if (LengthsFit(dataLength, resourceLength)) version = 2;
    }
    if (version == 0) {
        // MacBinary I carries no check: the high bytes of the lengths must be zero.
        bool tailZero = true;
        for (int i = 101; i <= 124; ++i) tailZero = tailZero && h[i] == 0;
        if (tailZero && h[83] == 0 && h[87] == 0) version = 1;
    }
    if (version == 0) return 0;
    if (fields != nullptr) {
        std::memset(fields, 0, sizeof *fields);
        std::memcpy(fields->name, h + 1, size_t(h[1]) + 1);
        fields->type = GetBig32(h + 65);
        fields->creator = GetBig32(h + 69);
        fields->finderFlags = static_cast<uint16_t>(h[73] << 8 | h[101]);
        fields->dataLength = static_cast<int32_t>(dataLength);
        fields->resourceLength = static_cast<int32_t>(resourceLength);
        fields->created = GetBig32(h + 91);
        fields->modified = GetBig32(h + 95);
    }
    return version;
}

int16_t BuildMacBinaryHeader(int16_t volume, int32_t directory, const unsigned char* name,
                             uint8_t h[kHeaderSize], int32_t* dataLength, int32_t* resourceLength) {
    HostCatalogInfo info{};
    info.volume = volume;
    info.directory = directory;
    info.name = name;
    info.index = 0;
    int16_t status = HostGetCatalogInfo(&info);
    if (status != HostNoErr) return status;
    if (!LengthsFit(uint32_t(info.dataLength), uint32_t(info.resourceLength))) return HostIOErr;
    std::memset(h, 0, kHeaderSize);
    const int length = name[0] > kMaxMacNameLength ? kMaxMacNameLength : name[0];
    h[1] = static_cast<uint8_t>(length);
    std::memcpy(h + 2, name + 1, size_t(length));
    PutBig32(h + 65, info.finderInfo.type);
    PutBig32(h + 69, info.finderInfo.creator);
    h[73] = static_cast<uint8_t>(info.finderInfo.flags >> 8);
    h[101] = static_cast<uint8_t>(info.finderInfo.flags & 0xFF);
    h[81] = info.attributes & 1;
    PutBig32(h + 83, static_cast<uint32_t>(info.dataLength));
    PutBig32(h + 87, static_cast<uint32_t>(info.resourceLength));
    PutBig32(h + 91, info.created);
    PutBig32(h + 95, info.modified);
    h[122] = 129;
    h[123] = 129;
    const uint16_t crc = Crc16Xmodem(h, 124);
    h[124] = static_cast<uint8_t>(crc >> 8);
    h[125] = static_cast<uint8_t>(crc & 0xFF);
    *dataLength = info.dataLength;
    *resourceLength = info.resourceLength;
    return HostNoErr;
}

// ---- Regions -------------------------------------------------------------------------------------
//
// Region chart (both directions walk it; the boundary actions run on entry at that position):
//   [0, H)  header          produce: copy header bytes
//   H       open the data fork (read: the source; write: the destination, cut to 0)
//   [H, A)  data fork       read / write the fork
//   A       close the data fork
//   [A, B)  padding         zeros / skipped
//   B       open the resource fork (read: the source; write: the destination, cut to 0)
//   [B, C)  resource fork   read / write the fork
//   C       close the resource fork
//   [C, D)  padding         zeros / skipped
//   D       end of the stream

namespace {

void CloseStateFork(MacBinaryState* s) {
    if (s->fork != 0) (void)HostCloseFork(s->fork);
    s->fork = 0;
}

// The boundary actions for the current position. `writing`: the decoder's side.
int16_t BoundaryActions(MacBinaryState* s, const MacBinaryBounds& b, bool writing) {
    const int64_t p = s->position;
    int16_t status = HostNoErr;
    if (p == b.h) {
        HostFileSpec spec{};
        spec.volume = s->volume;
        spec.directory = s->directory;
        std::memcpy(spec.name, s->name, sizeof spec.name);
        CloseStateFork(s);
        status = HostOpenDataForkByRecord(&spec, writing ? HostPermReadWrite : HostPermAny, &s->fork);
        if (status != HostNoErr) {
            s->fork = 0;
            return status;
        }
        if (writing) (void)HostSetForkLength(s->fork, 0);
    }
    if (p == b.a) CloseStateFork(s);
    if (p == b.b) {
        // The resource fork: read-only when encoding, cut to 0 when decoding.
        CloseStateFork(s);
        status = HostOpenResourceForkIn(s->volume, s->directory, s->name,
                                        writing ? HostPermReadWrite : HostPermRead, &s->fork);
        if (status != HostNoErr) {
            s->fork = 0;
            return status;
        }
        if (writing) status = HostSetForkLength(s->fork, 0);
        if (status != HostNoErr) return status;
    }
    if (p == b.c) CloseStateFork(s);
    return status;
}

}  // namespace

int16_t ProduceMacBinary(MacBinaryState* s, uint8_t* buffer, int32_t* count) {
    const MacBinaryBounds b = BoundsOf(s->dataLength, s->resourceLength);
    int32_t produced = 0;
    int16_t status = HostNoErr;
    while (status == HostNoErr && produced < *count) {
        status = BoundaryActions(s, b, false);
        if (status != HostNoErr) break;
        const int64_t p = s->position;
        const int32_t want = *count - produced;
        uint8_t* out = buffer + produced;
        int32_t n = 0;
        if (p < b.h) {
            n = static_cast<int32_t>(std::min<int64_t>(want, b.h - p));
            std::memcpy(out, s->header + p, size_t(n));
        } else if (p < b.a || (p >= b.b && p < b.c)) {
            const int64_t end = p < b.a ? b.a : b.c;
            const int32_t asked = static_cast<int32_t>(std::min<int64_t>(want, end - p));
            n = asked;
            status = HostReadFork(s->fork, &n, out);
            // A fork shorter than its catalog length would make a stream whose header lies.
            if (status == HostEofErr || (status == HostNoErr && n < asked)) status = HostIOErr;
        } else if (p < b.d) {
            const int64_t end = p < b.b ? b.b : b.d;
            n = static_cast<int32_t>(std::min<int64_t>(want, end - p));
            std::memset(out, 0, size_t(n));
        } else {
            status = HostEofErr;
        }
        if (status == HostNoErr || status == HostEofErr) {
            s->position += n;
            produced += n;
        }
    }
    *count = produced;
    return status;
}

int16_t ConsumeMacBinary(MacBinaryState* s, const uint8_t* buffer, int32_t* count) {
    const MacBinaryBounds b = BoundsOf(s->dataLength, s->resourceLength);
    int32_t taken = 0;
    int16_t status = HostNoErr;
    // The boundary actions run for every position the call reaches, also the one it ends at, so an
    // input whose last bytes end exactly at a boundary still opens, cuts and closes what it should.
    // Each action is harmless to repeat at the start of its region (the next call starts there).
    int64_t acted = -1;
    while (status == HostNoErr) {
        if (s->position <= b.d && s->position != acted) {
            acted = s->position;
            status = BoundaryActions(s, b, true);
            if (status != HostNoErr) break;
        }
        if (taken >= *count) break;
        const int64_t p = s->position;
        const int32_t left = *count - taken;
        int32_t n = 0;
        if (p >= b.d) {
            n = left;  // past the end: read and ignored
        } else if (p < b.a || (p >= b.b && p < b.c)) {
            const int64_t end = p < b.a ? b.a : b.c;
            n = static_cast<int32_t>(std::min<int64_t>(left, end - p));
            if (n > 0) status = HostWriteFork(s->fork, &n, buffer + taken);
        } else {
            const int64_t end = p < b.b ? b.b : b.d;
            n = static_cast<int32_t>(std::min<int64_t>(left, end - p));
        }
        if (status == HostNoErr) {
            if (p < b.d) s->position += n;
            taken += n;
        }
    }
    *count = taken;
    return status;
}

// ---- Encode (command 17) -------------------------------------------------------------------------

int16_t MacBinaryEncodeFile(const unsigned char* source, const unsigned char* destination) {
    uint8_t* buffer = static_cast<uint8_t*>(HostNewBlock(kMacBinaryChunk));
    if (buffer == nullptr) return HostMemoryError();
    HostHandle stateHandle = nullptr;
    MacBinaryState* s = nullptr;
    HostForkRef output = 0;
    HostFileSpec spec{};
    int16_t status = HostMakeFileSpec(0, 0, source, &spec);
    if (status == HostNoErr) {
        stateHandle = HostNewHandleClear(sizeof(MacBinaryState));
        if (stateHandle == nullptr) status = kNoMemory;
    }
    if (status == HostNoErr) {
        HostLockHandle(stateHandle);
        s = reinterpret_cast<MacBinaryState*>(*stateHandle);
        status = BuildMacBinaryHeader(spec.volume, spec.directory, spec.name, s->header, &s->dataLength,
                                      &s->resourceLength);
        std::memcpy(s->name, spec.name, sizeof s->name);
        s->volume = spec.volume;
        s->directory = spec.directory;
        s->fork = 0;
        s->position = 0;
    }
    // The source is readable: the output goes to a file that replaces the destination at the end.
    unsigned char temporary[256] = {0};
    bool fresh = false;
    if (status == HostNoErr) status = BeginDestination(destination, temporary, &fresh);
    if (status == HostNoErr) {
        HostFinderInfo finder{};
        if (HostGetFinderInfo(temporary, 0, &finder) == HostNoErr) {
            if (fresh) finder.type = HostResourceType("MACB");  // an existing destination keeps its type
            finder.creator = HostResourceType("SITx");
            (void)HostSetFinderInfo(temporary, 0, &finder);
        }
        status = HostOpenDataFork(temporary, 0, &output);
    }
    bool end = false;
    while (status == HostNoErr && !end) {
        int32_t count = kMacBinaryChunk;
        HostYield();
        if (HostCancelRequested() != 0) {
            status = kCancelled;
            break;
        }
        status = ProduceMacBinary(s, buffer, &count);
        end = status == HostEofErr;
        if (status == HostNoErr || status == HostEofErr) status = HostWriteFork(output, &count, buffer);
    }
    if (s != nullptr) CloseStateFork(s);
    if (stateHandle != nullptr) HostDisposeHandle(stateHandle);
    if (output != 0) {
        const int16_t closed = HostCloseFork(output);
        if (status == HostNoErr) status = closed;
    }
    status = EndDestination(temporary, destination, status, fresh);
    HostDisposeBlock(buffer);
    return status;
}

// ---- Decode (command 18) -------------------------------------------------------------------------

namespace {

// The header's name as one leaf of the working directory: '/' becomes ':'; "", "." and ".." refused.
int16_t LeafFromHeaderName(const unsigned char* headerName, unsigned char* out) {
    const int length = headerName[0];
    out[0] = static_cast<unsigned char>(length);
    for (int i = 1; i <= length; ++i) out[i] = headerName[i] == '/' ? ':' : headerName[i];
    if (length == 0 || (length == 1 && out[1] == '.') || (length == 2 && out[1] == '.' && out[2] == '.'))
        return HostBadNameErr;
    return HostNoErr;
}

// Type, creator, Finder flags and dates from the header. Bits 0, 8 and 14 of the flags keep the
// value the file already has. The status of reading and writing the catalog: a file whose type,
// creator or dates were lost is not a decoded file.
int16_t SetFileInformation(const MacBinaryState* s) {
    MacBinaryFields fields;
    if (AcceptMacBinaryHeader(s->header, &fields) == 0) return HostNoErr;
    HostCatalogInfo info{};
    info.volume = s->volume;
    info.directory = s->directory;
    info.name = s->name;
    const int16_t status = HostGetCatalogInfo(&info);
    if (status != HostNoErr) return status;
    info.finderInfo.type = fields.type;
    info.finderInfo.creator = fields.creator;
    info.finderInfo.flags = static_cast<uint16_t>((info.finderInfo.flags & 0x4101) | (fields.finderFlags & 0xBEFE));
    info.created = fields.created;
    info.modified = fields.modified;
    return HostSetCatalogInfo(&info);
}

}  // namespace

int16_t MacBinaryDecodeFile(const unsigned char* source, const unsigned char* destination) {
    uint8_t* buffer = static_cast<uint8_t*>(HostNewBlock(kMacBinaryChunk));
    if (buffer == nullptr) return HostMemoryError();
    HostForkRef input = 0;
    HostHandle stateHandle = nullptr;
    MacBinaryState* s = nullptr;
    unsigned char name[256];
    std::memcpy(name, destination, size_t(destination[0]) + 1);
    int16_t status = HostOpenDataForkIn(0, 0, source, HostPermRead, &input);
    uint8_t header[kHeaderSize];
    if (status == HostNoErr) {
        int32_t count = kHeaderSize;
        status = HostReadFork(input, &count, header);
    }
    MacBinaryFields fields{};
    if (status == HostNoErr && AcceptMacBinaryHeader(header, &fields) == 0) status = kNotMacBinary;
    // An empty destination name takes the header's name, as one leaf of the working directory.
    if (status == HostNoErr && name[0] == 0) {
        status = LeafFromHeaderName(fields.name, name);
        if (status == HostNoErr && Overlaps(source, name)) status = HostOpWrErr;  // the header names the source
    }
    // A header was read: the forks go to a file that replaces the destination at the end.
    unsigned char temporary[256] = {0};
    bool fresh = false;
    HostFileSpec spec{};
    if (status == HostNoErr && HostMakeFileSpec(0, 0, name, &spec) == HostBadNameErr) status = HostBadNameErr;
    if (status == HostNoErr) status = BeginDestination(name, temporary, &fresh);
    if (status == HostNoErr) status = HostMakeFileSpec(0, 0, temporary, &spec);
    if (status == HostNoErr) {
        stateHandle = HostNewHandleClear(sizeof(MacBinaryState));
        if (stateHandle == nullptr) status = kNoMemory;
    }
    if (status == HostNoErr) {
        HostLockHandle(stateHandle);
        s = reinterpret_cast<MacBinaryState*>(*stateHandle);
        std::memcpy(s->header, header, kHeaderSize);
        s->dataLength = fields.dataLength;
        s->resourceLength = fields.resourceLength;
        std::memcpy(s->name, spec.name, sizeof s->name);
        s->volume = spec.volume;
        s->directory = spec.directory;
        s->fork = 0;
        s->position = kHeaderSize;
    }
    bool end = false;
    while (status == HostNoErr && !end) {
        int32_t count = kMacBinaryChunk;
        HostYield();
        if (HostCancelRequested() != 0) {
            status = kCancelled;
            break;
        }
        status = HostReadFork(input, &count, buffer);
        end = status == HostEofErr;
        if (status == HostNoErr || status == HostEofErr) status = ConsumeMacBinary(s, buffer, &count);
    }
    if (s != nullptr) {
        // Every fork byte must have come: a stream cut short is not a success. The final padding
        // may be missing, as some writers leave it out.
        const MacBinaryBounds b = BoundsOf(s->dataLength, s->resourceLength);
        const int64_t needed = s->resourceLength == 0 ? b.a : b.c;
        if (status == HostNoErr && s->position < needed) status = HostEofErr;
        const int16_t information = SetFileInformation(s);
        if (status == HostNoErr) status = information;
        CloseStateFork(s);
        (void)HostFlushVolume(nullptr, s->volume);
        HostDisposeHandle(stateHandle);
    }
    if (input != 0) (void)HostCloseFork(input);
    status = EndDestination(temporary, name, status, fresh);
    HostDisposeBlock(buffer);
    return status;
}

}  // namespace zor::macfile
