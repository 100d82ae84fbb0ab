// drawing_picture.cpp: host pictures decoded (GIF, PNG, JPEG through stb_image) and drawn scaled
// into the current offscreen with the nearest system colours.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "host/drawing_internal.h"
#include "host/host_internal.h"

// stb_image, built here and nowhere else: only the three formats a picture may hold, no stdio, and
// every allocation through the layer's system-call table so tests can make one fail.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_GIF
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_MAX_DIMENSIONS (1 << 15)
// A refused allocation is noted: the decoder does not always say that memory was the reason (its
// probe tries the other formats after one runs short, and reports the last one's complaint).
// New blocks start zeroed: the decoder does not clear its own records, and damaged data (a JPEG
// scan using a Huffman table it never defined) would make it read a table it never wrote.
namespace zor::host {
namespace {
bool g_decoderShort = false;  // an allocation of the decoder failed since the flag was cleared
void* DecoderAllocate(size_t size) {
    void* block = Sys().allocate(size);
    g_decoderShort = g_decoderShort || block == nullptr;
    if (block != nullptr) std::memset(block, 0, size);
    return block;
}
void* DecoderReallocate(void* old, size_t size) {
    void* block = Sys().reallocate(old, size);
    g_decoderShort = g_decoderShort || block == nullptr;
    return block;
}
}  // namespace
}  // namespace zor::host
#define STBI_MALLOC(size) (zor::host::DecoderAllocate(size))
#define STBI_REALLOC(block, size) (zor::host::DecoderReallocate((block), (size)))
#define STBI_FREE(block) (zor::host::Sys().release(block))
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wmisleading-indentation"
#pragma GCC diagnostic ignored "-Wtype-limits"
#if !defined(__clang__)  // g++'s own warnings; clang does not know them
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wduplicated-branches"
#endif
#include <stb_image.h>
#pragma GCC diagnostic pop

