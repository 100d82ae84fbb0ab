// picture.cpp: fuzzes picture data: the frame and GIF test of PictureInfo, the JPEG stream's bounds,
// and decoding and drawing the picture into an 8-bit offscreen (GIF, PNG or JPEG inside).
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "frame/frame.h"
#include "zor/host_drawing.h"
#include "transfer/transfer.h"

// The layer's colour table is made at first use and kept: made here, before any leak count.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)HostSystemColorTable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zor::transfer;
    if (size > 1 << 20) return 0;
    const int64_t before = HostLiveAllocations();
    HostHandle picture = HostNewHandle(static_cast<int32_t>(size));
    if (picture == nullptr) __builtin_trap();
    if (size > 0) std::memcpy(*picture, data, size);

    int32_t frame[5] = {-7, -7, -7, -7, -7};
    void* params[6] = {&picture, &frame[0], &frame[1], &frame[2], &frame[3], &frame[4]};
    int64_t slot = 0;
    zor::frame::CommandCall call{params, nullptr, &slot, nullptr};
    PictureInfo(call);
    if (static_cast<int32_t>(slot) != static_cast<int32_t>(size)) __builtin_trap();
    if (frame[4] != (IsGifData(picture) ? 1 : 0)) __builtin_trap();
    if (size < 10 && (frame[0] | frame[1] | frame[2] | frame[3]) != 0) __builtin_trap();

    // The bounds lie inside the data and frame a stream that starts FF D8 and ends FF D9.
    const JpegBounds jpeg = JpegRange(picture);
    const auto* bytes = reinterpret_cast<const uint8_t*>(*picture);
    if (jpeg.end != 0) {
        if (jpeg.start <= 0 || jpeg.end <= jpeg.start || size_t(jpeg.end) >= size) __builtin_trap();
        if (bytes[jpeg.start] != 0xFF || bytes[jpeg.start + 1] != 0xD8) __builtin_trap();
        if (bytes[jpeg.end - 1] != 0xFF || bytes[jpeg.end] != 0xD9) __builtin_trap();
    } else if (jpeg.start > 0) {
        __builtin_trap();
    }

    HostDecodedPicture image;
    if (HostDecodePicture(*picture, static_cast<int32_t>(size), &image) == 0) {
        if (image.rgba == nullptr || image.width <= 0 || image.height <= 0) __builtin_trap();
        HostReleaseDecodedPicture(&image);
    } else if (image.rgba != nullptr) {
        __builtin_trap();
    }

    // Drawn into an offscreen, into a rectangle partly outside it.
    HostRect bounds{0, 0, 24, 32};
    HostOffscreen offscreen = nullptr;
    if (HostNewOffscreen(&offscreen, 8, &bounds, nullptr, nullptr, 0) == 0) {
        HostPort saved = nullptr;
        HostGetDrawTarget(&saved);
        HostSetDrawTarget(offscreen, nullptr);
        HostRect rect{-5, 3, 29, 40};
        HostRenderPicture(picture, &rect);
        HostSetDrawTarget(saved, nullptr);
        HostDisposeOffscreen(offscreen);
    }
    HostDisposeHandle(picture);
    zor::fuzz::CheckNothingLeft(before);
    return 0;
}
