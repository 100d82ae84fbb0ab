// binhex.cpp: BinHex 4.0: the alphabet, the encoder (command 19) and the resumable decoder
// (command 20).
//
// Divisions: alphabet and tables; encoder (packing, forks, command); decoder (character step,
// six-bit stage, run-length stage, delivery, destination, command).
#include <algorithm>
#include <array>
#include <cstring>

#include "macfile/macfile.h"

namespace zor::macfile {

// ---- Alphabet and tables -------------------------------------------------------------------------

const char kBinHexAlphabet[65] = "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";
const char kBinHexIntroduction[50] = "\r(This file must be converted with BinHex 4.0)\r\r:";
static_assert(sizeof kBinHexIntroduction == kBinHexIntroductionLength + 1);

namespace {

constexpr uint8_t kIgnored = 126;  // TAB, LF, CR and 0x10
constexpr uint8_t kColon = 127;
constexpr uint8_t kInvalid = 125;

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
    std::array<uint8_t, 256> t{};
    for (auto& e : t) e = kInvalid;
    const char* alphabet = "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";
    for (int v = 0; v < 64; ++v) t[static_cast<uint8_t>(alphabet[v])] = static_cast<uint8_t>(v);
    t[0x09] = t[0x0A] = t[0x0D] = t[0x10] = kIgnored;
    t[':'] = kColon;
    return t;
}
constexpr std::array<uint8_t, 256> kBinHexDecodeTable = MakeDecodeTable();
static_assert(kBinHexDecodeTable['!'] == 0 && kBinHexDecodeTable['r'] == 63 && kBinHexDecodeTable['7'] == kInvalid);

constexpr uint8_t kRunMarker = 0x90;

}  // namespace

// ---- Encoder -------------------------------------------------------------------------------------

int PackBinHex(BinHexEncoderState* s, uint8_t b, uint8_t* out) {
    int n = 0;
    auto put = [&](int v) {
        out[n++] = static_cast<uint8_t>(kBinHexAlphabet[v]);
        if (++s->column == 64) {
            s->column = 0;
            out[n++] = '\r';
        }
    };
    switch (s->phase) {
        case 0:
            put(b >> 2);
            s->pending = static_cast<int16_t>((b & 3) << 4);
            s->phase = 1;
            break;
        case 1:
            put(s->pending | (b >> 4));
            s->pending = static_cast<int16_t>((b & 0x0F) << 2);
            s->phase = 2;
            break;
        default:
            put(s->pending | (b >> 6));
            put(b & 0x3F);
            s->pending = 0;
            s->phase = 0;
            break;
    }
    return n;
}

