// peer_images_test.cpp: the sample images of python3's own test suite (a GIF with a transparent
// colour, a paletted PNG with partial transparency, two JPEG files) run through zor: decoded as
// Pillow decodes them, reported by PictureInfo, written back out by PictureToFile, and turned into
// GIF files that Pillow, giflib and the tests' own decoder all read as the drawn image.
#include <gtest/gtest.h>

#include <cstdlib>

#include "gif_support.h"
#include "zor/host_drawing.h"
#include "support/peer.h"

namespace zor::test::giftest {
namespace {

struct Sample {
    std::string name;  // file name in the suite's image folder
    bool jpeg;
};

const Sample kSamples[] = {{"python.gif", false}, {"python.png", false}, {"python.jpg", true}, {"python-raw.jpg", true}};

// Pillow's RGBA pixels of each sample, written to NAME.rgba, and "width height" lines.
std::vector<std::string> PillowRgba(const TempDir& folder, const std::string& images) {
    WriteFile(folder.File("rgba.py"),
              "import sys\n"
              "from PIL import Image\n"
              "for name in sys.argv[3:]:\n"
              "    with Image.open(sys.argv[1] + '/' + name) as im:\n"
              "        rgba = im.convert('RGBA')\n"
              "        open(sys.argv[2] + '/' + name + '.rgba', 'wb').write(rgba.tobytes())\n"
              "        print(rgba.size[0], rgba.size[1])\n");
    std::vector<std::string> args{"/usr/bin/python3", folder.File("rgba.py"), images, folder.path};
    for (const Sample& s : kSamples) args.push_back(s.name);
    Peer python(args);
    std::vector<std::string> sizes;
    for (std::string line; !(line = python.ReadLine()).empty();) sizes.push_back(line);
    EXPECT_EQ(python.Finish(), 0);
    return sizes;
}

TEST(PythonSampleImages, DecodedReportedWrittenAndConvertedToGif) {
    const std::string images = PythonTestData("imghdrdata");
    ASSERT_FALSE(images.empty()) << "python3's test suite is not installed (scripts/deps installs it)";
    TempDir folder;
    const std::vector<std::string> sizes = PillowRgba(folder, images);
    ASSERT_EQ(sizes.size(), std::size(kSamples));
    PluginHost host;
    std::vector<std::string> gifNames;
    for (size_t n = 0; n < std::size(kSamples); ++n) {
        const Sample& sample = kSamples[n];
        SCOPED_TRACE(sample.name);
        const std::string file = ReadFile(images + "/" + sample.name);
        ASSERT_FALSE(file.empty());
        int width = 0, height = 0;
        ASSERT_EQ(std::sscanf(sizes[n].c_str(), "%d %d", &width, &height), 2);
        const std::string pillow = ReadFile(folder.File(sample.name + ".rgba"));
        ASSERT_EQ(pillow.size(), size_t(width) * height * 4);

        // GIF data stand as they are; other images sit behind the picture header.
        const bool gif = file.compare(0, 4, "GIF8") == 0;
        HostHandle picture = gif ? NewHandleWith(file)
                                 : PictureWith(file, 0, 0, static_cast<int16_t>(height), static_cast<int16_t>(width));

        HostDecodedPicture decoded;
        ASSERT_EQ(HostDecodePicture(*picture, HostGetHandleSize(picture), &decoded), HostNoErr);
        ASSERT_EQ(decoded.width, width);
        ASSERT_EQ(decoded.height, height);
        int worst = 0;
        long total = 0;
        for (size_t i = 0; i < pillow.size(); i += 4) {
            const auto* ours = decoded.rgba + i;
            const auto* theirs = reinterpret_cast<const uint8_t*>(pillow.data() + i);
            ASSERT_EQ(ours[3], theirs[3]) << "alpha of pixel " << i / 4;
            if (theirs[3] == 0) continue;  // the colour under a transparent pixel is nobody's business
            for (int k = 0; k < 3; ++k) {
                const int d = std::abs(ours[k] - theirs[k]);
                worst = std::max(worst, d);
                total += d;
            }
        }
        if (sample.jpeg) {
            // Two JPEG decoders differ by a step or two in their rounding.
            EXPECT_LE(worst, 8);
            EXPECT_LE(double(total) / double(pillow.size() / 4 * 3), 1.0);
        } else {
            EXPECT_EQ(worst, 0);
        }

        // PictureInfo: the size, the frame of the header (GIF data have none), the GIF flag.
        int32_t frame[4] = {-1, -1, -1, -1}, isGif = -1;
        EXPECT_EQ(host.CallInt(47, {&picture, &frame[0], &frame[1], &frame[2], &frame[3], &isGif}),
                  HostGetHandleSize(picture));
        EXPECT_EQ(isGif, gif ? 1 : 0);
        if (!gif) {
            EXPECT_EQ(frame[2], height);
            EXPECT_EQ(frame[3], width);
        }

        // PictureToFile gives back the GIF or JPEG file as it was (a PNG comes out with its header).
        Text path(folder.File(sample.name + ".out"));
        EXPECT_EQ(host.CallInt(57, {&picture, &path.block}), 0);
        const std::string written = ReadFile(folder.File(sample.name + ".out"));
        if (gif || sample.jpeg) {
            EXPECT_TRUE(written == file);
        }

        // Converted to a GIF file at its own size: transparent pixels show the white background, the
        // opaque ones their nearest colour of the table.
        HostHandle converted = PictureToGif(host, picture, 0, width, height, 0, 0);
        ASSERT_NE(converted, nullptr);
        const std::string bytes = HandleBytes(converted);
        HostDisposeHandle(converted);
        HostDisposeHandle(picture);
        GifFile file87;
        std::string why;
        ASSERT_TRUE(ReadGif(bytes, file87, why)) << why;
        const LzwTrace trace = DecodeLzw(file87.codeStream);
        ASSERT_EQ(trace.error, "");
        ASSERT_EQ(trace.pixels.size(), size_t(width) * height);
        for (size_t p = 0; p < trace.pixels.size(); ++p) {
            const auto* rgba = reinterpret_cast<const uint8_t*>(pillow.data() + p * 4);
            if (rgba[3] == 255) {
                ASSERT_EQ(trace.pixels[p], HostNearestColorIndex(decoded.rgba[p * 4], decoded.rgba[p * 4 + 1],
                                                                 decoded.rgba[p * 4 + 2]))
                    << "pixel " << p;
            } else if (rgba[3] == 0) {
                ASSERT_EQ(trace.pixels[p], HostNearestColorIndex(255, 255, 255)) << "pixel " << p;
            }
        }
        HostReleaseDecodedPicture(&decoded);
        const std::string gifName = "converted" + std::to_string(n);
        WriteFile(folder.File(gifName + ".gif"), bytes);
        WriteFile(folder.File(gifName + ".own"), std::string(trace.pixels.begin(), trace.pixels.end()));
        gifNames.push_back(gifName);
    }
    ASSERT_TRUE(DecodeWithPillow(folder, gifNames));
    for (const std::string& name : gifNames) {
        const std::string own = ReadFile(folder.File(name + ".own"));
        EXPECT_TRUE(ReadFile(folder.File(name + ".pil")) == own) << name << " (Pillow)";
        std::vector<uint8_t> giflib;
        EXPECT_TRUE(DecodeWithGiflib(folder, name, giflib)) << name;
        EXPECT_TRUE(std::string(giflib.begin(), giflib.end()) == own) << name << " (giflib)";
    }
}

}  // namespace
}  // namespace zor::test::giftest
