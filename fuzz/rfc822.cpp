// rfc822.cpp: fuzzes the date-text parser with arbitrary bytes, in both layouts. The text is a
// counted string in a block of exactly its own size, so any read past its end is caught.
#include <cstdint>
#include <cstring>
#include <vector>

#include "time/datetime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t length = size > 255 ? 255 : size;
    std::vector<unsigned char> text(length + 1);
    text[0] = static_cast<unsigned char>(length);
    if (length > 0) std::memcpy(text.data() + 1, data, length);
    bool digit = false;
    for (size_t i = 0; i < length; ++i) digit = digit || (data[i] >= '0' && data[i] <= '9');
    // A text without any digit has no date in it.
    if (zor::datetime::ParseRfc822(text.data(), 0) != 0 && !digit) __builtin_trap();
    (void)zor::datetime::ParseRfc822(text.data(), zor::datetime::kCompactLayout);
    return 0;
}
