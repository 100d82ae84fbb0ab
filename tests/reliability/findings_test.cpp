// findings_test.cpp: inputs the fuzzers found faults with, kept as tests of the mended behaviour.
#include <cstring>
#include <string>

#include "host/files_sidecar.h"
#include "zor/host_drawing.h"
#include "sweep.h"

namespace zor::test {
namespace {

std::string Seed(const std::string& target, const std::string& name) {
    return ReadFile(std::string(ZOR_SOURCE_DIR) + "/fuzz/corpus/" + target + "/" + name);
}

// A PNG chunk: length, type, data, CRC.
std::string Chunk(const std::string& type, const std::string& data) {
    const uint32_t n = static_cast<uint32_t>(data.size());
    std::string chunk = std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + type + data;
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : type + data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    crc ^= 0xFFFFFFFFu;
    return chunk + std::string{char(crc >> 24), char(crc >> 16), char(crc >> 8), char(crc)};
}

// A 1 x 1 PNG image of grey 0x80; with `emptyImageData`, empty IDAT chunks around its one IDAT.
std::string GreyPixelPng(bool emptyImageData) {
    const std::string empty = emptyImageData ? Chunk("IDAT", "") : "";
    return std::string("\x89PNG\r\n\x1a\n", 8) + Chunk("IHDR", std::string("\0\0\0\1\0\0\0\1\x08\0\0\0\0", 13)) +
           empty + Chunk("IDAT", std::string("\x78\x01\x01\x02\x00\xfd\xff\x00\x80\x00\x82\x00\x81", 13)) + empty +
           Chunk("IEND", "");
}

// A PNG file whose chunk claims more bytes than follow it is refused before it is decoded: the
// decoder would compute the chunk's end far past the data before comparing it. The same file with
// its chunks whole still decodes.
TEST(PictureFindings, PngWithAChunkPastTheEndIsRefused) {
    HostDecodedPicture image;
    const std::string bad = Seed("picture", "png_chunk_past_end");
    ASSERT_GT(bad.size(), 30u);
    EXPECT_EQ(HostDecodePicture(bad.data(), static_cast<int32_t>(bad.size()), &image), HostParamErr);
    EXPECT_EQ(image.rgba, nullptr);
    // A sound PNG behind the picture header: a 1 x 1 grey image.
    const std::string png = GreyPixelPng(false);
    const std::string sound = std::string(10, '\0') + png;
    ASSERT_EQ(HostDecodePicture(sound.data(), static_cast<int32_t>(sound.size()), &image), HostNoErr);
    EXPECT_EQ(image.width, 1);
    EXPECT_EQ(image.height, 1);
    HostReleaseDecodedPicture(&image);
    std::string cut = sound;
    cut[10 + 8 + 25 + 3] = '\x7f';  // the IDAT chunk now claims 127 bytes
    EXPECT_EQ(HostDecodePicture(cut.data(), static_cast<int32_t>(cut.size()), &image), HostParamErr);
}

// Empty IDAT chunks carry nothing; the decoder copied an empty first one into a buffer it had not
// made yet. Such a file decodes to the same image as without them.
TEST(PictureFindings, PngWithEmptyImageDataChunksDecodes) {
    HostDecodedPicture image;
    const std::string found = Seed("picture_decode", "png_empty_first_idat");
    ASSERT_GT(found.size(), 60u);
    (void)HostDecodePicture(found.data(), static_cast<int32_t>(found.size()), &image);
    HostReleaseDecodedPicture(&image);
    const std::string picture = std::string(10, '\0') + GreyPixelPng(true);
    ASSERT_EQ(HostDecodePicture(picture.data(), static_cast<int32_t>(picture.size()), &image), HostNoErr);
    ASSERT_EQ(image.width, 1);
    ASSERT_EQ(image.height, 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.rgba), 4), std::string("\x80\x80\x80\xff", 4));
    HostReleaseDecodedPicture(&image);
}

// Every new block of memory full of stale bytes, a different value each time.
HostSystemCalls g_plainCalls;
uint8_t g_staleByte = 0xFF;
void* StaleAllocate(size_t size) {
    void* block = g_plainCalls.allocate(size);
    if (block != nullptr) std::memset(block, g_staleByte, size);
    return block;
}

// JPEG data whose scan uses a Huffman table it never defined: the decoder read that table from
// memory it had not written, and looked up symbols far outside it. Whatever the memory held
// before, the same data now decode the same way, and within bounds.
TEST(PictureFindings, JpegUsingAnUndefinedHuffmanTableReadsNoStaleMemory) {
    const std::string found = Seed("picture_decode", "jpeg_undefined_huffman_table");
    ASSERT_GT(found.size(), 300u);
    HostSystemCalls* calls = HostSystemCallTable();
    g_plainCalls = *calls;
    calls->allocate = StaleAllocate;
    HostDecodedPicture first, second;
    g_staleByte = 0xFF;
    const int16_t a = HostDecodePicture(found.data(), static_cast<int32_t>(found.size()), &first);
    g_staleByte = 0x5A;
    const int16_t b = HostDecodePicture(found.data(), static_cast<int32_t>(found.size()), &second);
    HostRestoreSystemCalls();
    EXPECT_EQ(a, b);
    if (a == HostNoErr && b == HostNoErr) {
        ASSERT_EQ(first.width * first.height, second.width * second.height);
        EXPECT_EQ(std::memcmp(first.rgba, second.rgba, size_t(first.width) * first.height * 4), 0);
    }
    HostReleaseDecodedPicture(&first);
    HostReleaseDecodedPicture(&second);
}

