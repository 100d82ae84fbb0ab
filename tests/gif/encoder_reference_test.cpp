// encoder_reference_test.cpp: the encoder writes, byte for byte, the files the earlier writer
// (reference_encoder.cpp) wrote: random images of every kind of content, streams that end exactly
// where the code width steps or the table resets, and the slot holding key 0 that a probe takes for
// an empty one.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "gif/gif.h"
#include "reference_encoder.h"
#include "support/plugin_host.h"

namespace zor::test::giftest {
namespace {

using namespace zor::gif;

// Pixels in storage whose rows may be wider than the image.
struct Pixels {
    int32_t width = 0, height = 0, stride = 0;
    std::vector<uint8_t> bytes;
    uint8_t& at(int32_t x, int32_t y) { return bytes[static_cast<size_t>(y) * stride + x]; }
    GifImage image() const { return GifImage{bytes.data(), stride, width, height, *HostSystemColorTable()}; }
};

enum class Content { Noise, Flat, FlatAreas, Gradient, FewColours, Runs, SpeckledWhite, kCount };

Pixels MakePixels(int32_t width, int32_t height, int32_t stride, Content content, std::mt19937& random) {
    Pixels p{width, height, stride, std::vector<uint8_t>(static_cast<size_t>(stride) * height, 0xAA)};
    const auto any = [&] { return static_cast<uint8_t>(random()); };
    const uint8_t base = random() % 2 ? 0 : any();  // white, the colour of key 0, half the time
    switch (content) {
        case Content::Noise:
            for (int32_t y = 0; y < height; ++y)
                for (int32_t x = 0; x < width; ++x) p.at(x, y) = any();
            break;
        case Content::Flat:
            for (int32_t y = 0; y < height; ++y)
                for (int32_t x = 0; x < width; ++x) p.at(x, y) = base;
            break;
        case Content::FlatAreas: {
            for (int32_t y = 0; y < height; ++y)
                for (int32_t x = 0; x < width; ++x) p.at(x, y) = base;
            for (int r = 0, n = 1 + static_cast<int>(random() % 12); r < n; ++r) {
                const int32_t left = static_cast<int32_t>(random() % width), top = static_cast<int32_t>(random() % height);
                const int32_t right = left + 1 + static_cast<int32_t>(random() % (width - left));
                const int32_t bottom = top + 1 + static_cast<int32_t>(random() % (height - top));
                const uint8_t colour = random() % 3 == 0 ? 0 : any();
                for (int32_t y = top; y < bottom; ++y)
                    for (int32_t x = left; x < right; ++x) p.at(x, y) = colour;
            }
            break;
        }
        case Content::Gradient: {
            // Bands across a span of indices, horizontal, vertical or diagonal.
            const int span = 2 + static_cast<int>(random() % 40);
            const int direction = static_cast<int>(random() % 3);
            for (int32_t y = 0; y < height; ++y)
                for (int32_t x = 0; x < width; ++x) {
                    const int64_t along = direction == 0 ? x : direction == 1 ? y : int64_t{x} + y;
                    const int64_t length = direction == 0 ? width : direction == 1 ? height : int64_t{width} + height;
                    p.at(x, y) = static_cast<uint8_t>(base + along * span / length);
                }
            break;
        }
        case Content::FewColours:
            for (int32_t y = 0; y < height; ++y)
                for (int32_t x = 0; x < width; ++x) p.at(x, y) = static_cast<uint8_t>(random() % 3 == 0 ? 255 : random() % 2);
            break;
        case Content::Runs: {
            uint8_t value = base;
            int32_t left = 0;
            for (int32_t y = 0; y < height; ++y)
                for (int32_t x = 0; x < width; ++x) {
                    if (left-- <= 0) {
                        value = random() % 4 == 0 ? 0 : any();
                        left = static_cast<int32_t>(random() % 300);
                    }
                    p.at(x, y) = value;
                }
            break;
        }
        case Content::SpeckledWhite:
            for (int32_t y = 0; y < height; ++y)
                for (int32_t x = 0; x < width; ++x) p.at(x, y) = random() % 50 == 0 ? any() : 0;
            break;
        case Content::kCount: break;
    }
    return p;
}

// The file the encoder writes now, or "" when it wrote none.
std::string Written(const GifImage& image, bool interlaced, int32_t transparent) {
    GifOutput output{};
    if (!StartOutput(output)) return "";
    const bool written = WriteGif(image, interlaced, transparent, output);
    std::string bytes = written ? std::string(*output.handle, static_cast<size_t>(output.position)) : "";
    HostDisposeHandle(output.handle);
    return bytes;
}

// Index of the first byte where two files part, for a readable failure.
size_t Parting(const std::string& a, const std::string& b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return i;
}

void ExpectSameFile(const GifImage& image, bool interlaced, int32_t transparent, const std::string& name,
                    ReferenceTrace* trace = nullptr) {
    const std::string expected = ReferenceGif(image, interlaced, transparent, trace);
    const std::string actual = Written(image, interlaced, transparent);
    EXPECT_TRUE(actual == expected) << name << " " << image.width << "x" << image.height
                                    << (interlaced ? " interlaced" : "") << ": " << actual.size() << " bytes against "
                                    << expected.size() << ", parting at byte " << Parting(actual, expected);
}

TEST(GifEncoderAgainstReference, TwoHundredRandomImages) {
    PluginHost host;
    std::mt19937 random(20261209);
    ReferenceTrace trace;
    for (int n = 0; n < 200; ++n) {
        const auto content = static_cast<Content>(n % static_cast<int>(Content::kCount));
        // Mostly small and middling images; every tenth one large enough for long strings and
        // several resets.
        const int32_t most = n % 10 == 9 ? 1500 : n < 40 ? 12 : 400;
        const int32_t width = 1 + static_cast<int32_t>(random() % most);
        const int32_t height = 1 + static_cast<int32_t>(random() % most);
        const int32_t stride = width + (random() % 4 == 0 ? static_cast<int32_t>(random() % 9) : 0);
        const Pixels p = MakePixels(width, height, stride, content, random);
        const bool interlaced = random() % 3 == 0;
        const int32_t transparent = random() % 4 == 0 ? static_cast<int32_t>(random() % 256) : -1;
        ExpectSameFile(p.image(), interlaced, transparent, "image " + std::to_string(n), &trace);
    }
    // The corpus reaches every width and the reset, and a probe that stops at key 0's slot.
    EXPECT_GT(trace.widthSteps.size(), 30u);
    EXPECT_GT(trace.resets.size(), 10u);
    EXPECT_GT(trace.zeroOverwrites, 0);
}

TEST(GifEncoderAgainstReference, StreamsEndingAtWidthStepsAndResets) {
    PluginHost host;
    // One long row of each kind; then rows cut one pixel before, at and after each event.
    std::mt19937 random(7);
    for (Content content : {Content::Noise, Content::Runs, Content::FewColours, Content::Flat}) {
        const int32_t length = content == Content::Flat ? 32767 : 30000;
        // Long strings fill the table late: a flat area resets after some 7 million pixels.
        const int32_t height = content == Content::Flat ? 240 : content == Content::Runs ? 20 : 1;
        const Pixels all = MakePixels(length, height, length, content, random);
        ReferenceTrace trace;
        ReferenceGif(all.image(), false, -1, &trace);
        std::vector<int64_t> ends = trace.widthSteps;
        ends.insert(ends.end(), trace.resets.begin(), trace.resets.end());
        ASSERT_GE(trace.widthSteps.size(), 3u) << static_cast<int>(content);
        ASSERT_GE(trace.resets.size(), 1u) << static_cast<int>(content);
        for (int64_t end : ends) {
            for (int64_t count = end - 1; count <= end + 1; ++count) {
                // The first `count` pixels, in rows as wide as a divisor of the count allows.
                int32_t w = 0;
                for (int64_t d = std::min<int64_t>(count, 32767); d >= 1 && w == 0; --d)
                    if (count % d == 0 && count / d <= 32767) w = static_cast<int32_t>(d);
                if (w == 0) continue;
                const Pixels cut{w, static_cast<int32_t>(count / w), w,
                                 std::vector<uint8_t>(all.bytes.begin(), all.bytes.begin() + count)};
                ExpectSameFile(cut.image(), false, -1, "cut at " + std::to_string(count));
            }
        }
    }
}

TEST(GifEncoderAgainstReference, ProbeStoppingAtKeyZerosSlot) {
    PluginHost host;
    // 16 then 1 puts key (1, 16) in slot 0; white after white (key 0) then probes to slot 5002; the
    // key (2, 32) starts at slot 0 too, stops at 5002 (it holds 0) and replaces key 0 there, so the
    // next white after white is not found. White runs follow, or come first.
    const std::vector<uint8_t> start = {16, 1, 0, 0, 32, 2, 0, 0};
    for (int32_t whiteRun : {0, 1, 2, 5, 300, 20000}) {
        for (bool runFirst : {false, true}) {
            std::vector<uint8_t> row;
            if (runFirst) row.insert(row.end(), static_cast<size_t>(whiteRun), 0);
            row.insert(row.end(), start.begin(), start.end());
            row.insert(row.end(), static_cast<size_t>(whiteRun), 0);
            row.insert(row.end(), start.begin(), start.end());
            row.insert(row.end(), static_cast<size_t>(whiteRun) + 7, 0);
            const Pixels p{static_cast<int32_t>(row.size()), 1, static_cast<int32_t>(row.size()), row};
            ReferenceTrace trace;
            ExpectSameFile(p.image(), false, -1, "white run " + std::to_string(whiteRun), &trace);
            // (A white run first puts key 0 in slot 0, where no probe stops.)
            if (!runFirst) {
                EXPECT_GT(trace.zeroOverwrites, 0) << whiteRun;
            }
        }
    }
}

}  // namespace
}  // namespace zor::test::giftest
