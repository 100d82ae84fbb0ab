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

// Writes the block buffer as one sub-block (count byte, bytes); an empty buffer writes nothing.
void FlushBlock(LzwEncoder& e) {
    if (e.blockCount == 0) return;
    GifOutput& o = *e.output;
    if (Reserve(o, e.blockCount + 1)) {
        char* at = *o.handle + o.position;  // re-based on the handle's current address
        at[0] = static_cast<char>(e.blockCount);
        std::memcpy(at + 1, e.block, static_cast<size_t>(e.blockCount));
        o.position += e.blockCount + 1;
    }
    e.blockCount = 0;
}

inline void AppendByte(LzwEncoder& e, uint8_t byte) {
    e.block[e.blockCount++] = byte;
    if (e.blockCount == kBlockLimit) FlushBlock(e);
}

// Writes one code at the current width, low bits first, then adjusts the width for the codes to
// come: back to 9 after a clear, one more when the next free code no longer fits. The end code
// also writes the last partial byte and the last sub-block.
void WriteCode(LzwEncoder& e, int32_t code) {
    if (e.bitCount > 0) {
        e.accumulator &= (uint32_t{1} << e.bitCount) - 1;
        e.accumulator |= static_cast<uint32_t>(code) << e.bitCount;
    } else {
        e.accumulator = static_cast<uint32_t>(code);
    }
    e.bitCount = static_cast<int16_t>(e.bitCount + e.width);
    while (e.bitCount >= 8) {
        AppendByte(e, static_cast<uint8_t>(e.accumulator & 0xFF));
        e.accumulator >>= 8;
        e.bitCount = static_cast<int16_t>(e.bitCount - 8);
    }
    ++e.codesWritten;
    if (code == kClearCode) ++e.clearsWritten;

    if (e.nextFree > e.maxCode || e.clearPending) {
        if (e.clearPending) {
            e.width = kInitialWidth;
            e.maxCode = (1 << kInitialWidth) - 1;
            e.clearPending = false;
        } else {
            ++e.width;
            e.maxCode = e.width == kMaxBits ? kMaxCodeLimit : (1 << e.width) - 1;
        }
    }

    if (code == kEndCode) {
        while (e.bitCount > 0) {
            AppendByte(e, static_cast<uint8_t>(e.accumulator & 0xFF));
            e.accumulator >>= 8;
            e.bitCount = static_cast<int16_t>(e.bitCount - 8);
        }
        FlushBlock(e);
    }
}

void ClearHash(LzwEncoder& e) {
    for (int i = 0; i < kHashSlots; ++i) e.hash[i] = -1;
}

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
    e.width = kInitialWidth;
    e.maxCode = (1 << kInitialWidth) - 1;
    e.nextFree = kClearCode + 2;
    e.clearPending = false;
    e.accumulator = 0;
    e.bitCount = 0;
    e.blockCount = 0;
    e.output = &output;
    e.codesWritten = 0;
    e.clearsWritten = 0;

    const int32_t first = NextPixel(cursor);
    if (first < 0) return false;
    int32_t current = first;  // code of the string matched so far
    ClearHash(e);
    WriteCode(e, kClearCode);

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
            WriteCode(e, current);
            current = c;
            if (e.nextFree < kMaxCodeLimit) {
                codes[i] = static_cast<uint16_t>(e.nextFree++);
                hash[i] = key;
            } else {
                ClearHash(e);
                e.nextFree = kClearCode + 2;
                e.clearPending = true;
                WriteCode(e, kClearCode);
            }
        }
        if (output.failed) return false;
    }
    WriteCode(e, current);
    WriteCode(e, kEndCode);
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
