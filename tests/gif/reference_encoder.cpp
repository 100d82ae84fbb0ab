// reference_encoder.cpp: the earlier GIF writer (pixel order, 5003-slot hash LZW, 254-byte
// sub-blocks, file layout), copied here unchanged in what it writes, into a string.
#include "reference_encoder.h"

#include <cstring>

namespace zor::test::giftest {
namespace {

constexpr int kSlots = 5003;
constexpr int kBits = 12;
constexpr int32_t kLimit = 4096;
constexpr int kFirstWidth = 9;
constexpr int32_t kClear = 256;
constexpr int32_t kEnd = 257;
constexpr int kBlock = 254;

struct Cursor {
    const uint8_t* pixels;
    int32_t stride, width, height;
    int64_t countdown;
    int32_t x = 0, y = 0;
    bool interlaced;
    int pass = 0;
};

int32_t Next(Cursor& c) {
    if (c.countdown <= 0) return -1;
    const int32_t pixel = c.pixels[int64_t{c.y} * c.stride + c.x];
    --c.countdown;
    if (++c.x == c.width) {
        c.x = 0;
        if (!c.interlaced) {
            ++c.y;
        } else {
            static constexpr int32_t kStep[4] = {8, 8, 4, 2};
            static constexpr int32_t kFirstRow[4] = {0, 4, 2, 1};
            c.y += kStep[c.pass];
            while (c.y >= c.height && c.pass < 3) {
                ++c.pass;
                c.y = kFirstRow[c.pass];
            }
        }
    }
    return pixel;
}

struct Writer {
    std::string* out;
    uint32_t accumulator = 0;
    int bitCount = 0;
    int width = kFirstWidth;
    int32_t maxCode = (1 << kFirstWidth) - 1;
    int32_t nextFree = kClear + 2;
    bool clearPending = false;
    uint8_t block[256];
    int blockCount = 0;
};

void Flush(Writer& w) {
    if (w.blockCount == 0) return;
    w.out->push_back(static_cast<char>(w.blockCount));
    w.out->append(reinterpret_cast<const char*>(w.block), static_cast<size_t>(w.blockCount));
    w.blockCount = 0;
}

void Append(Writer& w, uint8_t byte) {
    w.block[w.blockCount++] = byte;
    if (w.blockCount == kBlock) Flush(w);
}

void Put(Writer& w, int32_t code) {
    w.accumulator &= w.bitCount > 0 ? (1u << w.bitCount) - 1 : 0;
    w.accumulator = w.bitCount > 0 ? w.accumulator | static_cast<uint32_t>(code) << w.bitCount
                                   : static_cast<uint32_t>(code);
    w.bitCount += w.width;
    while (w.bitCount >= 8) {
        Append(w, static_cast<uint8_t>(w.accumulator));
        w.accumulator >>= 8;
        w.bitCount -= 8;
    }
    if (w.nextFree > w.maxCode || w.clearPending) {
        if (w.clearPending) {
            w.width = kFirstWidth;
            w.maxCode = (1 << kFirstWidth) - 1;
            w.clearPending = false;
        } else {
            ++w.width;
            w.maxCode = w.width == kBits ? kLimit : (1 << w.width) - 1;
        }
    }
    if (code == kEnd) {
        while (w.bitCount > 0) {
            Append(w, static_cast<uint8_t>(w.accumulator));
            w.accumulator >>= 8;
            w.bitCount -= 8;
        }
        Flush(w);
    }
}

void Compress(Cursor& cursor, std::string& out, ReferenceTrace* trace) {
    static int32_t hash[kSlots];
    static uint16_t codes[kSlots];
    Writer w;
    w.out = &out;
    int64_t read = 0;
    int32_t current = Next(cursor);
    ++read;
    std::memset(hash, 0xFF, sizeof hash);
    Put(w, kClear);
    for (int32_t c = Next(cursor); c >= 0; c = Next(cursor)) {
        ++read;
        const int32_t key = (c << kBits) + current;
        int32_t i = (c << 4) ^ current;
        if (hash[i] == key) {
            current = codes[i];
            continue;
        }
        if (hash[i] >= 0) {
            const int32_t step = i == 0 ? 1 : kSlots - i;
            bool found = false;
            do {
                i -= step;
                if (i < 0) i += kSlots;
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
        Put(w, current);
        current = c;
        if (w.nextFree < kLimit) {
            if (trace != nullptr && hash[i] == 0) ++trace->zeroOverwrites;
            codes[i] = static_cast<uint16_t>(w.nextFree++);
            hash[i] = key;
            if (trace != nullptr && (w.nextFree == 512 || w.nextFree == 1024 || w.nextFree == 2048))
                trace->widthSteps.push_back(read);
        } else {
            if (trace != nullptr) trace->resets.push_back(read);
            std::memset(hash, 0xFF, sizeof hash);
            w.nextFree = kClear + 2;
            w.clearPending = true;
            Put(w, kClear);
        }
    }
    Put(w, current);
    Put(w, kEnd);
}

}  // namespace

std::string ReferenceGif(const zor::gif::GifImage& image, bool interlaced, int32_t transparent,
                         ReferenceTrace* trace) {
    const bool withExtension = transparent >= 0 && transparent <= 255;
    const auto w = static_cast<uint16_t>(image.width);
    const auto h = static_cast<uint16_t>(image.height);
    std::string f = withExtension ? "GIF89a" : "GIF87a";
    const char screen[7] = {static_cast<char>(w), static_cast<char>(w >> 8), static_cast<char>(h),
                            static_cast<char>(h >> 8), static_cast<char>(0xF7), 0, 0};
    f.append(screen, 7);
    for (int i = 0; i < 256; ++i) {
        const HostColorSpec& c = image.colors->table[i];
        f += {static_cast<char>(c.red), static_cast<char>(c.green), static_cast<char>(c.blue)};
    }
    if (withExtension) f += {0x21, static_cast<char>(0xF9), 0x04, 0x01, 0x00, 0x00, static_cast<char>(transparent), 0x00};
    const char descriptor[11] = {0x2C, 0, 0, 0, 0, static_cast<char>(w), static_cast<char>(w >> 8),
                                 static_cast<char>(h), static_cast<char>(h >> 8), static_cast<char>(interlaced ? 0x40 : 0x00), 8};
    f.append(descriptor, 11);
    Cursor cursor{image.pixels, image.stride, image.width, image.height, int64_t{image.width} * image.height, 0, 0,
                  interlaced, 0};
    Compress(cursor, f, trace);
    f += {0x00, 0x3B};
    return f;
}

}  // namespace zor::test::giftest
