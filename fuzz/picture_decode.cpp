// picture_decode.cpp: fuzzes the host layer's picture decoding with arbitrary picture data, then
// draws the same data through the whole picture-to-GIF conversion at a fixed small size, and checks
// that sizes past the blank-offscreen limit give no GIF.
#include <cstdint>
#include <cstring>

#include "gif/gif.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 24)) return 0;
    HostDecodedPicture image;
    const int16_t status = HostDecodePicture(data, static_cast<int32_t>(size), &image);
    // Decoded pixels exist exactly when decoding succeeded.
    if ((status == HostNoErr) != (image.rgba != nullptr)) __builtin_trap();
    if (image.rgba != nullptr && (image.width <= 0 || image.height <= 0)) __builtin_trap();
    HostReleaseDecodedPicture(&image);

    HostHandle picture = HostNewHandle(static_cast<int32_t>(size));
    if (picture == nullptr) return 0;
    if (size > 0) std::memcpy(*picture, data, size);
    const int32_t flags = size > 0 ? data[0] & 3 : 0;
    HostHandle gif = zor::gif::ConvertPictureToGif(picture, flags, 16, 9, 3, 4);
    // Every conversion at a given size makes a file that starts with the GIF signature.
    if (gif == nullptr || HostGetHandleSize(gif) < 6 || std::memcmp(*gif, "GIF8", 4) != 0) __builtin_trap();
    HostDisposeHandle(gif);
    // An offscreen past kLargestBlankOffscreen pixels is drawn only for an image at least as large,
    // and the layer decodes none that large: no GIF at such a size, asked for or taken from the frame.
    if (zor::gif::ConvertPictureToGif(picture, flags, 32767, 32767, 0, 0) != nullptr) __builtin_trap();
    if (size >= 10 && std::memcmp(data, "GIF8", 4) != 0) {
        int16_t frame[4];  // top, left, bottom, right
        std::memcpy(frame, data + 2, sizeof frame);
        const int64_t width = int64_t{frame[3]} - frame[1], height = int64_t{frame[2]} - frame[0];
        if (width > 0 && height > 0 && width * height > zor::gif::kLargestBlankOffscreen &&
            zor::gif::ConvertPictureToGif(picture, flags, 0, 0, 0, 0) != nullptr)
            __builtin_trap();
    }
    HostDisposeHandle(picture);
    return 0;
}
