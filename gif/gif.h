// gif.h: pictures to GIF files: the host draws the picture into an 8-bit offscreen, and the encoder
// writes its pixels as a GIF87a file (GIF89a with a graphic control extension when one colour is
// transparent), compressed with variable-width LZW.
//
// Rooms: convert.cpp (command 46 and the drawing around the encoder), encoder.cpp (pixel order,
// LZW, sub-blocks, the file layout, the output handle).
//
// The encoder keeps its working state in statics: one conversion runs at a time. Its hash and code
// tables live in one block made at the first conversion and kept for the plug-in's life.
#ifndef ZOR_GIF_GIF_H
#define ZOR_GIF_GIF_H

#include <cstdint>

#include "plugin/globals.h"

namespace zor::gif {

inline constexpr int kHashSlots = 5003;        // a prime; keys are (pixel << 12) + prefix code
inline constexpr int kHashShift = 4;           // slot = (pixel << 4) XOR prefix code
inline constexpr int kMaxBits = 12;            // widest code
inline constexpr int32_t kMaxCodeLimit = 4096; // codes are below this
inline constexpr int kInitialWidth = 9;        // code width after a clear: minimum code size 8, plus 1
inline constexpr int32_t kClearCode = 256;
inline constexpr int32_t kEndCode = 257;
inline constexpr int kBlockLimit = 254;        // data sub-blocks hold at most this many bytes
inline constexpr int32_t kTableBlockSize = kHashSlots * 4 + kHashSlots * 2;  // 30018 bytes
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
    bool failed;         // the handle could not grow; nothing more is written
};

// A 1024-byte output; false when memory is short.
[[nodiscard]] bool StartOutput(GifOutput& output);
// Appends bytes, growing the handle; false once it could not grow.
[[nodiscard]] bool OutputBytes(GifOutput& output, const void* bytes, int32_t count);

// LZW compression state (one set, static, reset for each image).
struct LzwEncoder {
    int32_t* hash;            // kHashSlots keys; -1 marks an empty slot
    uint16_t* codes;          // kHashSlots codes, parallel to hash
    int16_t width;            // current code width in bits
    int32_t maxCode;          // 2^width - 1, or kMaxCodeLimit once the width is 12
    int32_t nextFree;         // first code not yet assigned
    bool clearPending;        // a table reset happened; the width drops once the clear code is out
    uint32_t accumulator;     // bits not yet written, lowest first
    int16_t bitCount;         // valid bits in the accumulator
    uint8_t block[256];       // bytes of the current data sub-block
    int16_t blockCount;       // bytes in block
    GifOutput* output;        // where sub-blocks go
    int32_t codesWritten;     // codes written, clear and end codes included
    int32_t clearsWritten;    // clear codes written, the first one included
};

// The static hash and code tables (made at the first call); null when memory is short.
uint8_t* TableBlock();

// Compresses every pixel the cursor yields (at least one) into data sub-blocks, ending with the end
// code. False when the output could not grow.
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
void PictureToGif(plugin::CommandCall& call);

}  // namespace zor::gif

#endif  // ZOR_GIF_GIF_H
