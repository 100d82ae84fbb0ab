// encoder.cpp: GIF writing: pixel order, LZW compression (a direct string table, runs of one colour
// by their length, the 5003-slot hash where it decides), code packing, data sub-blocks, the file
// layout, and the growing output handle.
#include <array>
#include <cstring>
#include <utility>

#include "gif/gif.h"

namespace zor::gif {
namespace {

LzwEncoder g_encoder;             // the one encoder state
LzwTables* g_tables = nullptr;    // the kept tables, once made

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

// ---- Code writing ---------------------------------------------------------------------------------
//
// Codes are gathered as they come and packed into bytes in batches of one width: eight codes of
// width W fill exactly W bytes, so a batch packs with fixed shifts, eight codes at a time. A batch
// ends when the gathering buffer is full or when the width changes after the code just written.
// The compressing loop writes string table rows, not codes: a row is its code but for the two
// codes that have none (clear and end), so rows from 256 are codes from 258, and the two rows no
// string can have, 4094 and 4095, stand for the clear and end codes.

constexpr int32_t kClearRow = kTableRows;    // written for the clear code
constexpr int32_t kEndRow = kTableRows + 1;  // written for the end code

inline int32_t CodeOf(int32_t row) { return row < 256 ? row : row + 2; }

// The writer's fields that change at every code, which the compressing loop keeps in registers
// (their address never leaves it).
struct Pace {
    uint16_t* next;        // where the next code goes in the buffer of codes not yet packed
    uint16_t* settleAt;    // where the codes are packed when reached: the buffer's end, or the place
                           // after the next code when the width changes after it
    int32_t nextFree;      // first code not yet assigned
    int32_t slowFrom;      // adding a string takes the slow way from this next free code: maxCode,
                           // or 0 while the hash places every string
};

// The writer's other fields, while a stream is written.
struct CodeWriter {
    uint16_t* gathered;    // the static buffer of codes not yet packed
    int32_t count;         // codes in it, while they are packed
    int32_t width;         // current code width
    int32_t maxCode;       // 2^width - 1, or kMaxCodeLimit at width 12
    bool clearPending;     // the width drops to 9 once the clear code is out
    bool slotsKept;        // the hash places every string: each addition goes the slow way
    uint64_t accumulator;  // packed bits not yet whole bytes
    int32_t bitCount;      // how many: 0..7
    uint8_t* bytes;        // the static buffer of packed bytes
    int32_t byteCount;     // bytes in it
    int32_t codes;         // codes written
    int32_t clears;        // clear codes written
    GifOutput* output;     // where sub-blocks go
};

// Writes `count` bytes as one sub-block (count byte, bytes).
void WriteBlock(GifOutput& o, const uint8_t* block, int32_t count) {
    if (count == 0 || !Reserve(o, count + 1)) return;
    char* at = *o.handle + o.position;  // re-based on the handle's current address
    at[0] = static_cast<char>(count);
    std::memcpy(at + 1, block, static_cast<size_t>(count));
    o.position += count + 1;
}

// Packs groups of eight codes of width W that start B bits into a byte (B bits of `bits` wait
// there); every shift is a constant. Returns the first code left.
template <int W, int B>
const uint16_t* PackEights(const uint16_t* code, const uint16_t* end, uint8_t*& out, uint64_t& bits) {
    for (; end - code >= 8; code += 8) {
        unsigned __int128 eight = bits;
        for (int q = 0; q < 8; ++q) eight |= static_cast<unsigned __int128>(code[q]) << (q * W + B);
        std::memcpy(out, &eight, 16);  // W whole bytes; the rest is written over next
        out += W;
        bits = static_cast<uint64_t>(eight >> (8 * W));  // the same B bits wait
    }
    return code;
}

using Packer = const uint16_t* (*)(const uint16_t*, const uint16_t*, uint8_t*&, uint64_t&);

template <int W, int... B>
constexpr std::array<Packer, 8> PackersOf(std::integer_sequence<int, B...>) {
    return {PackEights<W, B>...};
}

// By width 9..12, then by the bits waiting.
constexpr std::array<std::array<Packer, 8>, 4> kPackers = {
    PackersOf<9>(std::make_integer_sequence<int, 8>{}), PackersOf<10>(std::make_integer_sequence<int, 8>{}),
    PackersOf<11>(std::make_integer_sequence<int, 8>{}), PackersOf<12>(std::make_integer_sequence<int, 8>{})};

// Packs the gathered codes at the current width, low bits first.
void PackCodes(CodeWriter& w) {
    const uint16_t* code = w.gathered;
    const uint16_t* const end = code + w.count;
    uint8_t* out = w.bytes + w.byteCount;
    uint64_t bits = w.accumulator;
    int32_t count = w.bitCount;
    code = kPackers[w.width - kInitialWidth][count](code, end, out, bits);
    for (; code < end; ++code) {
        bits |= uint64_t{*code} << count;
        for (count += w.width; count >= 8; count -= 8) {
            *out++ = static_cast<uint8_t>(bits);
            bits >>= 8;
        }
    }
    w.accumulator = bits;
    w.bitCount = count;
    w.byteCount = static_cast<int32_t>(out - w.bytes);
}

// Whole sub-blocks of the packed bytes go out; fewer than 254 bytes wait.
void SendBlocks(CodeWriter& w) {
    int32_t sent = 0;
    for (; w.byteCount - sent >= kBlockLimit; sent += kBlockLimit) WriteBlock(*w.output, w.bytes + sent, kBlockLimit);
    w.byteCount -= sent;
    std::memmove(w.bytes, w.bytes + sent, static_cast<size_t>(w.byteCount));
}

// Packs the `count` gathered codes, then adjusts the width for the codes to come: back to 9 after
// a clear, one more when the next free code no longer fits (checked after the last code written and
// before its caller adds its new entry).
[[gnu::noinline]] void Settle(CodeWriter& w, int32_t count, int32_t nextFree) {
    w.count = count;
    PackCodes(w);
    w.codes += count;
    SendBlocks(w);
    if (nextFree > w.maxCode || w.clearPending) {
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

// Settles the gathered codes; the loop's fields are passed and set one by one, so that their
// address never leaves the loop and they stay in registers there.
[[gnu::always_inline]] inline void Settled(CodeWriter& w, Pace& p) {
    Settle(w, static_cast<int32_t>(p.next - w.gathered), p.nextFree);
    p.next = w.gathered;
    p.settleAt = w.gathered + kGathered;
    p.slowFrom = w.slotsKept ? 0 : w.maxCode;
}

// Writes the code of a table row (or of kClearRow, kEndRow) at the current width.
[[gnu::always_inline]] inline void WriteCode(CodeWriter& w, Pace& p, int32_t row) {
    *p.next++ = static_cast<uint16_t>(row >= kClearRow ? row - kClearRow + kClearCode : CodeOf(row));
    if (p.next >= p.settleAt) [[unlikely]] Settled(w, p);
}

// The end code, then the last partial byte and the last sub-block.
void WriteEnd(CodeWriter& w, Pace& p) {
    p.settleAt = p.next + 1;
    WriteCode(w, p, kEndRow);
    for (; w.bitCount > 0; w.bitCount -= 8) {
        w.bytes[w.byteCount++] = static_cast<uint8_t>(w.accumulator);
        w.accumulator >>= 8;
    }
    SendBlocks(w);
    WriteBlock(*w.output, w.bytes, w.byteCount);
    w.byteCount = 0;
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
//
// The code stream depends only on which strings the table holds when each pixel comes; the direct
// table of rows answers that with one load. Where the 5003-slot hash puts a string matters in one
// case only: a search that has left its first slot stops at a slot holding 0 as at an empty one, so
// a string added there replaces the string whose key is 0 (white after white), which is then no
// longer found. Slot 0 is never a search's later slot (slot i's probe visits 2i, 3i ... modulo the
// prime 5003; slot 0's visits 5002, 5001 ...), so while key 0 is absent or sits in slot 0 no slot
// matters, and the hash is left alone. When key 0 is added, the strings added so far are placed, in
// order, to see where it lands; if that is not slot 0, every later string is placed as it comes,
// until the next reset.
//
// Runs of one colour c go by the run index instead of a lookup a pixel: while the string matched
// so far is c repeated j times and the table holds c repeated up to m times, r more pixels of c
// take it to j + r pixels when that is m or less; otherwise the string of m pixels is written, c
// repeated m + 1 times is added, and matching starts again from c alone.

namespace {

// Every colour's string of one pixel, the only ones after a reset.
void ResetRuns(RunIndex& r) {
    for (int c = 0; c < 256; ++c) {
        r.top[c] = static_cast<uint16_t>(c);
        r.length[c] = 1;
        r.start[c] = static_cast<uint16_t>(4 * c);
        r.capacity[c] = 4;
        r.pool[4 * c] = static_cast<uint16_t>(c);
        r.lengthOf[c] = 1;
    }
    r.used = 4 * 256;
}

// Colour c's longest string grew by one pixel, as `row`. A colour out of room moves to twice the
// room at the pool's end. The pool suffices: a colour that moved holds L > 4 rows in room C < 2L
// and left 8 + 16 + ... + C / 2 behind, so it took 2C - 8 < 4L - 8 entries, and L - 1 counts codes
// added since the reset, of which there are at most 4096 - 258: at most 1024 + 4 * 3838 = 16376
// entries in all.
void ExtendRun(RunIndex& r, int32_t c, int32_t row) {
    if (r.length[c] == r.capacity[c]) {
        const int32_t room = 2 * r.capacity[c];
        std::memcpy(r.pool + r.used, r.pool + r.start[c], sizeof(uint16_t) * r.length[c]);
        r.start[c] = static_cast<uint16_t>(r.used);
        r.capacity[c] = static_cast<uint16_t>(room);
        r.used += room;
    }
    r.pool[r.start[c] + r.length[c]++] = static_cast<uint16_t>(row);
    r.top[c] = static_cast<uint16_t>(row);
    r.lengthOf[row] = r.length[c];
}

// Pixels from `at` (at most n) equal to c, 8 at a time.
int32_t RunLength(const uint8_t* at, int32_t n, int32_t c) {
    const uint64_t pattern = 0x0101010101010101ull * static_cast<uint8_t>(c);
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, at + i, 8);
        word ^= pattern;
        if (word != 0) return i + (__builtin_ctzll(word) >> 3);  // the first differing byte (little-endian)
    }
    while (i < n && at[i] == c) ++i;
    return i;
}

// The slot where the hash's search for an absent key stops: its first slot when empty, else the
// first slot of its probe that is empty or holds 0.
int32_t FreeSlot(const int32_t* hash, int32_t key) {
    int32_t i = ((key >> kMaxBits) << kHashShift) ^ (key & (kMaxCodeLimit - 1));
    if (hash[i] >= 0) {
        const int32_t step = i == 0 ? 1 : kHashSlots - i;
        do {
            i -= step;
            if (i < 0) i += kHashSlots;
        } while (hash[i] > 0);
    }
    return i;
}

// The string table's parts while a stream is written.
struct Strings {
    uint16_t* children;  // the direct table
    LzwTables* kept;     // hash, entries, run index
};

// Places an absent key in the hash where its search stops; returns what the slot held before (-1
// empty, or 0: the slot of key 0).
int32_t PlaceKey(int32_t* hash, int32_t key) {
    const int32_t slot = FreeSlot(hash, key);
    const int32_t held = hash[slot];
    hash[slot] = key;
    return held;
}

// A full table starts again: no strings but the pixels', the hash left alone.
[[gnu::noinline]] void ClearTable(Strings& s, CodeWriter& w, int32_t nextFree) {
    for (int32_t code = kClearCode + 2; code < nextFree; ++code) s.children[s.kept->entries[code]] = 0;
    ResetRuns(s.kept->runs);
    w.slotsKept = false;
}

// Places the key of the string (prefix row, c) while the hash places every string.
[[gnu::noinline]] void PlaceString(Strings& s, int32_t prefix, int32_t c) {
    if (PlaceKey(s.kept->hash, (c << kMaxBits) + CodeOf(prefix)) == 0) {
        // The slot of key 0 (white after white), which the search took for an empty one: that
        // string is gone, and white's longest run is one pixel again.
        s.kept->runs.top[0] = 0;
        s.kept->runs.length[0] = 1;
    }
}

// Key 0 (white after white) is added while the hash is left alone: the strings added so far are
// placed, in order, and then key 0. In slot 0 no later search can displace it, and the hash is left
// alone again; elsewhere it places every later string. True in that case.
[[gnu::noinline]] bool KeyZeroAdded(Strings& s, CodeWriter& w, int32_t nextFree) {
    LzwTables& kept = *s.kept;
    std::memset(kept.hash, 0xFF, sizeof kept.hash);  // every slot -1: empty
    for (int32_t code = kClearCode + 2; code < nextFree; ++code) {
        const uint32_t entry = kept.entries[code];
        (void)PlaceKey(kept.hash, static_cast<int32_t>((entry & 0xFF) << kMaxBits) + CodeOf(static_cast<int32_t>(entry >> 8)));
    }
    const int32_t slot = FreeSlot(kept.hash, 0);
    kept.hash[slot] = 0;
    w.slotsKept = slot != 0;
    return w.slotsKept;
}

// Gives the string `prefix` row then pixel c, whose entry in children is `at`, the first free code;
// or resets a full table.
//
// A string that extends a run of one colour by one pixel goes into the run index instead of the
// direct table, unless adding it displaced white after white. Only the run path adds such strings,
// and only it looks them up: whenever the string matched so far repeats the next pixel's colour,
// matching goes by the run index. (So does key 0, white after white.)
template <bool kRun>
[[gnu::always_inline]] inline void AddString(Strings& s, uint16_t* children, LzwTables* kept, CodeWriter& w, Pace& p,
                                             int32_t prefix, int32_t c, int32_t at) {
    if (p.nextFree >= p.slowFrom) [[unlikely]] {
        if (p.nextFree >= w.maxCode) {
            if (p.nextFree >= kMaxCodeLimit) {
                // Full: the clear code, after which the width drops, then strings from 258.
                ClearTable(s, w, p.nextFree);
                p.nextFree = kClearCode + 2;
                w.clearPending = true;
                p.settleAt = p.next + 1;
                WriteCode(w, p, kClearRow);
                ++w.clears;
                return;
            }
            p.settleAt = p.next + 1;  // the width grows after the next code
        }
        if (w.slotsKept) PlaceString(s, prefix, c);
    }
    if (kRun && at == 0 && !w.slotsKept) [[unlikely]] {
        if (KeyZeroAdded(s, w, p.nextFree)) p.slowFrom = 0;
    }
    const int32_t row = p.nextFree - 2;
    if (!kRun) children[at] = static_cast<uint16_t>(row);
    kept->entries[p.nextFree] = static_cast<uint32_t>(at);
    if (kRun && kept->runs.top[c] == prefix) ExtendRun(kept->runs, c, row);
    ++p.nextFree;
}

}  // namespace

LzwTables* KeptTables() {
    if (g_tables == nullptr) g_tables = static_cast<LzwTables*>(HostNewBlock(sizeof(LzwTables)));
    return g_tables;
}

bool CompressPixels(LzwEncoder& e, PixelCursor& cursor, GifOutput& output) {
    const int32_t first = NextPixel(cursor);
    if (first < 0) return false;
    // As many rows as codes can be given: one a pixel after the first, at most the whole table.
    const int64_t codes = int64_t{256} + cursor.countdown;
    e.rows = static_cast<int32_t>(codes < kTableRows ? codes : kTableRows);
    e.children = static_cast<uint16_t*>(HostNewBlockClear(e.rows * 256 * static_cast<int32_t>(sizeof(uint16_t))));
    if (e.children == nullptr) return false;

    CodeWriter w{e.gathered, 0, kInitialWidth, (1 << kInitialWidth) - 1, false, false, 0, 0, e.bytes, 0, 0, 0, &output};
    Pace p{e.gathered, e.gathered + kGathered, kClearCode + 2, (1 << kInitialWidth) - 1};
    Strings s{e.children, e.tables};
    uint16_t* const children = e.children;
    LzwTables* const kept = e.tables;
    RunIndex& runs = kept->runs;
    ResetRuns(runs);
    int32_t current = first;    // row of the string matched so far
    int32_t runColour = first;  // the colour that string repeats, or -1 when it mixes colours
    WriteCode(w, p, kClearRow);
    ++w.clears;

    const uint8_t* run = nullptr;
    for (int32_t count = NextRun(cursor, &run); count > 0; count = NextRun(cursor, &run)) {
        for (const uint8_t *pixel = run, *const end = run + count; pixel < end;) {
            const int32_t c = *pixel;
            if (c == runColour) {
                // The string is c repeated j times, and r more pixels of c follow.
                int32_t r = RunLength(pixel, static_cast<int32_t>(end - pixel), c);
                pixel += r;
                int32_t j = runs.lengthOf[current];
                while (j + r > runs.length[c]) {
                    // Up to the longest string held, then one pixel that no string takes.
                    r -= runs.length[c] - j + 1;
                    const int32_t prefix = runs.top[c];
                    WriteCode(w, p, prefix);
                    AddString<true>(s, children, kept, w, p, prefix, c, prefix << 8 | c);
                    j = 1;
                }
                current = runs.pool[runs.start[c] + j + r - 1];
                continue;
            }
            ++pixel;
            const int32_t at = current << 8 | c;
            const int32_t child = children[at];
            if (child != 0) {
                current = child;
                runColour = -1;
                continue;
            }
            WriteCode(w, p, current);
            AddString<false>(s, children, kept, w, p, current, c, at);
            current = c;
            runColour = c;
        }
        if (output.failed) break;
        // A host that asks the command to stop gets no picture; checked once a row.
        if (HostCancelRequested() != 0) {
            output.failed = true;
            break;
        }
    }
    WriteCode(w, p, current);
    WriteEnd(w, p);
    HostDisposeBlock(e.children);
    e.children = nullptr;

    // The record keeps where the stream ended.
    e.width = static_cast<int16_t>(w.width);
    e.maxCode = w.maxCode;
    e.nextFree = p.nextFree;
    e.clearPending = w.clearPending;
    e.accumulator = w.accumulator;
    e.bitCount = static_cast<int16_t>(w.bitCount);
    e.byteCount = w.byteCount;
    e.output = &output;
    e.codesWritten = w.codes;
    e.clearsWritten = w.clears;
    e.slotsKept = w.slotsKept;
    return !output.failed;
}

const LzwEncoder& LastEncoder() { return g_encoder; }

// ---- File layout -----------------------------------------------------------------------------------

bool WriteGif(const GifImage& image, bool interlaced, int32_t transparent, GifOutput& output) {
    g_encoder.tables = KeptTables();
    if (g_encoder.tables == nullptr) return false;

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
