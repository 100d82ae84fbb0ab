// gif_peer_test.cpp: what zor's GIF files decode to, with Pillow, giflib and a decoder of the tests'
// own: random images, interlaced and not; the interlace row order; the code widths and the clear at
// 4096; sub-block sizes.
#include <gtest/gtest.h>

#include <random>

#include "gif/gif.h"
#include "gif_support.h"

namespace zor::test::giftest {
namespace {

using namespace zor::gif;

enum class Content { Random, FewColours, Runs };

Indices MakeImage(int32_t width, int32_t height, Content content, uint32_t seed) {
    std::mt19937 random(seed);
    Indices image{width, height, {}};
    image.pixels.resize(static_cast<size_t>(width) * height);
    uint8_t value = 0;
    for (size_t i = 0; i < image.pixels.size(); ++i) {
        switch (content) {
            case Content::Random: value = static_cast<uint8_t>(random()); break;
            case Content::FewColours: value = static_cast<uint8_t>(random() % 3 == 0 ? 255 : random() % 2); break;
            case Content::Runs:
                if (random() % 40 == 0) value = static_cast<uint8_t>(random());
                break;
        }
        image.pixels[i] = value;
    }
    return image;
}

struct Case {
    std::string name;
    Indices image;
    bool interlaced;
};

// Checks the layout of a file zor wrote and returns its pixels in image order, by the tests' decoder.
std::vector<uint8_t> CheckLayout(const std::string& bytes, const Case& c) {
    GifFile gif;
    std::string why;
    EXPECT_TRUE(ReadGif(bytes, gif, why)) << c.name << ": " << why;
    EXPECT_EQ(gif.signature, "GIF87a");
    EXPECT_EQ(gif.packed, 0xF7);
    EXPECT_EQ(gif.minimumCodeSize, 8);
    EXPECT_EQ(gif.imageFlags, c.interlaced ? 0x40 : 0x00);
    EXPECT_EQ(gif.width, c.image.width);
    EXPECT_EQ(gif.height, c.image.height);
    for (size_t i = 0; i < gif.blockSizes.size(); ++i) {
        EXPECT_LE(gif.blockSizes[i], kBlockLimit) << c.name << " block " << i;
        // Only the last sub-block is short.
        if (i + 1 < gif.blockSizes.size()) {
            EXPECT_EQ(gif.blockSizes[i], kBlockLimit) << c.name << " block " << i;
        }
    }
    const LzwTrace trace = DecodeLzw(gif.codeStream);
    EXPECT_EQ(trace.error, "") << c.name;
    EXPECT_LE(trace.maxWidth, 12);
    return c.interlaced ? Deinterlace(trace.pixels, gif.width, gif.height) : trace.pixels;
}

TEST(GifPeers, RandomImagesDecodeToTheRenderedIndices) {
    std::vector<Case> cases;
    uint32_t seed = 1;
    auto add = [&](int32_t w, int32_t h, Content content, bool interlaced) {
        cases.push_back({"image" + std::to_string(cases.size()), MakeImage(w, h, content, seed++), interlaced});
    };
    // A few large images ...
    add(2000, 2000, Content::Random, false);
    add(1999, 300, Content::Runs, true);
    add(4097, 3, Content::Random, false);  // a row stride beyond 4095 bytes
    add(3, 2000, Content::FewColours, true);
    // ... and many small ones, of every shape.
    std::mt19937 sizes(99);
    for (int i = 0; i < 36; ++i) {
        const int32_t w = 1 + static_cast<int32_t>(sizes() % (i < 12 ? 9 : 300));
        const int32_t h = 1 + static_cast<int32_t>(sizes() % (i < 12 ? 20 : 300));
        add(w, h, static_cast<Content>(i % 3), i % 2 == 1);
    }

    PluginHost host;
    TempDir folder;
    std::vector<std::string> names;
    for (const Case& c : cases) {
        HostHandle picture = PictureWith(PngOf(c.image), 0, 0, static_cast<int16_t>(c.image.height),
                                         static_cast<int16_t>(c.image.width));
        HostHandle gif = PictureToGif(host, picture, c.interlaced ? kGifInterlaced : 0, 0, 0, 0, 0);
        HostDisposeHandle(picture);
        ASSERT_NE(gif, nullptr) << c.name;
        const std::string bytes = HandleBytes(gif);
        HostDisposeHandle(gif);
        EXPECT_TRUE(CheckLayout(bytes, c) == c.image.pixels) << c.name << " (own decoder)";
        WriteFile(folder.File(c.name + ".gif"), bytes);
        names.push_back(c.name);
    }

    ASSERT_TRUE(DecodeWithPillow(folder, names));
    for (const Case& c : cases) {
        const std::string pil = ReadFile(folder.File(c.name + ".pil"));
        EXPECT_TRUE(pil == std::string(c.image.pixels.begin(), c.image.pixels.end())) << c.name << " (Pillow)";
        std::vector<uint8_t> giflib;
        EXPECT_TRUE(DecodeWithGiflib(folder, c.name, giflib)) << c.name;
        EXPECT_TRUE(giflib == c.image.pixels) << c.name << " (giflib)";
    }
}

TEST(GifPeers, InterlacedRowOrder) {
    for (int32_t height : {1, 2, 3, 4, 5, 8, 9, 17}) {
        // Rows in GIF interlace order, from the passes' own definition.
        std::vector<int32_t> expected;
        for (int32_t y = 0; y < height; y += 8) expected.push_back(y);
        for (int32_t y = 4; y < height; y += 8) expected.push_back(y);
        for (int32_t y = 2; y < height; y += 4) expected.push_back(y);
        for (int32_t y = 1; y < height; y += 2) expected.push_back(y);

        // Through the cursor: two pixels a row holding the row's number, in storage whose stride is
        // wider than the row, with guard rows around it that must never be read.
        const int32_t stride = 5;
        std::vector<uint8_t> storage(static_cast<size_t>(stride) * (height + 2), 0xEE);
        for (int32_t y = 0; y < height; ++y) storage[(y + 1) * stride] = storage[(y + 1) * stride + 1] = static_cast<uint8_t>(y);
        const GifImage image{storage.data() + stride, stride, 2, height, nullptr};
        PixelCursor cursor;
        std::vector<int32_t> each;
        StartCursor(cursor, image, true);
        for (int32_t p = NextPixel(cursor); p >= 0; p = NextPixel(cursor)) {
            const int32_t q = NextPixel(cursor);
            ASSERT_NE(p, 0xEE) << "height " << height;
            ASSERT_EQ(p, q);
            each.push_back(p);
        }
        EXPECT_EQ(each, expected) << "height " << height;
        EXPECT_EQ(NextPixel(cursor), -1);

        // Through command 46: the stream's rows come in the same order.
        PluginHost host;
        Indices picture{2, height, {}};
        for (int32_t y = 0; y < height; ++y) picture.pixels.insert(picture.pixels.end(), 2, static_cast<uint8_t>(y * 7));
        HostHandle data = PictureWith(PngOf(picture), 0, 0, static_cast<int16_t>(height), 2);
        HostHandle gif = PictureToGif(host, data, kGifInterlaced, 0, 0, 0, 0);
        ASSERT_NE(gif, nullptr);
        GifFile file;
        std::string why;
        ASSERT_TRUE(ReadGif(HandleBytes(gif), file, why)) << why;
        const std::vector<uint8_t> stream = DecodeLzw(file.codeStream).pixels;
        ASSERT_EQ(stream.size(), static_cast<size_t>(2 * height));
        std::vector<int32_t> streamRows;
        for (size_t i = 0; i < stream.size(); i += 2) streamRows.push_back(stream[i] / 7);
        EXPECT_EQ(streamRows, expected) << "height " << height;
        HostDisposeHandle(gif);
        HostDisposeHandle(data);
    }
}

TEST(GifPeers, CodesGrowToTwelveBitsAndClearAtTheLimit) {
    // Random pixels fill the code table again and again.
    const Indices image = MakeImage(300, 200, Content::Random, 42);
    PluginHost host;
    HostHandle picture = PictureWith(PngOf(image), 0, 0, 200, 300);
    HostHandle gif = PictureToGif(host, picture, 0, 0, 0, 0, 0);
    ASSERT_NE(gif, nullptr);
    GifFile file;
    std::string why;
    ASSERT_TRUE(ReadGif(HandleBytes(gif), file, why)) << why;
    const LzwTrace trace = DecodeLzw(file.codeStream);
    EXPECT_EQ(trace.error, "");
    EXPECT_EQ(trace.pixels, image.pixels);
    EXPECT_EQ(trace.maxWidth, 12);
    // Every clear after the first comes when the table is full, at width 12; then widths restart at
    // 9 (the decoder reads them so, or the pixels would not match).
    EXPECT_GT(trace.clears, 3);
    EXPECT_EQ(trace.fullClears, trace.clears - 1);
    HostDisposeHandle(gif);

    // A flat image never needs wide codes: 1 x 2000 white grows to long strings, few codes.
    HostHandle flat = PictureWith("", 0, 0, 2000, 1);
    gif = PictureToGif(host, flat, 0, 0, 0, 0, 0);
    ASSERT_TRUE(ReadGif(HandleBytes(gif), file = GifFile{}, why)) << why;
    const LzwTrace flatTrace = DecodeLzw(file.codeStream);
    EXPECT_EQ(flatTrace.pixels, std::vector<uint8_t>(2000, 0));
    EXPECT_EQ(flatTrace.clears, 1);
    EXPECT_EQ(flatTrace.maxWidth, 9);
    HostDisposeHandle(gif);
    HostDisposeHandle(flat);
    HostDisposeHandle(picture);
}

}  // namespace
}  // namespace zor::test::giftest
