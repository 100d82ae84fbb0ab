// gif.h: pictures to GIF files: the host draws the picture into an 8-bit offscreen, and the encoder
// writes its pixels as a GIF87a file (GIF89a with a graphic control extension when one colour is
// transparent), compressed with variable-width LZW.
//
// Rooms: convert.cpp (command 46 and the drawing around the encoder), encoder.cpp (pixel order,
// LZW, sub-blocks, the file layout, the output handle).
//
// The encoder keeps its working state in statics: one conversion runs at a time. Its hash, the
// codes' entries and an index of the strings that repeat one colour live in one block made at the
// first conversion and kept for the plug-in's life; the string table is made for each image.
#ifndef ZOR_GIF_GIF_H
#define ZOR_GIF_GIF_H

#include <cstdint>

#include "frame/frame.h"

namespace zor::gif {

inline constexpr int kHashSlots = 5003;        // a prime; keys are (pixel << 12) + prefix code
inline constexpr int kHashShift = 4;           // slot = (pixel << 4) XOR prefix code
inline constexpr int kMaxBits = 12;            // widest code
inline constexpr int32_t kMaxCodeLimit = 4096; // codes are below this
inline constexpr int kInitialWidth = 9;        // code width after a clear: minimum code size 8, plus 1
inline constexpr int32_t kClearCode = 256;
inline constexpr int32_t kEndCode = 257;
inline constexpr int kBlockLimit = 254;        // data sub-blocks hold at most this many bytes
inline constexpr int kRunPool = 16384;         // run index entries (the bound is worked out in encoder.cpp)
inline constexpr int kGathered = 1024;         // codes gathered before they are packed into bytes
inline constexpr int32_t kTableRows = kMaxCodeLimit - 2;  // string table rows: every code but clear and end
// The largest offscreen drawn for a picture that does not hold an image at least as large: a few
// bytes of picture data with a large frame would otherwise cost a gigabyte and seconds of encoding.
inline constexpr int64_t kLargestBlankOffscreen = 64 * 1024 * 1024;  // pixels

// Flags of command 46.
enum GifFlags : int32_t {
    kGifInterlaced = 0x01,   // rows in the four interlace passes
    kGifTransparent = 0x02,  // the colour of the pixel at (column, row) becomes transparent
};

// The rendered pixels the encoder reads in place: one byte per pixel, an index into `colors`.
struct GifImage {
    const uint8_t* pixels;         // row 0's first pixel
    int32_t stride;                // bytes from one row to the next (the true stride, not masked)
    int32_t width;                 // pixels in a row, 1..32767
    int32_t height;                // rows, 1..32767
    const HostColorTable* colors;  // entries 0..255, read by position
};

// Reads the pixels in GIF order: left to right, rows top to bottom, or by interlace passes (rows
// 0, 8, 16 ...; then 4, 12 ...; then 2, 6 ...; then 1, 3 ...), passes without rows skipped.
struct PixelCursor {
    const uint8_t* pixels;  // the image's row 0
    int32_t stride;         // bytes from one row to the next
    int32_t width;          // pixels in a row
    int32_t height;         // rows
    int32_t countdown;      // pixels still to read
    int32_t x;              // column of the next pixel
    int32_t y;              // row of the next pixel
    bool interlaced;        // rows by interlace passes
    int16_t pass;           // interlace pass 0..3
};

void StartCursor(PixelCursor& cursor, const GifImage& image, bool interlaced);
// The next pixel's index, or -1 once every pixel was read.
int32_t NextPixel(PixelCursor& cursor);
// The pixels from the cursor to the end of its row (their count, 0 at the end); the cursor moves on
// past them.
int32_t NextRun(PixelCursor& cursor, const uint8_t** run);

// The output: a handle that grows as it is written, and the write position in it.
struct GifOutput {
    HostHandle handle;   // the file's bytes so far
    int32_t position;    // bytes written
    int32_t end;         // the handle's size
    bool failed;         // the handle could not grow, or the host cancelled: nothing more is written
};

// A 1024-byte output; false when memory is short.
[[nodiscard]] bool StartOutput(GifOutput& output);
// Appends bytes, growing the handle; false once it could not grow.
[[nodiscard]] bool OutputBytes(GifOutput& output, const void* bytes, int32_t count);

// The codes of the strings of one colour repeated (c, cc, ccc ...), each as long as the table holds
// all of them: a run of pixels of one colour is matched by arithmetic on its length instead of one
// lookup a pixel. It only ever mirrors what the string table holds. Codes are given as table rows.
struct RunIndex {
    uint16_t top[256];        // row of colour c's longest string held
    uint16_t length[256];     // that string's length in pixels, 1 or more
    uint16_t start[256];      // where colour c's rows begin in pool (length k at start + k - 1)
    uint16_t capacity[256];   // entries of pool reserved from start
    int32_t used;             // pool entries handed out since the table was last reset
    uint16_t pool[kRunPool];  // each colour's rows in order of length
    uint16_t lengthOf[kTableRows];  // for each row in pool: its string's length
};

// The tables kept from one conversion to the next, in one block made at the first: the 5003-slot
// hash of keys that places each string, the entry of each code in the string table, the run index.
struct LzwTables {
    int32_t hash[kHashSlots];           // keys (pixel << 12) + prefix code; -1 marks an empty slot
    uint32_t entries[kMaxCodeLimit];    // for codes 258 on: (prefix row << 8) | pixel
    RunIndex runs;                      // the strings of one colour repeated
};

// LZW compression state (one set, static, reset for each image).
//
// The string table is a direct table of rows, one for each code but the clear and end codes (codes
// 0..255 are rows 0..255, code k from 258 on is row k - 2), of 256 entries: the row of the string
// that extends the row's string by that pixel, or 0 for none (strings of one colour repeated are in
// the run index instead). A lookup is one load. The stream also depends on where the 5003-slot
// hash would place each string (see encoder.cpp); the hash is only kept up to date from the moment
// that can change which strings the table holds.
struct LzwEncoder {
    LzwTables* tables;             // the kept tables
    uint16_t* children;            // the string table, rows x 256, made for each image
    int32_t rows;                  // rows in children: as many as the image can give codes
    int16_t width;                 // current code width in bits
    int32_t maxCode;               // 2^width - 1, or kMaxCodeLimit once the width is 12
    int32_t nextFree;              // first code not yet assigned
    bool clearPending;             // a table reset happened; the width drops once the clear code is out
    uint64_t accumulator;          // bits not yet written, lowest first
    int16_t bitCount;              // valid bits in the accumulator, 0..7 between packings
    uint16_t gathered[kGathered];  // codes written, not yet packed into bytes
    uint8_t bytes[kGathered * 2];  // packed bytes not yet in a sub-block (room for 16 past the last)
    int32_t byteCount;             // bytes in `bytes`
    GifOutput* output;             // where sub-blocks go
    int32_t codesWritten;          // codes written, clear and end codes included
    int32_t clearsWritten;         // clear codes written, the first one included
    bool slotsKept;                // the hash places every string since the last reset
};

// The kept tables (made at the first call); null when memory is short.
LzwTables* KeptTables();

// Compresses every pixel the cursor yields (at least one) into data sub-blocks, ending with the end
// code. False when the output could not grow or the string table could not be made.
[[nodiscard]] bool CompressPixels(LzwEncoder& encoder, PixelCursor& cursor, GifOutput& output);

// Writes a whole GIF file of the image into the output: GIF87a, or GIF89a with a graphic control
// extension when `transparent` is 0..255 (-1: none). False when the output could not grow or the
// tables could not be made.
[[nodiscard]] bool WriteGif(const GifImage& image, bool interlaced, int32_t transparent, GifOutput& output);

// The statistics of the last image written (codes, clears): for tests and benchmarks.
const LzwEncoder& LastEncoder();

// Draws the picture into an 8-bit offscreen of width x height (the picture frame's size when 0 or
// less) and returns a new handle holding the GIF file, or 0: no picture, an empty or too large size
// (more than 16-bit bounds, or more than kLargestBlankOffscreen pixels for a picture whose image is
// smaller), no offscreen, or not enough memory (a partial output is released).
HostHandle ConvertPictureToGif(HostHandle picture, int32_t flags, int32_t width, int32_t height, int32_t column,
                               int32_t row);

// Command 46: PictureToGif (picture; flags; width; height; column; row) -> picture.
void PictureToGif(frame::CommandCall& call);

}  // namespace zor::gif

#endif  // ZOR_GIF_GIF_H