namespace zor::host {
namespace {

constexpr int32_t kHeaderSize = 10;  // 16-bit size, then the frame's top, left, bottom, right
constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// Where the image inside picture data starts: the whole data for a GIF file, the PNG file right
// behind the header, or the first JPEG start marker after the header. False for anything else.
bool FindImage(const unsigned char* data, int32_t size, int32_t& start) {
    if (size >= 4 && std::memcmp(data, "GIF8", 4) == 0) {
        start = 0;
        return true;
    }
    if (size >= kHeaderSize + 8 && std::memcmp(data + kHeaderSize, kPngSignature, 8) == 0) {
        start = kHeaderSize;
        return true;
    }
    for (int32_t i = kHeaderSize; i + 1 < size; ++i) {
        if (data[i] == 0xFF && data[i + 1] == 0xD8) {
            start = i;
            return true;
        }
    }
    return false;
}

// True unless a Huffman table segment (FF C4) of the JPEG data declares more than 256 codes. The
// decoder would write that many code sizes and values into its 256-entry tables, so such data are
// refused before it sees them. Every FF C4 is checked, wherever it stands, and bytes past the end
// count as 0, as the decoder reads them.
bool HuffmanTablesFit(const unsigned char* data, int32_t size) {
    auto byte = [&](int64_t i) -> int32_t { return i < size ? data[i] : 0; };
    for (int32_t at = 0; at + 1 < size; ++at) {
        if (data[at] != 0xFF || data[at + 1] != 0xC4) continue;
        int64_t i = at + 2;
        int64_t remaining = (byte(i) << 8 | byte(i + 1)) - 2;
        i += 2;
        while (remaining > 0) {
            const int32_t q = byte(i++);
            if ((q >> 4) > 1 || (q & 15) > 3) break;  // a table the decoder refuses by itself
            int32_t codes = 0;
            for (int k = 0; k < 16; ++k) codes += byte(i++);
            if (codes > 256) return false;
            i += codes;
            remaining -= 17 + codes;
        }
    }
    return true;
}

uint32_t ChunkLength(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 | static_cast<uint32_t>(at[2]) << 8 |
           at[3];
}

bool IsEmptyImageData(const unsigned char* chunk) {
    return ChunkLength(chunk) == 0 && std::memcmp(chunk + 4, "IDAT", 4) == 0;
}

// True when the PNG data's chunks each fit in what follows them, up to IEND or the end of the data.
// The decoder would otherwise compute a chunk's end far past the data before it compares it.
// `emptyImageData` tells whether an IDAT chunk carries no bytes at all.
bool PngChunksFit(const unsigned char* data, int32_t size, bool& emptyImageData) {
    emptyImageData = false;
    int64_t at = 8;  // past the signature
    while (at + 8 <= size) {
        const uint32_t length = ChunkLength(data + at);
        if (length > 0x7FFFFFFFu || at + 12 + int64_t{length} > size) return false;
        if (std::memcmp(data + at + 4, "IEND", 4) == 0) return true;
        emptyImageData = emptyImageData || IsEmptyImageData(data + at);
        at += 12 + int64_t{length};
    }
    return true;
}

// The PNG data without its empty IDAT chunks: they add nothing to the image, and the decoder copies
// an empty first one into a buffer it has not made yet. The chunks are known to fit.
std::vector<unsigned char> WithoutEmptyImageData(const unsigned char* data, int32_t size) {
    std::vector<unsigned char> out(data, data + 8);
    int64_t at = 8;
    while (at + 8 <= size) {
        const int64_t next = at + 12 + int64_t{ChunkLength(data + at)};
        if (!IsEmptyImageData(data + at)) out.insert(out.end(), data + at, data + next);
        if (std::memcmp(data + at + 4, "IEND", 4) == 0) return out;
        at = next;
    }
    out.insert(out.end(), data + at, data + size);
    return out;
}

// Finds the image inside picture data and reads its size from its header, without decoding it;
// data the decoder must not see are refused here. On success `image` and `imageSize` are the image's
// bytes (for a PNG with empty IDAT chunks, a copy without them held in `cleaned`). 0, HostParamErr
// (no image the layer knows, a damaged one, or more than HostMaxDecodedPixels pixels) or
// HostMemFullErr.
int16_t ProbeImage(const void* data, int32_t size, std::vector<unsigned char>& cleaned, const unsigned char*& image,
                   int32_t& imageSize, int& width, int& height) {
    if (data == nullptr || size <= 0) return HostParamErr;
    const auto* bytes = static_cast<const unsigned char*>(data);
    int32_t start = 0;
    if (!FindImage(bytes, size, start)) return HostParamErr;
    if (bytes[start] == 0xFF && !HuffmanTablesFit(bytes + start, size - start)) return HostParamErr;
    if (bytes[start] == 0x89) {
        bool emptyImageData = false;
        if (!PngChunksFit(bytes + start, size - start, emptyImageData)) return HostParamErr;
        if (emptyImageData) {
            try {
                cleaned = WithoutEmptyImageData(bytes + start, size - start);
            } catch (const std::bad_alloc&) {
                return HostMemFullErr;
            }
            bytes = cleaned.data();
            size = static_cast<int32_t>(cleaned.size());
            start = 0;
        }
    }
    image = bytes + start;
    imageSize = size - start;
    // The probe allocates: running out of memory in it is no damage.
    g_decoderShort = false;
    int channels = 0;
    if (!stbi_info_from_memory(image, imageSize, &width, &height, &channels))
        return g_decoderShort ? int16_t(HostMemFullErr) : int16_t(HostParamErr);
    if (width <= 0 || height <= 0 || int64_t{width} * height > HostMaxDecodedPixels) return HostParamErr;
    return HostNoErr;
}

}  // namespace
}  // namespace zor::host

using namespace zor::host;