namespace {

inline constexpr int32_t kEncodeOutputSize = 3 * kChunkSize;

// The encoder's working set for one command.
struct EncodeJob {
    BinHexEncoderState state;
    uint8_t* input;    // kChunkSize bytes (a locked handle)
    uint8_t* output;   // kEncodeOutputSize bytes (a locked handle)
    int32_t used;      // bytes waiting in output
};

// A logical byte: packed, 0x90 escaped by 0x00, CRC over the byte itself.
inline void Emit(EncodeJob& j, uint8_t b) {
    j.used += PackBinHex(&j.state, b, j.output + j.used);
    if (b == kRunMarker) j.used += PackBinHex(&j.state, 0, j.output + j.used);
    j.state.crc = Crc16XmodemByte(static_cast<uint16_t>(j.state.crc), b);
}

int16_t WriteOut(EncodeJob& j) {
    if (j.used == 0) return HostNoErr;
    int32_t count = j.used;
    j.used = 0;
    return HostWriteFork(j.state.output, &count, j.output);
}

// Emit for a whole chunk, with the packing state held in locals: the same characters as Emit byte
// by byte, and whole groups of three bytes packed at once while no line end falls inside them.
void EmitChunk(EncodeJob& j, const uint8_t* in, int32_t n) {
    uint8_t* out = j.output + j.used;
    j.state.crc = Crc16Xmodem(in, size_t(n), static_cast<uint16_t>(j.state.crc));  // the logical bytes
    int32_t i = 0;
    while (i < n) {
        if (j.state.phase == 0 && j.state.column <= 60 && i + 3 <= n && in[i] != kRunMarker &&
            in[i + 1] != kRunMarker && in[i + 2] != kRunMarker) {
            const uint32_t group = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
            out[0] = static_cast<uint8_t>(kBinHexAlphabet[group >> 18]);
            out[1] = static_cast<uint8_t>(kBinHexAlphabet[(group >> 12) & 0x3F]);
            out[2] = static_cast<uint8_t>(kBinHexAlphabet[(group >> 6) & 0x3F]);
            out[3] = static_cast<uint8_t>(kBinHexAlphabet[group & 0x3F]);
            out += 4;
            j.state.column = static_cast<int16_t>(j.state.column + 4);
            if (j.state.column == 64) {
                j.state.column = 0;
                *out++ = '\r';
            }
            i += 3;
            continue;
        }
        const uint8_t b = in[i++];
        out += PackBinHex(&j.state, b, out);
        if (b == kRunMarker) out += PackBinHex(&j.state, 0, out);
    }
    j.used = static_cast<int32_t>(out - j.output);
}

void EmitCrc(EncodeJob& j) {
    const uint16_t crc = static_cast<uint16_t>(j.state.crc);
    Emit(j, static_cast<uint8_t>(crc >> 8));
    Emit(j, static_cast<uint8_t>(crc & 0xFF));
    j.state.crc = 0;
}

void EmitBig32(EncodeJob& j, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) Emit(j, static_cast<uint8_t>(v >> shift));
}

// Encodes `length` bytes of an open fork, then its CRC.
int16_t EncodeFork(EncodeJob& j, HostForkRef fork, int32_t length) {
    int16_t status = HostNoErr;
    int32_t left = length;
    while (status == HostNoErr && left > 0) {
        int32_t count = std::min(left, kChunkSize);
        const int32_t asked = count;
        status = HostReadFork(fork, &count, j.input);
        // A fork shorter than the header says would make a stream no decoder accepts.
        if (status == HostEofErr || (status == HostNoErr && count < asked)) status = HostIOErr;
        if (status != HostNoErr) break;
        HostYield();
        if (HostCancelRequested() != 0) {
            status = kCancelled;
            break;
        }
        EmitChunk(j, j.input, count);
        left -= count;
        status = WriteOut(j);
    }
    if (status == HostNoErr) {
        EmitCrc(j);
        status = WriteOut(j);
    }
    return status;
}

