// gif_file_test.cpp: the files command 46 writes, byte by byte and field by field: the 1 x 1 files,
// transparency, the image size (frame, scaling), the cases that give no GIF, and an output that
// cannot grow.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "gif/gif.h"
#include "gif_support.h"

namespace zor::test::giftest {
namespace {

using namespace zor::gif;

std::string Bytes(HostHandle h) { return HandleBytes(h); }

Indices Solid(int32_t width, int32_t height, uint8_t index) {
    return Indices{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height, index)};
}

// The GIF87a file of a 1 x 1 image with the system table, built here field by field.
std::string OnePixelFile(const std::string& imageData) {
    std::string f = "GIF87a";
    f += std::string("\x01\x00\x01\x00\xF7\x00\x00", 7);
    for (int i = 0; i < 256; ++i) {
        uint8_t rgb[3];
        SystemColor(i, rgb);
        f.append(reinterpret_cast<const char*>(rgb), 3);
    }
    f += std::string("\x2C\x00\x00\x00\x00\x01\x00\x01\x00\x00\x08", 11);
    return f + imageData + std::string("\x00\x3B", 2);
}

class GifFileTest : public ::testing::Test {
protected:
    PluginHost host;
};

TEST_F(GifFileTest, OnePixelFilesAreExact) {
    // White: clear (256), pixel 0, end (257), 9 bits each, low bit first.
    HostHandle white = PictureWith(PngOf(Solid(1, 1, 0)), 0, 0, 1, 1);
    HostHandle gif = PictureToGif(host, white, 0, 0, 0, 0, 0);
    ASSERT_NE(gif, nullptr);
    EXPECT_EQ(Bytes(gif), OnePixelFile(std::string("\x04\x00\x01\x04\x04", 5)));
    HostDisposeHandle(gif);

    HostHandle black = PictureWith(PngOf(Solid(1, 1, 255)), 0, 0, 1, 1);
    gif = PictureToGif(host, black, 0, 0, 0, 0, 0);
    ASSERT_NE(gif, nullptr);
    EXPECT_EQ(Bytes(gif), OnePixelFile(std::string("\x04\x00\xFF\x05\x04", 5)));
    HostDisposeHandle(gif);

    // A picture the host cannot decode draws nothing: the white background is the image.
    HostHandle unknown = PictureWith("not an image", 0, 0, 1, 1);
    gif = PictureToGif(host, unknown, 0, 0, 0, 0, 0);
    ASSERT_NE(gif, nullptr);
    EXPECT_EQ(Bytes(gif), OnePixelFile(std::string("\x04\x00\x01\x04\x04", 5)));
    HostDisposeHandle(gif);

    // A GIF file is a picture as it stands, its size the logical screen's: the black file drawn
    // again gives the same file.
    HostHandle again = PictureToGif(host, black, 0, 0, 0, 0, 0);
    HostHandle copy = PictureToGif(host, again, 0, 0, 0, 0, 0);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(Bytes(copy), OnePixelFile(std::string("\x04\x00\xFF\x05\x04", 5)));
    for (HostHandle h : {white, black, unknown, again, copy}) HostDisposeHandle(h);
}

TEST_F(GifFileTest, TransparentColourIsTheChosenPixels) {
    Indices image = Solid(6, 4, 0);
    image.pixels[2 * 6 + 5] = 215;  // column 5, row 2
    image.pixels[3 * 6 + 0] = 36;
    HostHandle picture = PictureWith(PngOf(image), 0, 0, 4, 6);
    TempDir folder;

    HostHandle gif = PictureToGif(host, picture, kGifTransparent, 0, 0, 5, 2);
    ASSERT_NE(gif, nullptr);
    GifFile file;
    std::string why;
    ASSERT_TRUE(ReadGif(Bytes(gif), file, why)) << why;
    EXPECT_EQ(file.signature, "GIF89a");
    ASSERT_TRUE(file.hasExtension);
    EXPECT_EQ(file.extension, (std::vector<uint8_t>{0x01, 0x00, 0x00, 215}));
    WriteFile(folder.File("five_two.gif"), Bytes(gif));
    HostDisposeHandle(gif);

    gif = PictureToGif(host, picture, kGifTransparent | kGifInterlaced, 0, 0, 0, 3);
    ASSERT_NE(gif, nullptr);
    ASSERT_TRUE(ReadGif(Bytes(gif), file = GifFile{}, why)) << why;
    EXPECT_EQ(file.extension[3], 36);
    EXPECT_EQ(file.imageFlags, 0x40);
    WriteFile(folder.File("zero_three.gif"), Bytes(gif));
    HostDisposeHandle(gif);

    // Pillow reads the extension's index.
    ASSERT_TRUE(DecodeWithPillow(folder, {"five_two", "zero_three"}));
    EXPECT_EQ(ReadFile(folder.File("five_two.info")), "215");
    EXPECT_EQ(ReadFile(folder.File("zero_three.info")), "36");

    // Without the flag, or with a position outside the image: a GIF87a file without extension,
    // and the pixels all the same.
    const int32_t outside[][2] = {{6, 0}, {0, 4}, {-1, 0}, {0, -1}, {100000, 100000}};
    for (const auto& at : outside) {
        gif = PictureToGif(host, picture, kGifTransparent, 0, 0, at[0], at[1]);
        ASSERT_NE(gif, nullptr);
        ASSERT_TRUE(ReadGif(Bytes(gif), file = GifFile{}, why)) << why;
        EXPECT_EQ(file.signature, "GIF87a") << at[0] << "," << at[1];
        EXPECT_FALSE(file.hasExtension);
        EXPECT_EQ(DecodeLzw(file.codeStream).pixels, image.pixels);
        HostDisposeHandle(gif);
    }
    gif = PictureToGif(host, picture, 0, 0, 0, 5, 2);
    ASSERT_TRUE(ReadGif(Bytes(gif), file = GifFile{}, why)) << why;
    EXPECT_EQ(file.signature, "GIF87a");
    EXPECT_FALSE(file.hasExtension);
    // Other flag bits are ignored.
    HostHandle more = PictureToGif(host, picture, 0x7C, 0, 0, 5, 2);
    EXPECT_EQ(Bytes(more), Bytes(gif));
    HostDisposeHandle(gif);
    HostDisposeHandle(more);
    HostDisposeHandle(picture);
}

TEST_F(GifFileTest, SizeComesFromTheFrameOrTheArguments) {
    // A 10 x 5 image of ten columns of colours, in a frame that is not at the origin.
    Indices image{10, 5, {}};
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 10; ++x) image.pixels.push_back(static_cast<uint8_t>(x * 20 + y));
    HostHandle picture = PictureWith(PngOf(image), -3, 7, 2, 17);
    GifFile file;
    std::string why;