extern "C" {

int16_t HostPictureImageSize(const void* data, int32_t size, int32_t* width, int32_t* height) {
    if (width == nullptr || height == nullptr) return HostParamErr;
    *width = *height = 0;
    const unsigned char* bytes = nullptr;
    std::vector<unsigned char> cleaned;
    int w = 0, h = 0;
    const int16_t status = ProbeImage(data, size, cleaned, bytes, size, w, h);
    if (status == HostNoErr) {
        *width = w;
        *height = h;
    }
    return status;
}

int16_t HostDecodePicture(const void* data, int32_t size, HostDecodedPicture* out) {
    if (out == nullptr) return HostParamErr;
    out->width = out->height = 0;
    out->rgba = nullptr;
    const unsigned char* bytes = nullptr;
    std::vector<unsigned char> cleaned;
    int width = 0, height = 0, channels = 0;
    const int16_t probed = ProbeImage(data, size, cleaned, bytes, size, width, height);
    if (probed != HostNoErr) return probed;
    g_decoderShort = false;
    stbi_uc* rgba = stbi_load_from_memory(bytes, size, &width, &height, &channels, 4);
    if (rgba == nullptr) return g_decoderShort ? int16_t(HostMemFullErr) : int16_t(HostParamErr);
    out->width = width;
    out->height = height;
    out->rgba = rgba;
    return HostNoErr;
}

void HostReleaseDecodedPicture(HostDecodedPicture* picture) {
    if (picture == nullptr) return;
    if (picture->rgba != nullptr) stbi_image_free(picture->rgba);
    picture->rgba = nullptr;
    picture->width = picture->height = 0;
}

void HostRenderPicture(HostHandle picture, const HostRect* rect) {
    SetMemoryError(HostNoErr);
    PortRecord* port = CurrentDrawingPort();
    if (port == nullptr || picture == nullptr || *picture == nullptr || rect == nullptr) return;
    const int32_t dw = int32_t{rect->right} - rect->left;
    const int32_t dh = int32_t{rect->bottom} - rect->top;
    const HostPixelMap& map = **port->pixels;
    HostRect clip;
    if (dw <= 0 || dh <= 0 || !ClipToMap(map, *rect, clip)) return;

    HostDecodedPicture image;
    const int16_t decoded = HostDecodePicture(*picture, HostGetHandleSize(picture), &image);
    if (decoded != HostNoErr) {
        // Nothing drawn for want of memory is not the same as a picture that has nothing to draw.
        SetMemoryError(decoded == HostMemFullErr ? HostMemFullErr : HostNoErr);
        return;
    }

    // Each target pixel takes the source pixel under its centre.
    std::vector<int32_t> columns(static_cast<size_t>(clip.right - clip.left));
    for (int32_t x = clip.left; x < clip.right; ++x)
        columns[x - clip.left] =
            static_cast<int32_t>((int64_t{x - rect->left} * 2 + 1) * image.width / (int64_t{dw} * 2));
    for (int32_t y = clip.top; y < clip.bottom; ++y) {
        const int64_t sy = (int64_t{y - rect->top} * 2 + 1) * image.height / (int64_t{dh} * 2);
        const uint8_t* in = image.rgba + sy * image.width * 4;
        uint8_t* out = map.baseAddr + int64_t{y - map.top} * map.rowStride - map.left;
        for (int32_t x = clip.left; x < clip.right; ++x) {
            const uint8_t* p = in + columns[x - clip.left] * 4;
            const unsigned alpha = p[3];
            if (alpha == 255) {
                out[x] = HostNearestColorIndex(p[0], p[1], p[2]);
            } else if (alpha != 0) {
                uint8_t under[3];
                ColorOfIndex(out[x], under);
                uint8_t mixed[3];
                for (int c = 0; c < 3; ++c)
                    mixed[c] = static_cast<uint8_t>((p[c] * alpha + under[c] * (255 - alpha) + 127) / 255);
                out[x] = HostNearestColorIndex(mixed[0], mixed[1], mixed[2]);
            }
        }
    }
    HostReleaseDecodedPicture(&image);
}

}  // extern "C"