int16_t EncodeInto(const unsigned char* source, HostForkRef output) {
    EncodeJob j{};
    j.state.crc = 0;
    j.state.phase = 0;
    j.state.column = 1;  // the colon of the introduction opens the first line
    j.state.output = output;
    unsigned char name[256];
    std::memcpy(name, source, size_t(source[0]) + 1);
    HostFileSpec spec{};
    HostCatalogInfo info{};
    int16_t status = HostMakeFileSpec(0, 0, name, &spec);
    if (status == HostNoErr) {
        std::memcpy(name, spec.name, sizeof spec.name);
        info.volume = spec.volume;
        info.directory = spec.directory;
        info.name = name;
        status = HostGetCatalogInfo(&info);
    }
    if (status != HostNoErr) return status;
    HostHandle inputHandle = HostNewHandle(kChunkSize);
    HostHandle outputHandle = inputHandle ? HostNewHandle(kEncodeOutputSize) : nullptr;
    if (outputHandle == nullptr) {
        status = HostMemoryError();
        if (status == HostNoErr) status = HostMemFullErr;
    }
    HostForkRef fork = 0;
    if (status == HostNoErr) {
        HostLockHandle(inputHandle);
        HostLockHandle(outputHandle);
        j.input = reinterpret_cast<uint8_t*>(*inputHandle);
        j.output = reinterpret_cast<uint8_t*>(*outputHandle);
        std::memcpy(j.output, kBinHexIntroduction, kBinHexIntroductionLength);
        j.used = kBinHexIntroductionLength;
        status = WriteOut(j);
    }
    if (status == HostNoErr) {
        // Header block: name length, name, version, type, creator, flags, the two lengths, CRC.
        for (int i = 0; i <= name[0] && (i == 0 || name[i] != 0); ++i) Emit(j, name[i]);
        j.used += PackBinHex(&j.state, 0, j.output + j.used);
        j.state.crc = Crc16XmodemByte(static_cast<uint16_t>(j.state.crc), 0);
        EmitBig32(j, info.finderInfo.type);
        EmitBig32(j, info.finderInfo.creator);
        Emit(j, static_cast<uint8_t>(info.finderInfo.flags >> 8));
        Emit(j, static_cast<uint8_t>(info.finderInfo.flags & 0xFF));
        EmitBig32(j, static_cast<uint32_t>(info.dataLength));
        EmitBig32(j, static_cast<uint32_t>(info.resourceLength));
        EmitCrc(j);
        status = WriteOut(j);
    }
    if (status == HostNoErr) status = HostOpenDataForkIn(spec.volume, spec.directory, name, HostPermRead, &fork);
    if (status == HostNoErr) status = EncodeFork(j, fork, info.dataLength);
    if (fork != 0) (void)HostCloseFork(fork);
    fork = 0;
    if (status == HostNoErr && info.resourceLength != 0) {
        status = HostOpenResourceForkIn(spec.volume, spec.directory, name, HostPermRead, &fork);
        if (status == HostNoErr) status = EncodeFork(j, fork, info.resourceLength);
    }
    if (status == HostNoErr) {
        // Without a resource fork the first two closing zero bytes stand for its (empty) section and
        // CRC. After a resource fork one zero byte flushes the last bits: readers that expect the
        // closing ':' right after the stream refuse three.
        const int closing = info.resourceLength != 0 ? 1 : 3;
        for (int i = 0; i < closing; ++i) Emit(j, 0);
        j.output[j.used++] = ':';
        j.output[j.used++] = '\r';
        status = WriteOut(j);
    }
    if (fork != 0) (void)HostCloseFork(fork);
    if (spec.volume != 0) (void)HostFlushVolume(nullptr, spec.volume);
    if (inputHandle) HostDisposeHandle(inputHandle);
    if (outputHandle) HostDisposeHandle(outputHandle);
    return status;
}

}  // namespace

int16_t BinHexEncodeFile(const unsigned char* source, const unsigned char* destination) {
    // Nothing is made before the source is known to be there; the text goes to a file that replaces
    // the destination only once it is complete.
    HostFileSpec spec{};
    int16_t status = HostMakeFileSpec(0, 0, source, &spec);
    if (status != HostNoErr) return status;
    bool fresh = false;
    unsigned char temporary[256] = {0};
    status = BeginDestination(destination, temporary, &fresh);
    if (status != HostNoErr) return status;
    HostFinderInfo finder{};
    if (fresh && HostGetFinderInfo(temporary, 0, &finder) == HostNoErr) {
        finder.type = HostResourceType("TEXT");
        finder.creator = HostResourceType("SITx");
        (void)HostSetFinderInfo(temporary, 0, &finder);
    }
    HostForkRef output = 0;
    status = HostOpenDataForkIn(0, 0, temporary, HostPermReadWrite, &output);
    if (status == HostNoErr) {
        status = EncodeInto(source, output);
        const int16_t closed = HostCloseFork(output);
        if (status == HostNoErr) status = closed;
    }
    return EndDestination(temporary, destination, status, fresh);
}

