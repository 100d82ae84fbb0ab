// picture_decode.cpp: fuzzes the host layer's picture decoding with arbitrary picture data, then
// draws the same data through the whole picture-to-GIF conversion at a fixed small size.
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
    HostDisposeHandle(picture);
    return 0;
}
