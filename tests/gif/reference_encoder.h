// reference_encoder.h: the GIF writer as it was before its lookups were reworked, kept by the tests
// as the oracle the encoder must match byte for byte. It also reports where the events that shape a
// code stream happened, so tests can build images that end exactly there.
#ifndef ZOR_TESTS_GIF_REFERENCE_ENCODER_H
#define ZOR_TESTS_GIF_REFERENCE_ENCODER_H

#include <cstdint>
#include <string>
#include <vector>

#include "gif/gif.h"

namespace zor::test::giftest {

// Where a stream's events fell, counted in pixels read when they happened.
struct ReferenceTrace {
    std::vector<int64_t> widthSteps;  // an entry took the next free code to 512, 1024 or 2048
    std::vector<int64_t> resets;      // the table was full and was reset
    int32_t zeroOverwrites = 0;       // an entry landed on the slot holding key 0, which a probe took
                                      // for an empty one
};

// The whole GIF file of the image, as the encoder wrote it then.
std::string ReferenceGif(const zor::gif::GifImage& image, bool interlaced, int32_t transparent,
                         ReferenceTrace* trace = nullptr);

}  // namespace zor::test::giftest

#endif  // ZOR_TESTS_GIF_REFERENCE_ENCODER_H
