// encoder.cpp: GIF writing: pixel order, LZW compression with a 5003-slot hash, data sub-blocks,
// the file layout, and the growing output handle.
#include <cstring>

#include "gif/gif.h"

namespace zor::gif {
namespace {

LzwEncoder g_encoder;             // the one encoder state
uint8_t* g_tableBlock = nullptr;  // hash then code table, kTableBlockSize bytes, kept once made

constexpr int32_t kOutputStart = 1024;      // first size of the output handle
constexpr int32_t kGrowthMinimum = 1024;    // smallest growth step
constexpr int32_t kGrowthMaximum = 1 << 20; // largest growth step

// Moves the cursor to the start of the next row in GIF order.
void NextRow(PixelCursor& c) {
    c.x = 0;
    if (!c.interlaced) {
        ++c.y;
        return;
    }
    static constexpr int32_t kStep[4] = {8, 8, 4, 2};
    static constexpr int32_t kFirstRow[4] = {0, 4, 2, 1};
    c.y += kStep[c.pass];
    // A pass whose first row lies beyond the image has no rows: skip it.
    while (c.y >= c.height && c.pass < 3) {
        ++c.pass;
        c.y = kFirstRow[c.pass];
    }
}

// Room for `count` more bytes: grows the handle by a quarter of its size (at least 1024 bytes, at
// most 1 MiB a step), so a large file is not copied over and over.
bool Reserve(GifOutput& o, int32_t count) {
    if (o.failed) return false;
    if (int64_t{o.position} + count <= o.end) return true;
    int64_t size = o.end;
    while (size < int64_t{o.position} + count) {
        int64_t step = size / 4;
        if (step < kGrowthMinimum) step = kGrowthMinimum;
        if (step > kGrowthMaximum) step = kGrowthMaximum;
        size += step;
    }
    if (size > INT32_MAX) {
        o.failed = true;
        return false;
    }
    HostSetHandleSize(o.handle, static_cast<int32_t>(size));
    if (HostMemoryError() != HostNoErr || HostGetHandleSize(o.handle) != size) {
        o.failed = true;
        return false;
    }
    o.end = static_cast<int32_t>(size);
    return true;
}

// The encoder's changing fields while a stream is written: a working copy of the static record's
// fields that the compiler keeps in registers (nothing else can reach it), stored back at the end.
struct CodeWriter {
    uint32_t accumulator;  // bits not yet written, lowest first
    int32_t bitCount;      // valid bits in the accumulator
    int32_t width;         // current code width
    int32_t maxCode;       // 2^width - 1, or kMaxCodeLimit at width 12
    int32_t nextFree;      // first code not yet assigned
    bool clearPending;     // the width drops to 9 once the clear code is out
    int32_t blockCount;    // bytes in the block buffer
    int32_t codes;         // codes written
    int32_t clears;        // clear codes written
    uint8_t* block;        // the static block buffer
    GifOutput* output;     // where sub-blocks go
};

// Writes `count` bytes of the block buffer as one sub-block (count byte, bytes).
[[gnu::noinline]] void WriteBlock(GifOutput& o, const uint8_t* block, int32_t count) {
    if (count == 0 || !Reserve(o, count + 1)) return;
    char* at = *o.handle + o.position;  // re-based on the handle's current address
    at[0] = static_cast<char>(count);
    std::memcpy(at + 1, block, static_cast<size_t>(count));
    o.position += count + 1;
}

// Appends a byte to the block buffer; a full buffer (254 bytes) becomes a sub-block.
[[gnu::always_inline]] inline void AppendByte(CodeWriter& w, uint8_t byte) {
    w.block[w.blockCount++] = byte;
    if (w.blockCount == kBlockLimit) {
        WriteBlock(*w.output, w.block, w.blockCount);
        w.blockCount = 0;
    }
}

// Writes one code at the current width, low bits first, then adjusts the width for the codes to
// come: back to 9 after a clear, one more when the next free code no longer fits (checked before
// the caller adds its new entry).
[[gnu::always_inline]] inline void WriteCode(CodeWriter& w, int32_t code) {
    // Bits above bitCount are always 0 here: bytes leave by unsigned shifts.
    w.accumulator = w.bitCount > 0 ? w.accumulator | static_cast<uint32_t>(code) << w.bitCount
                                   : static_cast<uint32_t>(code);
    w.bitCount += w.width;
    // Fewer than 8 bits waited and a code has 9 to 12: one or two whole bytes are ready. Both
    // are stored (the buffer has room past 254) and the count moves by the whole ones.
    const int32_t ready = w.bitCount >> 3;
    w.block[w.blockCount] = static_cast<uint8_t>(w.accumulator);
    w.block[w.blockCount + 1] = static_cast<uint8_t>(w.accumulator >> 8);
    w.blockCount += ready;
    w.accumulator >>= 8 * ready;
    w.bitCount &= 7;
    if (w.blockCount >= kBlockLimit) [[unlikely]] {
        WriteBlock(*w.output, w.block, kBlockLimit);
        w.blockCount -= kBlockLimit;
        w.block[0] = w.block[kBlockLimit];  // a byte past the sub-block starts the next one
    }
    ++w.codes;

    if (w.nextFree > w.maxCode || w.clearPending) [[unlikely]] {
        if (w.clearPending) {
            w.width = kInitialWidth;
            w.maxCode = (1 << kInitialWidth) - 1;
            w.clearPending = false;
        } else {
            ++w.width;
            w.maxCode = w.width == kMaxBits ? kMaxCodeLimit : (1 << w.width) - 1;
        }
    }
}

// The end code, then the last partial byte and the last sub-block.
void WriteEnd(CodeWriter& w) {
    WriteCode(w, kEndCode);
    while (w.bitCount > 0) {
        AppendByte(w, static_cast<uint8_t>(w.accumulator));
        w.accumulator >>= 8;
        w.bitCount -= 8;
    }
    WriteBlock(*w.output, w.block, w.blockCount);
    w.blockCount = 0;
}

// Every slot -1 (all bits set): empty.
void ClearHash(LzwEncoder& e) { std::memset(e.hash, 0xFF, sizeof(int32_t) * kHashSlots); }

}  // namespace

// ---- Pixel order -----------------------------------------------------------------------------------

void StartCursor(PixelCursor& c, const GifImage& image, bool interlaced) {
    c.pixels = image.pixels;
    c.stride = image.stride;
    c.width = image.width;
    c.height = image.height;
    c.countdown = image.width * image.height;
    c.x = 0;
    c.y = 0;
    c.interlaced = interlaced;
    c.pass = 0;
}

int32_t NextPixel(PixelCursor& c) {
    if (c.countdown <= 0) return -1;
    const int32_t pixel = c.pixels[int64_t{c.y} * c.stride + c.x];
    --c.countdown;
    if (++c.x == c.width) NextRow(c);
    return pixel;
}

int32_t NextRun(PixelCursor& c, const uint8_t** run) {
    if (c.countdown <= 0) return 0;
    const int32_t count = c.width - c.x;
    *run = c.pixels + int64_t{c.y} * c.stride + c.x;
    c.countdown -= count;
    NextRow(c);
    return count;
}

// ---- Output ----------------------------------------------------------------------------------------

bool StartOutput(GifOutput& o) {
    o.handle = HostNewHandle(kOutputStart);
    o.position = 0;
    o.end = o.handle != nullptr ? kOutputStart : 0;
    o.failed = o.handle == nullptr;
    return !o.failed;
}

bool OutputBytes(GifOutput& o, const void* bytes, int32_t count) {
    if (!Reserve(o, count)) return false;
    std::memcpy(*o.handle + o.position, bytes, static_cast<size_t>(count));
    o.position += count;
    return true;
}

// ---- Compression -----------------------------------------------------------------------------------

uint8_t* TableBlock() {
    if (g_tableBlock == nullptr) g_tableBlock = static_cast<uint8_t*>(HostNewBlock(kTableBlockSize));
    return g_tableBlock;
}

bool CompressPixels(LzwEncoder& e, PixelCursor& cursor, GifOutput& output) {
    CodeWriter w{0, 0, kInitialWidth, (1 << kInitialWidth) - 1, kClearCode + 2, false, 0, 0, 0, e.block, &output};

    const int32_t first = NextPixel(cursor);
    if (first < 0) return false;
    int32_t current = first;  // code of the string matched so far
    ClearHash(e);
    WriteCode(w, kClearCode);
    ++w.clears;

    int32_t* const hash = e.hash;
    uint16_t* const codes = e.codes;
    const uint8_t* run = nullptr;
    for (int32_t count = NextRun(cursor, &run); count > 0; count = NextRun(cursor, &run)) {
        for (int32_t k = 0; k < count; ++k) {
            const int32_t c = run[k];
            const int32_t key = (c << kMaxBits) + current;
            int32_t i = (c << kHashShift) ^ current;
            if (hash[i] == key) {
                current = codes[i];
                continue;
            }
            if (hash[i] >= 0) {
                // Occupied by another string: probe backwards. A slot holding 0 ends the probe as
                // an empty one does.
                const int32_t step = i == 0 ? 1 : kHashSlots - i;
                bool found = false;
                do {
                    i -= step;
                    if (i < 0) i += kHashSlots;
                    if (hash[i] == key) {
                        found = true;
                        break;
                    }
                } while (hash[i] > 0);
                if (found) {
                    current = codes[i];
                    continue;
                }
            }
            WriteCode(w, current);
            current = c;
            if (w.nextFree < kMaxCodeLimit) [[likely]] {
                codes[i] = static_cast<uint16_t>(w.nextFree++);
                hash[i] = key;
            } else {
                ClearHash(e);
                w.nextFree = kClearCode + 2;
                w.clearPending = true;
                WriteCode(w, kClearCode);
                ++w.clears;
            }
        }
        if (output.failed) break;
    }
    WriteCode(w, current);
    WriteEnd(w);

    // The record keeps where the stream ended.
    e.width = static_cast<int16_t>(w.width);
    e.maxCode = w.maxCode;
    e.nextFree = w.nextFree;
    e.clearPending = w.clearPending;
    e.accumulator = w.accumulator;
    e.bitCount = static_cast<int16_t>(w.bitCount);
    e.blockCount = static_cast<int16_t>(w.blockCount);
    e.output = &output;
    e.codesWritten = w.codes;
    e.clearsWritten = w.clears;
    return !output.failed;
}

const LzwEncoder& LastEncoder() { return g_encoder; }

// ---- File layout -----------------------------------------------------------------------------------

bool WriteGif(const GifImage& image, bool interlaced, int32_t transparent, GifOutput& output) {
    uint8_t* tables = TableBlock();
    if (tables == nullptr) return false;
    g_encoder.hash = reinterpret_cast<int32_t*>(tables);
    g_encoder.codes = reinterpret_cast<uint16_t*>(tables + kHashSlots * 4);

    const bool withExtension = transparent >= 0 && transparent <= 255;
    const auto w = static_cast<uint16_t>(image.width);
    const auto h = static_cast<uint16_t>(image.height);
    uint8_t head[13 + 768 + 8];
    int32_t n = 0;
    std::memcpy(head, withExtension ? "GIF89a" : "GIF87a", 6);
    n = 6;
    head[n++] = static_cast<uint8_t>(w);
    head[n++] = static_cast<uint8_t>(w >> 8);
    head[n++] = static_cast<uint8_t>(h);
    head[n++] = static_cast<uint8_t>(h >> 8);
    head[n++] = 0xF7;  // global table of 256 entries, 8-bit colour resolution, not sorted
    head[n++] = 0;     // background colour index
    head[n++] = 0;     // pixel aspect ratio
    for (int i = 0; i < 256; ++i) {
        const HostColorSpec& c = image.colors->table[i];
        head[n++] = static_cast<uint8_t>(c.red);
        head[n++] = static_cast<uint8_t>(c.green);
        head[n++] = static_cast<uint8_t>(c.blue);
    }
    if (withExtension) {
        const uint8_t extension[8] = {0x21, 0xF9, 0x04, 0x01, 0x00, 0x00, static_cast<uint8_t>(transparent), 0x00};
        std::memcpy(head + n, extension, 8);
        n += 8;
    }
    const uint8_t descriptor[11] = {0x2C,
                                    0,
                                    0,
                                    0,
                                    0,
                                    static_cast<uint8_t>(w),
                                    static_cast<uint8_t>(w >> 8),
                                    static_cast<uint8_t>(h),
                                    static_cast<uint8_t>(h >> 8),
                                    static_cast<uint8_t>(interlaced ? 0x40 : 0x00),
                                    8};  // LZW minimum code size
    if (!OutputBytes(output, head, n) || !OutputBytes(output, descriptor, 11)) return false;

    PixelCursor cursor;
    StartCursor(cursor, image, interlaced);
    if (!CompressPixels(g_encoder, cursor, output)) return false;
    const uint8_t tail[2] = {0x00, 0x3B};  // end of the image data, trailer
    return OutputBytes(output, tail, 2);
}

}  // namespace zor::gif
