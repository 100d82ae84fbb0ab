// gif_support.h: what the GIF tests share: pictures made from pixel indices (PNG files written
// here), a reader of GIF files and an LZW decoder of their own, and the peer decoders (Pillow and
// giflib's gif2rgb) run over a folder of files.
#ifndef ZOR_TESTS_GIF_SUPPORT_H
#define ZOR_TESTS_GIF_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/plugin_host.h"

namespace zor::test::giftest {

// An image of table indices, rows packed.
struct Indices {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;
    uint8_t at(int32_t x, int32_t y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// The standard 8-bit system colours, written out here on their own.
void SystemColor(int index, uint8_t rgb[3]);

// A PNG file (RGB, stored deflate blocks) of the indices' colours.
std::string PngOf(const Indices& image);
// A host picture: the 10-byte header with the frame (top, left, bottom, right), then `image`.
HostHandle PictureWith(const std::string& image, int16_t top, int16_t left, int16_t bottom, int16_t right);

// A GIF file taken apart by this reader.
struct GifFile {
    std::string signature;          // "GIF87a" or "GIF89a"
    int32_t screenWidth = 0, screenHeight = 0;
    uint8_t packed = 0, background = 0, aspect = 0;
    std::vector<uint8_t> palette;   // 768 bytes
    bool hasExtension = false;
    std::vector<uint8_t> extension; // the graphic control extension's 4 data bytes
    int32_t left = -1, top = -1, width = 0, height = 0;
    uint8_t imageFlags = 0;
    uint8_t minimumCodeSize = 0;
    std::vector<int> blockSizes;    // the data sub-blocks' counts
    std::string codeStream;         // the sub-blocks' bytes joined
    bool trailer = false;           // 0x00 then 0x3B end the file exactly
};
// False (with a reason) when the bytes are not laid out as expected.
bool ReadGif(const std::string& bytes, GifFile& gif, std::string& why);

// What an LZW decoder of this test saw in a code stream.
struct LzwTrace {
    std::vector<uint8_t> pixels;    // in stream order (interlaced rows not put back)
    int maxWidth = 0;               // widest code read
    int clears = 0;                 // clear codes read
    int fullClears = 0;             // clears read at width 12 with 4096 codes in the table
    bool ended = false;             // the end code was read
    std::string error;              // empty when the stream is sound
};
LzwTrace DecodeLzw(const std::string& stream);

// The pixels of a GIF's rows in image order, from the stream order.
std::vector<uint8_t> Deinterlace(const std::vector<uint8_t>& stream, int32_t width, int32_t height);


// Runs Pillow over every NAME.gif of the folder: NAME.pil gets the indices of the first frame's
// pixels and NAME.info its transparency index (or -1). True when python ran cleanly.
bool DecodeWithPillow(const TempDir& folder, const std::vector<std::string>& names);
// Runs gif2rgb over NAME.gif and maps its colours back to the file's own table indices.
bool DecodeWithGiflib(const TempDir& folder, const std::string& name, std::vector<uint8_t>& indices);

// Command 46 through the test host: the result handle (0 when none).
HostHandle PictureToGif(PluginHost& host, HostHandle picture, int32_t flags, int32_t width, int32_t height,
                        int32_t column, int32_t row);

}  // namespace zor::test::giftest

#endif  // ZOR_TESTS_GIF_SUPPORT_H