// A JPEG stream whose Huffman table declares more codes than a table holds (256) is refused before
// it is decoded: the decoder would write the code lengths past the end of its table. The table may
// be whole (272 codes) or cut off by the end of the data (its missing counts read as zeros). A sound
// JPEG stream in the same place still decodes, and drawing a damaged one draws nothing.
TEST(PictureFindings, JpegWithOversizedHuffmanTableIsRefused) {
    HostDecodedPicture image;
    for (const char* name : {"jpeg_huffman_overflow", "jpeg_huffman_cut_short"}) {
        const std::string bad = Seed("picture", name);
        ASSERT_GT(bad.size(), 200u) << name;
        EXPECT_EQ(HostDecodePicture(bad.data(), static_cast<int32_t>(bad.size()), &image), HostParamErr) << name;
        EXPECT_EQ(image.rgba, nullptr);
    }
    const std::string damaged = Seed("picture", "jpeg_huffman_overflow");

    const std::string sound = Seed("picture", "jpeg_inside");
    ASSERT_EQ(HostDecodePicture(sound.data(), static_cast<int32_t>(sound.size()), &image), HostNoErr);
    EXPECT_EQ(image.width, 6);
    EXPECT_EQ(image.height, 4);
    HostReleaseDecodedPicture(&image);

    HostRect bounds{0, 0, 8, 8};
    HostOffscreen offscreen = nullptr;
    ASSERT_EQ(HostNewOffscreen(&offscreen, 8, &bounds, nullptr, nullptr, 0), HostNoErr);
    HostPort saved = nullptr;
    HostGetDrawTarget(&saved);
    HostSetDrawTarget(offscreen, nullptr);
    HostHandle picture = NewHandleWith(damaged);
    HostRenderPicture(picture, &bounds);
    HostSetDrawTarget(saved, nullptr);
    const HostPixelMap& map = **HostOffscreenPixelMap(offscreen);
    int drawn = 0;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) drawn += map.baseAddr[y * map.rowStride + x] != 0;
    EXPECT_EQ(drawn, 0);
    HostDisposeHandle(picture);
    HostDisposeOffscreen(offscreen);
}

// A sidecar entry of no length may point anywhere, even past the file's end: it holds no data, so
// it neither refuses the sidecar nor moves the end of the data, which stays inside the file.
TEST(SidecarFindings, EmptyEntryPointingPastTheEnd) {
    const std::string bytes = Seed("appledouble", "empty_entry_far_away");
    zor::host::SidecarLayout layout;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    ASSERT_TRUE(zor::host::ParseSidecar(data, bytes.size(), bytes.size(), &layout));
    EXPECT_TRUE(layout.finderInfo.present);
    EXPECT_EQ(layout.finderInfo.length, 0u);
    EXPECT_GT(layout.finderInfo.offset, bytes.size());
    EXPECT_LE(layout.dataEnd, bytes.size());

    // The file it belongs to reads with zero Finder information, and takes new information.
    TempDir folder;
    WriteFile(folder / "f", "data");
    WriteFile(folder / "._f", bytes);
    const Str255 name(folder / "f");
    HostFinderInfo finder{};
    ASSERT_EQ(HostGetFinderInfo(name.bytes, 0, &finder), HostNoErr);
    EXPECT_EQ(finder.type, 0u);
    finder.type = HostResourceType("TEXT");
    ASSERT_EQ(HostSetFinderInfo(name.bytes, 0, &finder), HostNoErr);
    HostFinderInfo again{};
    ASSERT_EQ(HostGetFinderInfo(name.bytes, 0, &again), HostNoErr);
    EXPECT_EQ(again.type, finder.type);
    EXPECT_EQ(ReadFile(folder / "f"), "data");
}

}  // namespace
}  // namespace zor::test

namespace zor::test {
namespace {

// Shrinking a handle never fails, even when the block would move and the allocation for it fails:
// the block stays where it is with its new size (a result cut to length keeps no stale bytes).
TEST(MemoryFindings, ShrinkingNeverFails) {
    HostHandle h = NewHandleWith(std::string(1024, 'x'));
    {
        AllocationFailure failure(1, true);
        HostSetHandleSize(h, 10);
        EXPECT_EQ(HostMemoryError(), HostNoErr);
        EXPECT_EQ(HostGetHandleSize(h), 10);
        HostSetHandleSize(h, 2000);
        EXPECT_EQ(HostMemoryError(), HostMemFullErr);
        EXPECT_EQ(HostGetHandleSize(h), 10);
    }
    EXPECT_EQ(HandleBytes(h), std::string(10, 'x'));
    HostDisposeHandle(h);
}

}  // namespace
}  // namespace zor::test
