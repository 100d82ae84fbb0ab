// picture_test.cpp: image files made by Pillow become host pictures with the right header.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "shell/host.h"

namespace zor::shell {
namespace {

class ImageFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/zor-picture-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir_ = folder;
        // Pillow writes the images: a PNG, a baseline and a progressive JPEG (with an EXIF segment
        // before the frame header), a GIF, and a noisy PNG over 64 KB.
        const std::string script =
            "import sys, os\n"
            "from PIL import Image\n"
            "d = sys.argv[1]\n"
            "Image.new('RGB', (37, 21), (200, 10, 10)).save(os.path.join(d, 'a.png'))\n"
            "exif = Image.Exif(); exif[0x010F] = 'maker'\n"
            "Image.new('RGB', (50, 30), (1, 2, 3)).save(os.path.join(d, 'b.jpg'), exif=exif)\n"
            "Image.new('L', (19, 11), 128).save(os.path.join(d, 'c.jpg'), progressive=True)\n"
            "Image.new('P', (5, 7), 3).save(os.path.join(d, 'd.gif'))\n"
            "Image.frombytes('RGB', (200, 200), os.urandom(120000)).save(os.path.join(d, 'e.png'))\n";
        const std::string command = "/usr/bin/python3 -c \"" + script + "\" " + dir_;
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const char* leaf) const { return dir_ + "/" + leaf; }
    std::string Bytes(const char* leaf) const {
        std::ifstream f(Path(leaf), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    // Checks the 10-byte header and that the file follows it unchanged.
    void ExpectFramed(const char* leaf, int16_t height, int16_t width) {
        std::string data, error;
        ASSERT_TRUE(PictureFromImageFile(Path(leaf), data, error)) << error;
        const std::string file = Bytes(leaf);
        ASSERT_EQ(data.size(), file.size() + 10);
        int16_t header[5];
        std::memcpy(header, data.data(), sizeof header);
        EXPECT_EQ(header[0], static_cast<int16_t>((file.size() + 10) & 0xFFFF)) << leaf;
        EXPECT_EQ(header[1], 0);
        EXPECT_EQ(header[2], 0);
        EXPECT_EQ(header[3], height) << leaf;
        EXPECT_EQ(header[4], width) << leaf;
        EXPECT_EQ(data.substr(10), file);
    }

    std::string dir_;
};

TEST_F(ImageFiles, JpegAndPngGetTheHeaderGifStaysAsItIs) {
    ExpectFramed("a.png", 21, 37);
    ExpectFramed("b.jpg", 30, 50);
    ExpectFramed("c.jpg", 11, 19);
    ExpectFramed("e.png", 200, 200);
    std::string data, error;
    ASSERT_TRUE(PictureFromImageFile(Path("d.gif"), data, error)) << error;
    EXPECT_EQ(data, Bytes("d.gif"));
}

TEST_F(ImageFiles, OtherFilesAreRefused) {
    std::string data, error;
    EXPECT_FALSE(PictureFromImageFile(Path("missing.png"), data, error));
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;

    std::ofstream(Path("text.txt")) << "GIF7 is not a signature";
    EXPECT_FALSE(PictureFromImageFile(Path("text.txt"), data, error));
    EXPECT_NE(error.find("not a GIF, JPEG or PNG"), std::string::npos) << error;

    // A JPEG cut off before its frame header, and one whose segment length runs past the end.
    const std::string jpeg = Bytes("b.jpg");
    std::ofstream(Path("cut.jpg"), std::ios::binary) << jpeg.substr(0, 6);
    EXPECT_FALSE(PictureFromImageFile(Path("cut.jpg"), data, error));
    std::ofstream(Path("long.jpg"), std::ios::binary) << std::string("\xFF\xD8\xFF\xE0\xFF\xFF\x00\x00", 8);
    EXPECT_FALSE(PictureFromImageFile(Path("long.jpg"), data, error));

    // A PNG whose width does not fit the frame's 16-bit coordinates.
    std::string png = Bytes("a.png");
    png[16] = 0, png[17] = 0, png[18] = static_cast<char>(0x9C), png[19] = 0x40;  // 40000
    std::ofstream(Path("wide.png"), std::ios::binary) << png;
    EXPECT_FALSE(PictureFromImageFile(Path("wide.png"), data, error));
    EXPECT_NE(error.find("does not fit"), std::string::npos) << error;
}

}  // namespace
}  // namespace zor::shell
