// convert.cpp: command 46, PictureToGif: the picture drawn into an 8-bit offscreen, then written as
// a GIF file into a new handle.
#include <cstring>

#include "gif/gif.h"

namespace zor::gif {
namespace {

// The pixel map of the conversion in progress: set while one runs, so a conversion re-entered
// through a yield waits for it.
HostPixelMapHandle g_pixelMap = nullptr;

constexpr int32_t kPictureHeaderSize = 10;  // 16-bit size, frame top, left, bottom, right
constexpr int32_t kLargestSide = 32767;     // offscreen bounds are 16-bit
constexpr int16_t kTransferSelf = 1024;     // the self-transfer mode after drawing

// The picture's width and height: from the frame in the header (machine byte order), or, for data
// that are a GIF file as it stands (no header), from its logical screen. False when the data are too
// short to hold either.
bool FrameSize(HostHandle picture, int32_t& width, int32_t& height) {
    const int32_t size = HostGetHandleSize(picture);
    const auto* data = reinterpret_cast<const uint8_t*>(*picture);
    if (size >= 10 && std::memcmp(data, "GIF8", 4) == 0) {
        width = data[6] | data[7] << 8;
        height = data[8] | data[9] << 8;
        return true;
    }
    if (size < kPictureHeaderSize) return false;
    int16_t frame[4];  // top, left, bottom, right
    std::memcpy(frame, data + 2, sizeof frame);
    width = int32_t{frame[3]} - frame[1];
    height = int32_t{frame[2]} - frame[0];
    return true;
}

// True unless the offscreen would exceed kLargestBlankOffscreen pixels for a picture whose data hold
// no image of at least as many: only an image that large justifies the memory and the encoding.
bool ImageFillsOffscreen(HostHandle picture, int32_t width, int32_t height) {
    const int64_t pixels = int64_t{width} * height;
    if (pixels <= kLargestBlankOffscreen) return true;
    int32_t imageWidth = 0, imageHeight = 0;
    if (HostPictureImageSize(*picture, HostGetHandleSize(picture), &imageWidth, &imageHeight) != HostNoErr)
        return false;
    return int64_t{imageWidth} * imageHeight >= pixels;
}

}  // namespace

HostHandle ConvertPictureToGif(HostHandle picture, int32_t flags, int32_t width, int32_t height, int32_t column,
                               int32_t row) {
    if (picture == nullptr || *picture == nullptr) return nullptr;
    // A conversion started from inside another one's yield waits for it; the host may give up.
    while (g_pixelMap != nullptr) {
        HostYield();
        if (HostCancelRequested() != 0) return nullptr;
    }

    if (width <= 0 || height <= 0) {
        int32_t frameWidth = 0, frameHeight = 0;
        if (!FrameSize(picture, frameWidth, frameHeight)) return nullptr;
        if (width <= 0) width = frameWidth;
        if (height <= 0) height = frameHeight;
    }
    // No pixels, or more than 16-bit bounds hold: no GIF.
    if (width <= 0 || height <= 0 || width > kLargestSide || height > kLargestSide) return nullptr;
    if (!ImageFillsOffscreen(picture, width, height)) return nullptr;
    HostRect bounds;
    HostSetRect(&bounds, 0, 0, static_cast<int16_t>(width), static_cast<int16_t>(height));

    HostPort saved = nullptr;
    HostGetDrawTarget(&saved);
    HostOffscreen offscreen = nullptr;
    if (HostNewOffscreen(&offscreen, 8, &bounds, nullptr, nullptr, 0) != HostNoErr || offscreen == nullptr)
        return nullptr;

    HostSetDrawTarget(offscreen, nullptr);
    HostSetForegroundColor(HostBlackColor);
    HostSetBackgroundColor(HostWhiteColor);
    g_pixelMap = HostOffscreenPixelMap(offscreen);
    HostColorTable** colors = (*g_pixelMap)->colorTable;

    HostClearRect(&bounds);
    HostRenderPicture(picture, &bounds);
    // A picture left undrawn for want of memory would make a GIF of the blank offscreen.
    // Nor is a picture whose drawing the host cancelled.
    const bool drawn = HostMemoryError() != HostMemFullErr && HostCancelRequested() == 0;
    HostCopyPixels(g_pixelMap, g_pixelMap, &bounds, &bounds, kTransferSelf);
    HostPinPixels(g_pixelMap);

    HostHandle result = nullptr;
    GifOutput output{};
    bool written = false;
    const HostPixelMap& map = **g_pixelMap;
    if (drawn && map.baseAddr != nullptr && colors != nullptr && StartOutput(output)) {
        // The true stride: rows wider than 4095 bytes need more than the 12 bits of row-bytes.
        const GifImage image{map.baseAddr, map.rowStride, width, height, *colors};
        int32_t transparent = -1;
        // A transparent pixel outside the image gives no transparency (and reads nothing).
        if ((flags & kGifTransparent) != 0 && column >= 0 && column < width && row >= 0 && row < height)
            transparent = map.baseAddr[int64_t{row} * map.rowStride + column];
        written = WriteGif(image, (flags & kGifInterlaced) != 0, transparent, output);
    }

    HostUnpinPixels(g_pixelMap);
    HostSetDrawTarget(saved, HostMainScreenDevice());
    if (written) {
        HostDisposeBlock((*g_pixelMap)->baseAddr);
        (*g_pixelMap)->baseAddr = nullptr;
        HostSetHandleSize(output.handle, output.position);
        result = output.handle;
    } else if (output.handle != nullptr) {
        // An output that could not grow is no usable file: release it.
        HostDisposeHandle(output.handle);
    }
    HostDisposeOffscreen(offscreen);
    g_pixelMap = nullptr;
    return result;
}

void PictureToGif(frame::CommandCall& call) {
    auto arg = [&call](int n) { return frame::HasArg(call, n) ? frame::IntArg(call, n) : 0; };
    HostHandle picture = frame::HasArg(call, 1) ? frame::PictureArg(call, 1) : nullptr;
    frame::SetPictureResult(call, ConvertPictureToGif(picture, arg(2), arg(3), arg(4), arg(5), arg(6)));
}

}  // namespace zor::gif