    for (int32_t zero : {0, -1, -32768}) {
        HostHandle gif = PictureToGif(host, picture, 0, zero, zero, 0, 0);
        ASSERT_NE(gif, nullptr);
        ASSERT_TRUE(ReadGif(Bytes(gif), file = GifFile{}, why)) << why;
        EXPECT_EQ(file.screenWidth, 10);
        EXPECT_EQ(file.screenHeight, 5);
        EXPECT_EQ(file.width, 10);
        EXPECT_EQ(file.height, 5);
        EXPECT_EQ(file.left, 0);
        EXPECT_EQ(file.top, 0);
        EXPECT_EQ(DecodeLzw(file.codeStream).pixels, image.pixels);
        HostDisposeHandle(gif);
    }

    // Scaled into 100 x 50: each source pixel becomes a 10 x 10 square.
    HostHandle gif = PictureToGif(host, picture, 0, 100, 50, 0, 0);
    ASSERT_NE(gif, nullptr);
    ASSERT_TRUE(ReadGif(Bytes(gif), file = GifFile{}, why)) << why;
    EXPECT_EQ(file.width, 100);
    EXPECT_EQ(file.height, 50);
    const std::vector<uint8_t> pixels = DecodeLzw(file.codeStream).pixels;
    ASSERT_EQ(pixels.size(), 5000u);
    int wrong = 0;
    for (int32_t y = 0; y < 50; ++y)
        for (int32_t x = 0; x < 100; ++x) wrong += pixels[y * 100 + x] != image.at(x / 10, y / 10);
    EXPECT_EQ(wrong, 0);
    HostDisposeHandle(gif);

    // One side given, the other from the frame.
    gif = PictureToGif(host, picture, 0, 20, 0, 0, 0);
    ASSERT_TRUE(ReadGif(Bytes(gif), file = GifFile{}, why)) << why;
    EXPECT_EQ(file.width, 20);
    EXPECT_EQ(file.height, 5);
    HostDisposeHandle(gif);
    HostDisposeHandle(picture);
}