// ---- Decoder -------------------------------------------------------------------------------------
//
// State chart (character step and delivery move it):
//   0 scanning   --CR/LF-->  100 line start  --':'--> 1 (start)   --other--> 0
//   1 name       --version byte--> 2 header fields --20th byte--> 3 data fork (destination made)
//   3 data fork  --fork done--> 4 --> 5 --end of fork--> 6 resource fork (or 10 on failure)
//   6 resource   --fork done--> 7 --> 8 --end of fork--> 9 closing (or 10 on failure)
//   9 closing    --':'--> 10
//   any of 1..8  --':' or an invalid byte--> 10 (abort with fault)
//   10 finished  --next chunk--> 0

namespace {

void NoteDestinationFailure(BinHexDecoder* d, int16_t status) {
    if (d->destinationStatus == HostNoErr) d->destinationStatus = status;
}

int16_t FlushOutput(BinHexDecoder* d) {
    if (d->count <= 0) return HostNoErr;
    HostYield();
    int32_t count = d->count;
    d->count = 0;
    return HostWriteFork(d->fork, &count, *d->output);
}

void CheckCrc(BinHexDecoder* d) {
    if ((d->crc & 0xFFFF) != (d->storedCrc & 0xFFFF)) d->fault = 1;
    d->crc = 0;
}

int16_t Start(BinHexDecoder* d) {
    d->outputSize = kChunkSize;
    const int32_t freeMemory = HostFreeMemory();
    if (freeMemory < kChunkSize) d->outputSize = freeMemory / 2;
    d->sawBlock = 1;
    d->complete = 0;
    d->noMemory = 0;
    d->destinationStatus = HostNoErr;
    d->fault = 0;
    if (d->output == nullptr && d->outputSize > 0) {
        d->output = HostNewHandle(d->outputSize);
        if (d->output) HostLockHandle(d->output);
    }
    if (d->output == nullptr) {
        d->noMemory = 1;
        d->fault = 1;
        return kFinished;
    }
    d->remaining = 0;
    d->count = 0;
    d->fork = 0;
    d->volume = 0;
    d->name[0] = 0;
    d->lastByte = 0;
    d->phase = 0;
    d->accumulator = 0;
    d->markerPending = 0;
    d->storedCrc = 0;
    d->crc = 0;
    return kHeaderName;
}

uint32_t Big32At(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// At the end of the header: the destination with the header's type and creator, its data fork open.
void CreateDestination(BinHexDecoder* d) {
    const uint32_t type = Big32At(d->headerFields);
    const uint32_t creator = Big32At(d->headerFields + 4);
    const uint16_t flags = static_cast<uint16_t>(d->headerFields[8] << 8 | d->headerFields[9]);
    const int32_t dataLength = static_cast<int32_t>(Big32At(d->headerFields + 10));
    const int32_t resourceLength = static_cast<int32_t>(Big32At(d->headerFields + 14));
    if (dataLength < 0 || resourceLength < 0) {
        AbortBinHex(d, true);
        return;
    }
    int16_t status = HostCreateFileIn(0, 0, d->destination, creator, type);
    if (status == HostDupFNErr) status = HostNoErr;
    HostFinderInfo finder{};
    if (status == HostNoErr) status = HostGetFinderInfo(d->destination, 0, &finder);
    if (status == HostNoErr) {
        finder.flags = static_cast<uint16_t>(flags & 0xBEFE);
        status = HostSetFinderInfo(d->destination, 0, &finder);
    }
    if (status == HostNoErr) status = HostOpenDataFork(d->destination, 0, &d->fork);
    if (status != HostNoErr) {
        d->fork = 0;
        NoteDestinationFailure(d, status);
        AbortBinHex(d, true);
        return;
    }
    d->remaining = dataLength;
}

// After a fork's second CRC byte (the state already 6 or 9): the fork checked, flushed, cut to its
// length and closed; the resource fork opened after the data fork. The next state.
int16_t EndOfFork(BinHexDecoder* d) {
    if (d->fork != 0) {
        CheckCrc(d);
        int16_t status = FlushOutput(d);
        if (status == HostNoErr) {
            int32_t position = 0;
            if (HostGetForkPosition(d->fork, &position) == HostNoErr) status = HostSetForkLength(d->fork, position);
        }
        if (status == HostNoErr) {
            status = HostCloseFork(d->fork);
            d->fork = 0;
        }
        if (status != HostNoErr) {
            NoteDestinationFailure(d, status);
            AbortBinHex(d, true);
            return kFinished;
        }
    }
    if (d->state == kResourceFork) {
        int16_t status = HostOpenResourceFork(d->destination, 0, &d->fork);
        if (status != HostNoErr) {
            d->fork = 0;
            NoteDestinationFailure(d, status);
            AbortBinHex(d, true);
            return kFinished;
        }
        d->remaining = static_cast<int32_t>(Big32At(d->headerFields + 14));
        return kResourceFork;
    }
    d->volume = 0;
    if (d->output) HostDisposeHandle(d->output);
    d->output = nullptr;
    d->complete = d->fault ? 0 : 1;
    return kClosing;
}

void Deliver(BinHexDecoder* d, uint8_t b) {
    switch (d->state) {
        case kHeaderName:
            d->crc = Crc16XmodemByte(static_cast<uint16_t>(d->crc), b);
            // The length byte says where the version byte stands: at most 63 characters, as the
            // encoder writes them. The version byte itself is not kept (it may stand past the name).
            if (d->remaining < static_cast<int32_t>(sizeof d->name)) d->name[d->remaining] = b;
            if (d->remaining == 0 && b > kMaxMacNameLength) {
                AbortBinHex(d, true);
                return;
            }
            if (d->remaining == d->name[0] + 1) {
                d->state = kHeaderFields;
                d->count = 0;
                if (d->name[0] > 31) d->name[0] = 31;
                return;
            }
            d->remaining += 1;
            return;
        case kHeaderFields:
            d->headerFields[d->count] = b;
            d->count += 1;
            if (d->count == 19) return;
            if (d->count == 20) {
                d->storedCrc = uint32_t(d->headerFields[18]) << 8 | d->headerFields[19];
                d->count = 0;
                CheckCrc(d);
                d->state = kDataFork;
                CreateDestination(d);
                return;
            }
            d->crc = Crc16XmodemByte(static_cast<uint16_t>(d->crc), b);
            return;
        case kDataFork:
        case kResourceFork:
            if (d->remaining == 0) {
                d->state = static_cast<int16_t>(d->state + 1);
                Deliver(d, b);
                return;
            }
            (*d->output)[d->count] = static_cast<char>(b);
            d->count += 1;
            d->crc = Crc16XmodemByte(static_cast<uint16_t>(d->crc), b);
            d->remaining -= 1;
            if (d->count == d->outputSize) {
                int16_t status = FlushOutput(d);
                if (status != HostNoErr) {
                    NoteDestinationFailure(d, status);
                    AbortBinHex(d, true);
                    return;
                }
                d->count = 0;
            }
            return;
        case kDataCrcHigh:
        case kResourceCrcHigh:
            d->storedCrc = uint32_t(b) << 8;
            d->state = static_cast<int16_t>(d->state + 1);
            return;
        case kDataCrcLow:
        case kResourceCrcLow:
            d->state = static_cast<int16_t>(d->state + 1);
            d->storedCrc |= b;
            d->state = EndOfFork(d);
            d->count = 0;
            return;
        default:
            return;
    }
}

// The run-length stage: 0x90 n repeats the last byte to n copies in all; 0x90 0 is a literal 0x90.
void RunLength(BinHexDecoder* d, uint8_t x) {
    if (!d->markerPending) {
        if (x == kRunMarker) {
            d->markerPending = 1;
            return;
        }
        d->lastByte = x;
        Deliver(d, x);
        return;
    }
    d->markerPending = 0;
    if (x == 0) {
        d->lastByte = kRunMarker;
        Deliver(d, kRunMarker);
        return;
    }
    for (int i = 1; i < x; ++i) Deliver(d, d->lastByte);
}

void SixBits(BinHexDecoder* d, uint8_t c) {
    const uint8_t v = kBinHexDecodeTable[c];
    if (v == kIgnored) return;
    if (v == kColon || v == kInvalid) {
        AbortBinHex(d, true);
        return;
    }
    switch (d->phase) {
        case 0:
            d->accumulator = static_cast<uint8_t>(v << 2);
            d->phase = 1;
            return;
        case 1: {
            const uint8_t x = static_cast<uint8_t>(d->accumulator | (v >> 4));
            d->accumulator = static_cast<uint8_t>((v & 0x0F) << 4);
            d->phase = 2;
            RunLength(d, x);
            return;
        }
        case 2: {
            const uint8_t x = static_cast<uint8_t>(d->accumulator | (v >> 2));
            d->accumulator = static_cast<uint8_t>((v & 0x03) << 6);
            d->phase = 3;
            RunLength(d, x);
            return;
        }
        default: {
            const uint8_t x = static_cast<uint8_t>(d->accumulator | v);
            d->phase = 0;
            RunLength(d, x);
            return;
        }
    }
}

void Character(BinHexDecoder* d, uint8_t c) {
    switch (d->state) {
        case kScanning:
            if (c == '\r' || c == '\n') d->state = kLineStart;
            return;
        case kLineStart:
            if (c == ':') {
                d->state = Start(d);
                return;
            }
            d->state = (c == '\r' || c == '\n') ? kLineStart : kScanning;
            return;
        case kClosing: {
            const uint8_t v = kBinHexDecodeTable[c];
            if (v == kColon) {
                d->state = kFinished;
                // The closing zero bytes take four characters in one alignment out of three.
                if (d->count > 4) {
                    d->fault = 1;
                    d->complete = 0;
                }
            } else if (v != kIgnored) {
                d->count += 1;
            }
            return;
        }
        case kFinished:
            return;
        default:
            SixBits(d, c);
            return;
    }
}

}  // namespace

void AbortBinHex(BinHexDecoder* d, bool setFault) {
    if (d->output) HostDisposeHandle(d->output);
    d->output = nullptr;
    if (d->fork != 0) (void)HostCloseFork(d->fork);
    d->fork = 0;
    d->state = kFinished;
    if (setFault) {
        d->fault = 1;
        d->complete = 0;
    }
}

namespace {

// The common case inside a fork, with the decoder's fields in locals: characters of the alphabet
// and ignored bytes, producing ordinary bytes that go straight into the output buffer. Anything
// else (0x90, a colon, an invalid byte, the fork's end, a full buffer) leaves it to the general
// character step. Returns the index of the first byte not taken.
int32_t FastFork(BinHexDecoder* d, const uint8_t* bytes, int32_t i, int32_t count) {
    uint8_t* buffer = reinterpret_cast<uint8_t*>(*d->output);
    const int32_t first = d->count;
    int32_t filled = d->count;
    int32_t remaining = d->remaining;
    const int32_t limit = d->outputSize - 1;  // the byte that fills the buffer goes the general way
    uint8_t phase = d->phase;
    uint8_t accumulator = d->accumulator;
    uint8_t last = d->lastByte;
    while (i < count) {
        const uint8_t v = kBinHexDecodeTable[bytes[i]];
        if (v == kIgnored) {
            ++i;
            continue;
        }
        if (v > 63) break;
        uint8_t x;
        if (phase == 0) {
            accumulator = static_cast<uint8_t>(v << 2);
            phase = 1;
            ++i;
            continue;
        } else if (phase == 1) {
            x = static_cast<uint8_t>(accumulator | (v >> 4));
            if (x == kRunMarker || remaining == 0 || filled >= limit) break;
            accumulator = static_cast<uint8_t>((v & 0x0F) << 4);
            phase = 2;
        } else if (phase == 2) {
            x = static_cast<uint8_t>(accumulator | (v >> 2));
            if (x == kRunMarker || remaining == 0 || filled >= limit) break;
            accumulator = static_cast<uint8_t>((v & 0x03) << 6);
            phase = 3;
        } else {
            x = static_cast<uint8_t>(accumulator | v);
            if (x == kRunMarker || remaining == 0 || filled >= limit) break;
            phase = 0;
        }
        buffer[filled++] = x;
        --remaining;
        last = x;
        ++i;
    }
    d->count = filled;
    d->remaining = remaining;
    d->crc = Crc16Xmodem(buffer + first, size_t(filled - first), static_cast<uint16_t>(d->crc));
    d->phase = phase;
    d->accumulator = accumulator;
    d->lastByte = last;
    return i;
}

}  // namespace

int16_t FeedBinHex(BinHexDecoder* d, const uint8_t* bytes, int32_t count) {
    if (d->state == kFinished) d->state = kScanning;
    d->inputIndex = 0;
    while (d->inputIndex < count) {
        if ((d->state == kDataFork || d->state == kResourceFork) && !d->markerPending && d->output != nullptr) {
            d->inputIndex = FastFork(d, bytes, d->inputIndex, count);
            if (d->inputIndex >= count) break;
        }
        Character(d, bytes[d->inputIndex]);
        ++d->inputIndex;
    }
    return d->state;
}

int16_t BinHexDecodeFile(const unsigned char* source, const unsigned char* destination) {
    HostForkRef input = 0;
    int16_t status = HostOpenDataForkIn(0, 0, source, HostPermRead, &input);
    if (status != HostNoErr) return status;
    int32_t size = kChunkSize;
    while (size > 0 && HostFreeMemory() < size) size /= 2;
    uint8_t* buffer = size > 0 ? static_cast<uint8_t*>(HostNewBlock(size)) : nullptr;
    HostHandle decoderHandle = buffer ? HostNewHandleClear(sizeof(BinHexDecoder)) : nullptr;
    BinHexDecoder* d = nullptr;
    int16_t readStatus = HostNoErr;
    if (decoderHandle == nullptr) status = kNoMemory;
    // The source is open: the decoded file goes to one that replaces the destination at the end.
    unsigned char temporary[256] = {0};
    bool fresh = false;
    if (decoderHandle != nullptr) {
        HostLockHandle(decoderHandle);
        d = reinterpret_cast<BinHexDecoder*>(*decoderHandle);
        status = BeginDestination(destination, temporary, &fresh);
        // A new destination is made by the block itself, with the type and creator it carries.
        if (status == HostNoErr && fresh) (void)HostDeleteFile(0, 0, temporary);
        d->destination = temporary;
        int16_t read = status;
        while (read == HostNoErr) {
            HostYield();
            if (HostCancelRequested() != 0) {
                read = kCancelled;
                break;
            }
            int32_t count = std::min(HostGetBlockSize(buffer), size);
            read = HostReadFork(input, &count, buffer);
            FeedBinHex(d, buffer, count);
        }
        if (read != HostEofErr) readStatus = read;
        // A stream that ends after its last CRC but before the closing ':' still holds both forks.
        const bool inside = d->state != kScanning && d->state != kLineStart && d->state != kFinished &&
                            d->state != kClosing;
        if (inside) d->complete = 0;
        AbortBinHex(d, false);
        if (status != HostNoErr) {
            // the destination could not be prepared
        } else if (d->destinationStatus != HostNoErr) status = d->destinationStatus;
        else if (readStatus != HostNoErr) status = readStatus;
        else if (d->noMemory) status = kNoMemory;
        else if (!d->sawBlock) status = kNoBinHexData;
        else if (!d->complete || d->fault) status = kDamagedBinHex;
        HostDisposeHandle(decoderHandle);
    }
    if (buffer) HostDisposeBlock(buffer);
    int16_t closed = HostCloseFork(input);
    return EndDestination(temporary, destination, status != HostNoErr ? status : closed, fresh);
}

}  // namespace zor::macfile
