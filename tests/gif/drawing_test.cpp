// drawing_test.cpp: the host layer's offscreen drawing: the system colour table and nearest colours,
// offscreens and their pixel maps, clearing, pixel transfers, pictures drawn from PNG, JPEG and GIF
// data, and damaged pictures that must draw nothing and read nothing outside their data.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "gif_support.h"

namespace zor::test::giftest {
namespace {

int Distance2(const uint8_t a[3], const uint8_t b[3]) {
    int d = 0;
    for (int k = 0; k < 3; ++k) d += (a[k] - b[k]) * (a[k] - b[k]);
    return d;
}

int BruteNearest(const uint8_t rgb[3]) {
    int best = 0;
    for (int i = 1; i < 256; ++i) {
        uint8_t c[3], b[3];
        SystemColor(i, c);
        SystemColor(best, b);
        if (Distance2(rgb, c) < Distance2(rgb, b)) best = i;
    }
    return best;
}

// An offscreen made current, released (and the screen made current) at the end of the scope.
struct Canvas {
    HostOffscreen offscreen = nullptr;
    HostPixelMapHandle pixels = nullptr;
    Canvas(int16_t width, int16_t height) {
        HostRect bounds{0, 0, height, width};
        EXPECT_EQ(HostNewOffscreen(&offscreen, 8, &bounds, nullptr, nullptr, 0), HostNoErr);
        pixels = HostOffscreenPixelMap(offscreen);
        HostSetDrawTarget(offscreen, nullptr);
    }
    ~Canvas() {
        HostSetDrawTarget(nullptr, HostMainScreenDevice());
        HostDisposeOffscreen(offscreen);
    }
    uint8_t at(int x, int y) const { return (*pixels)->baseAddr[y * (*pixels)->rowStride + x]; }
    std::vector<uint8_t> all() const {
        std::vector<uint8_t> v;
        const HostPixelMap& m = **pixels;
        for (int y = 0; y < m.bottom - m.top; ++y)
            for (int x = 0; x < m.right - m.left; ++x) v.push_back(at(x, y));
        return v;
    }
};

TEST(HostColours, SystemTableAndNearestColours) {
    HostColorTable** table = HostSystemColorTable();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ((*table)->size, 255);
    for (int i = 0; i < 256; ++i) {
        uint8_t rgb[3];
        SystemColor(i, rgb);
        const HostColorSpec& c = (*table)->table[i];
        EXPECT_EQ(c.value, i);
        EXPECT_EQ(c.red, rgb[0] * 0x101) << i;
        EXPECT_EQ(c.green, rgb[1] * 0x101) << i;
        EXPECT_EQ(c.blue, rgb[2] * 0x101) << i;
        // Every table colour maps back to its own index.
        EXPECT_EQ(HostNearestColorIndex(rgb[0], rgb[1], rgb[2]), i);
    }
    EXPECT_EQ(HostNearestColorIndex(255, 255, 255), 0);
    EXPECT_EQ(HostNearestColorIndex(0, 0, 0), 255);

    // Other colours land near the truly nearest one: within the reach of the inverse table's
    // 8-wide cells.
    std::mt19937 random(3);
    for (int n = 0; n < 20000; ++n) {
        const uint8_t rgb[3] = {static_cast<uint8_t>(random()), static_cast<uint8_t>(random()),
                                static_cast<uint8_t>(random())};
        uint8_t chosen[3], best[3];
        SystemColor(HostNearestColorIndex(rgb[0], rgb[1], rgb[2]), chosen);
        SystemColor(BruteNearest(rgb), best);
        ASSERT_LE(std::sqrt(Distance2(rgb, chosen)), std::sqrt(Distance2(rgb, best)) + 14.0)
            << int(rgb[0]) << "," << int(rgb[1]) << "," << int(rgb[2]);
    }
}

TEST(HostOffscreens, MadeClearedAndReleased) {
    HostSystemColorTable();  // made once, kept
    const int64_t before = HostLiveAllocations();
    HostOffscreen offscreen = reinterpret_cast<HostOffscreen>(1);
    HostRect bounds{0, 0, 3, 5};
    EXPECT_EQ(HostNewOffscreen(&offscreen, 4, &bounds, nullptr, nullptr, 0), HostCDepthErr);
    EXPECT_EQ(offscreen, nullptr);
    HostRect empty{0, 0, 0, 5}, inverted{4, 4, 2, 2};
    EXPECT_EQ(HostNewOffscreen(&offscreen, 8, &empty, nullptr, nullptr, 0), HostParamErr);
    EXPECT_EQ(HostNewOffscreen(&offscreen, 8, &inverted, nullptr, nullptr, 0), HostParamErr);
    EXPECT_EQ(HostNewOffscreen(&offscreen, 8, &bounds, reinterpret_cast<HostHandle>(HostSystemColorTable()), nullptr, 0),
              HostParamErr);
    EXPECT_EQ(HostLiveAllocations(), before);

    {
        Canvas canvas(5, 3);
        const HostPixelMap& map = **canvas.pixels;
        EXPECT_EQ(map.pixelSize, 8);
        EXPECT_GE(map.rowStride, 5);
        EXPECT_EQ(map.rowStride % 4, 0);
        EXPECT_EQ(map.rowBytes & 0x3FFF, map.rowStride);
        EXPECT_EQ(map.colorTable, HostSystemColorTable());
        EXPECT_EQ(canvas.all(), std::vector<uint8_t>(15, 0));  // white

        // The background colour fills, clipped to the bounds.
        HostSetBackgroundColor(HostBlackColor);
        HostRect r{1, 3, 10, 10};
        HostClearRect(&r);
        HostSetBackgroundColor(HostRedColor);
        HostRect one{0, 0, 1, 1};
        HostClearRect(&one);
        HostSetBackgroundColor(12345);  // not a colour number: no change
        HostRect none{-5, -5, -1, -1};
        HostClearRect(&none);
        const uint8_t red = HostNearestColorIndex(255, 0, 0);
        EXPECT_EQ(canvas.all(), (std::vector<uint8_t>{red, 0, 0, 0, 0, 0, 0, 0, 255, 255, 0, 0, 0, 255, 255}));

        EXPECT_TRUE(HostPinPixels(canvas.pixels));
        EXPECT_EQ(map.pinCount, 1);
        HostUnpinPixels(canvas.pixels);
        HostUnpinPixels(canvas.pixels);
        EXPECT_EQ(map.pinCount, 0);
    }
    // Drawing on the screen's port changes nothing and is safe.
    HostRect r{0, 0, 10, 10};
    HostClearRect(&r);
    HostHandle blank = PictureWith("", 0, 0, 1, 1);
    HostRenderPicture(blank, &r);
    HostDisposeHandle(blank);

    // Rows wider than 4095 bytes keep their true stride.
    {
        Canvas wide(5000, 2);
        EXPECT_EQ((*wide.pixels)->rowStride, 5000);
        HostSetBackgroundColor(HostBlackColor);
        HostRect last{1, 4999, 2, 5000};
        HostClearRect(&last);
        EXPECT_EQ(wide.at(4999, 1), 255);
        EXPECT_EQ(wide.at(4998, 1), 0);
    }
    // Disposing of the current target makes the screen current.
    HostRect small{0, 0, 1, 1};
    ASSERT_EQ(HostNewOffscreen(&offscreen, 8, &small, nullptr, nullptr, 0), HostNoErr);
    HostSetDrawTarget(offscreen, nullptr);
    HostDisposeOffscreen(offscreen);
    HostPort port = reinterpret_cast<HostPort>(1);
    HostGetDrawTarget(&port);
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(HostLiveAllocations(), before);
}

TEST(HostOffscreens, CopyPixelsScalesAndHandlesOverlap) {
    Canvas from(2, 2);
    HostPixelMap& source = **from.pixels;
    source.baseAddr[0] = 10;
    source.baseAddr[1] = 20;
    source.baseAddr[source.rowStride] = 30;
    source.baseAddr[source.rowStride + 1] = 40;
    Canvas to(4, 4);
    HostRect whole{0, 0, 2, 2}, doubled{0, 0, 4, 4};
    HostCopyPixels(from.pixels, to.pixels, &whole, &doubled, HostSrcCopy);
    EXPECT_EQ(to.all(), (std::vector<uint8_t>{10, 10, 20, 20, 10, 10, 20, 20, 30, 30, 40, 40, 30, 30, 40, 40}));

    // The same map over the same rectangle changes nothing; a shifted copy reads the old pixels.
    HostCopyPixels(to.pixels, to.pixels, &doubled, &doubled, 1024);
    EXPECT_EQ(to.at(3, 3), 40);
    HostRect top{0, 0, 2, 4}, lower{1, 0, 3, 4};
    HostCopyPixels(to.pixels, to.pixels, &top, &lower, HostSrcCopy);
    EXPECT_EQ(to.all(), (std::vector<uint8_t>{10, 10, 20, 20, 10, 10, 20, 20, 10, 10, 20, 20, 30, 30, 40, 40}));
    // A destination beyond the map is clipped.
    HostRect outside{3, 3, 7, 7};
    HostCopyPixels(from.pixels, to.pixels, &whole, &outside, HostSrcCopy);
    EXPECT_EQ(to.at(3, 3), 10);
}

// Pictures made by Pillow: a JPEG of solid red, a PNG with transparent and half-transparent
// pixels, a GIF with a transparent index.
struct PeerPictures {
    std::string jpeg, png, gif;
    PeerPictures() {
        TempDir folder;
        WriteFile(folder.File("make.py"),
                  "import sys\n"
                  "from PIL import Image\n"
                  "d = sys.argv[1]\n"
                  "Image.new('RGB', (16, 16), (255, 0, 0)).save(d + '/red.jpg', quality=95)\n"
                  "im = Image.new('RGBA', (3, 1))\n"
                  "im.putdata([(0, 0, 0, 0), (0, 0, 0, 128), (0, 0, 255, 255)])\n"
                  "im.save(d + '/alpha.png')\n"
                  "g = Image.new('P', (2, 1))\n"
                  "g.putpalette([255, 255, 255, 0, 153, 0] + [0] * 762)\n"
                  "g.putdata([1, 0])\n"
                  "g.save(d + '/clear.gif', transparency=0)\n");
        const std::string command = "/usr/bin/python3 " + folder.File("make.py") + " " + folder.path;
        EXPECT_EQ(std::system(command.c_str()), 0);
        jpeg = ReadFile(folder.File("red.jpg"));
        png = ReadFile(folder.File("alpha.png"));
        gif = ReadFile(folder.File("clear.gif"));
    }
};

TEST(HostPictures, DrawnFromJpegPngAndGif) {
    const PeerPictures peer;
    ASSERT_FALSE(peer.jpeg.empty());
    const uint8_t red = HostNearestColorIndex(255, 0, 0);
    const uint8_t blue = HostNearestColorIndex(0, 0, 255);
    const uint8_t green = HostNearestColorIndex(0, 153, 0);

    // A JPEG stream somewhere behind the header, after other bytes: drawn scaled to 4 x 2.
    HostHandle jpeg = PictureWith(std::string(500, 'x') + peer.jpeg + "trailing", 0, 0, 16, 16);
    {
        Canvas canvas(4, 2);
        HostRect r{0, 0, 2, 4};
        HostRenderPicture(jpeg, &r);
        EXPECT_EQ(canvas.all(), std::vector<uint8_t>(8, red));
    }
    // Transparent pixels leave what is there; half-transparent black over white is mid grey.
    HostHandle png = PictureWith(peer.png, 0, 0, 1, 3);
    {
        Canvas canvas(3, 1);
        HostRect r{0, 0, 1, 3};
        HostRenderPicture(png, &r);
        const uint8_t grey[3] = {127, 127, 127};
        EXPECT_EQ(canvas.all(), (std::vector<uint8_t>{0, static_cast<uint8_t>(BruteNearest(grey)), blue}));
    }
    // GIF data as they stand, the transparent pixel over black stays black.
    HostHandle gif = NewHandleWith(peer.gif);
    {
        Canvas canvas(2, 1);
        HostSetBackgroundColor(HostBlackColor);
        HostRect r{0, 0, 1, 2};
        HostClearRect(&r);
        HostRenderPicture(gif, &r);
        EXPECT_EQ(canvas.all(), (std::vector<uint8_t>{green, 255}));
    }
    // A PNG anywhere but right behind the header is not a picture the layer knows.
    HostHandle misplaced = PictureWith("ab" + peer.png, 0, 0, 1, 3);
    HostDecodedPicture decoded;
    EXPECT_EQ(HostDecodePicture(*misplaced, HostGetHandleSize(misplaced), &decoded), HostParamErr);
    EXPECT_EQ(decoded.rgba, nullptr);
    ASSERT_EQ(HostDecodePicture(*png, HostGetHandleSize(png), &decoded), HostNoErr);
    EXPECT_EQ(decoded.width, 3);
    EXPECT_EQ(decoded.height, 1);
    HostReleaseDecodedPicture(&decoded);
    for (HostHandle h : {jpeg, png, gif, misplaced}) HostDisposeHandle(h);
}

TEST(HostPictures, DamagedPicturesDrawNothing) {
    const PeerPictures peer;
    Indices image{7, 5, {}};
    for (int i = 0; i < 35; ++i) image.pixels.push_back(static_cast<uint8_t>(i * 7));
    std::vector<std::string> pictures = {std::string(10, '\0') + PngOf(image), std::string(10, '\0') + peer.jpeg,
                                         peer.gif};
    std::mt19937 random(11);
    Canvas canvas(7, 5);
    HostRect r{0, 0, 5, 7};
    int decoded = 0, attempts = 0;
    for (const std::string& good : pictures) {
        // Every truncation, and bytes flipped at random places: no crash, no read outside the
        // data, and either a decoded image or nothing drawn.
        std::vector<std::string> damaged;
        for (size_t n = 0; n < good.size(); n += 1 + good.size() / 97) damaged.push_back(good.substr(0, n));
        for (int k = 0; k < 150; ++k) {
            std::string bad = good;
            for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; --flips)
                bad[random() % bad.size()] = static_cast<char>(random());
            damaged.push_back(bad);
        }
        for (const std::string& bad : damaged) {
            // An exact-size copy, so the sanitizer sees any read past the end.
            std::vector<char> exact(bad.begin(), bad.end());
            HostDecodedPicture out;
            const int16_t status = HostDecodePicture(exact.data(), static_cast<int32_t>(exact.size()), &out);
            ++attempts;
            if (status == HostNoErr) {
                ++decoded;
                ASSERT_NE(out.rgba, nullptr);
                ASSERT_GT(out.width, 0);
                ASSERT_GT(out.height, 0);
            } else {
                ASSERT_EQ(out.rgba, nullptr);
            }
            HostReleaseDecodedPicture(&out);
            HostHandle picture = NewHandleWith(bad);
            HostRenderPicture(picture, &r);
            HostDisposeHandle(picture);
        }
    }
    EXPECT_GT(attempts, decoded);

    // A JPEG Huffman table declaring more than 256 codes would overrun the decoder's tables: it
    // is refused whole.
    std::string overfull = std::string(10, '\0') + peer.jpeg;
    const size_t table = overfull.find("\xFF\xC4");
    ASSERT_NE(table, std::string::npos);
    for (int k = 0; k < 16; ++k) overfull[table + 5 + k] = static_cast<char>(0xFF);
    std::vector<char> exact(overfull.begin(), overfull.end());
    HostDecodedPicture out;
    EXPECT_EQ(HostDecodePicture(exact.data(), static_cast<int32_t>(exact.size()), &out), HostParamErr);
    EXPECT_EQ(out.rgba, nullptr);
    // Truncated to its header, a picture draws nothing: the canvas cleared to white stays white.
    HostSetBackgroundColor(HostWhiteColor);
    HostClearRect(&r);
    HostHandle header = NewHandleWith(pictures[0].substr(0, 30));
    HostRenderPicture(header, &r);
    EXPECT_EQ(canvas.all(), std::vector<uint8_t>(35, 0));
    HostDisposeHandle(header);
}

}  // namespace
}  // namespace zor::test::giftest