TEST_F(GifFileTest, NoPixelsNoGif) {
    const int64_t before = HostLiveAllocations();
    EXPECT_EQ(PictureToGif(host, nullptr, 0, 10, 10, 0, 0), nullptr);
    // An empty or inverted frame with no size given, a header too short to hold a frame, sizes
    // beyond 16-bit bounds.
    HostHandle empty = PictureWith("", 0, 0, 0, 10);
    HostHandle inverted = PictureWith("", 5, 5, 0, 0);
    HostHandle shortHeader = NewHandleWith("abc");
    EXPECT_EQ(PictureToGif(host, empty, 0, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(PictureToGif(host, inverted, 0, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(PictureToGif(host, shortHeader, 0, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(PictureToGif(host, empty, 0, 40000, 1, 0, 0), nullptr);
    EXPECT_EQ(PictureToGif(host, empty, 0, 1, 32768, 0, 0), nullptr);
    // Given sizes need no frame.
    HostHandle gif = PictureToGif(host, shortHeader, 0, 3, 2, 0, 0);
    ASSERT_NE(gif, nullptr);
    HostDisposeHandle(gif);
    for (HostHandle h : {empty, inverted, shortHeader}) HostDisposeHandle(h);
    // The drawing target is the saved one again.
    HostPort port = reinterpret_cast<HostPort>(1);
    HostGetDrawTarget(&port);
    EXPECT_EQ(port, nullptr);
    // The encoder's tables and the host's colour table stay; nothing else is left behind.
    EXPECT_LE(HostLiveAllocations() - before, 2);
}

// A conversion the host asks to stop gives no picture and holds nothing; the next one converts.
TEST_F(GifFileTest, ACancelledConversionGivesNoPicture) {
    HostHandle picture = PictureWith("", 0, 0, 300, 400);
    const int64_t before = HostLiveAllocations();
    HostRequestCancel();
    EXPECT_EQ(PictureToGif(host, picture, kGifInterlaced, 0, 0, 0, 0), nullptr);
    HostClearCancel();
    EXPECT_LE(HostLiveAllocations() - before, 2);
    HostHandle gif = PictureToGif(host, picture, kGifInterlaced, 0, 0, 0, 0);
    EXPECT_NE(gif, nullptr);
    if (gif != nullptr) HostDisposeHandle(gif);
    HostDisposeHandle(picture);
}

// An offscreen of more than 64 MiB pixels is drawn only for a picture whose image is at least that
// large. Ten bytes of picture data with a frame of 32767 x 32767 once cost a gigabyte and seconds of
// encoding; they give no GIF, nor does a small image scaled past the limit. At the limit it converts.
TEST_F(GifFileTest, LargeOffscreenWithoutAnImageThatLargeGivesNoGif) {
    HostHandle probe = PictureWith("", 0, 0, 32767, 32767);
    EXPECT_EQ(PictureToGif(host, probe, 0, 0, 0, 0, 0), nullptr);
    HostHandle small = PictureWith(PngOf(Solid(2, 2, 5)), 0, 0, 2, 2);
    EXPECT_EQ(PictureToGif(host, small, 0, 8193, 8192, 0, 0), nullptr);
    HostHandle gif = PictureToGif(host, small, 0, 8192, 8192, 0, 0);
    EXPECT_NE(gif, nullptr);
    if (gif != nullptr) HostDisposeHandle(gif);
    HostDisposeHandle(probe);
    HostDisposeHandle(small);
}

// Fails every allocation of one size, as the output's first growth asks.
size_t g_failingSize = 0;
void* (*g_allocate)(size_t) = nullptr;
void* (*g_reallocate)(void*, size_t) = nullptr;
void* FailingAllocate(size_t size) { return size == g_failingSize ? nullptr : g_allocate(size); }
void* FailingReallocate(void* block, size_t size) {
    return size == g_failingSize ? nullptr : g_reallocate(block, size);
}

TEST_F(GifFileTest, OutputThatCannotGrowGivesNoGif) {
    // Random pixels need far more than the first 1024 bytes of output.
    Indices image{64, 64, {}};
    std::mt19937 random(7);
    for (int i = 0; i < 64 * 64; ++i) image.pixels.push_back(static_cast<uint8_t>(random()));
    HostHandle picture = PictureWith(PngOf(image), 0, 0, 64, 64);
    HostHandle warm = PictureToGif(host, picture, 0, 0, 0, 0, 0);  // makes the kept tables
    ASSERT_NE(warm, nullptr);
    HostDisposeHandle(warm);

    const int64_t before = HostLiveAllocations();
    HostSystemCalls* calls = HostSystemCallTable();
    g_allocate = calls->allocate;
    g_reallocate = calls->reallocate;
    g_failingSize = 2048;  // 1024 bytes, grown by 1024
    calls->allocate = FailingAllocate;
    calls->reallocate = FailingReallocate;
    HostHandle gif = PictureToGif(host, picture, 0, 0, 0, 0, 0);
    HostRestoreSystemCalls();
    EXPECT_EQ(gif, nullptr);
    EXPECT_EQ(HostLiveAllocations(), before);

    // The encoder alone: a locked output cannot grow, and says so.
    GifOutput output{};
    ASSERT_TRUE(StartOutput(output));
    HostLockHandle(output.handle);
    std::vector<uint8_t> pixels(image.pixels);
    const GifImage rendered{pixels.data(), 64, 64, 64, *HostSystemColorTable()};
    EXPECT_FALSE(WriteGif(rendered, false, -1, output));
    EXPECT_TRUE(output.failed);
    EXPECT_LE(output.position, 1024);
    HostDisposeHandle(output.handle);
    HostDisposeHandle(picture);
}

}  // namespace
}  // namespace zor::test::giftest
