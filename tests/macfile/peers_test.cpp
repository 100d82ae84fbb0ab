// peers_test.cpp: zor's BinHex and MacBinary files through real peers (macutils hexbin and binhex,
// hfsutils hcopy into an HFS image, unar and lsar), and files those peers make decoded by zor.
#include "support.h"

namespace zor::test {
namespace {

uint32_t Big32(const std::string& s, size_t at) {
    return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 | uint32_t(uint8_t(s[at + 2])) << 8 |
           uint8_t(s[at + 3]);
}

// A MacBinary file read here, field by field, with no help from zor.
struct Parsed {
    std::string typeCreator, data, rsrc;
};
Parsed ParseMacBinary(const std::string& bin) {
    Parsed p;
    if (bin.size() < 128) return p;
    p.typeCreator = bin.substr(65, 8);
    const uint32_t dl = Big32(bin, 83), rl = Big32(bin, 87);
    p.data = bin.substr(128, dl);
    p.rsrc = bin.size() > 128 + dl + (128 - dl % 128) % 128 ? bin.substr(128 + dl + (128 - dl % 128) % 128, rl) : "";
    return p;
}

// A folder holding an empty 1440 KiB HFS image, mounted for hfsutils (whose current-volume record
// lives in $HOME, so each test has its own).
struct HfsImage {
    TempDir dir;
    std::string Run(const std::string& command) const {
        return "export HOME=" + dir.path + "; cd " + dir.path + " && " + command;
    }
    HfsImage() {
        EXPECT_EQ(Shell(Run("dd if=/dev/zero of=disk.img bs=1024 count=1440 && hformat -l Zor disk.img")), 0);
    }
};

class Peers : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"hexbin", "binhex", "hcopy", "hformat", "hattrib", "unar", "lsar"})
            if (Shell(std::string("command -v ") + tool) != 0) GTEST_SKIP() << tool << " is not installed";
        data = Pattern(30000, 21);
        rsrc = Pattern(4097, 22);
        WriteFile(img.dir / "doc", data);
        SetMacInfo(img.dir / "doc", "TEXT", "ttxt", 0x0000, rsrc);
    }
    PluginHost host;
    HfsImage img;
    std::string data, rsrc;
};

TEST_F(Peers, ZorBinHexDecodesWithHexbinHcopyAndLsar) {
    ASSERT_EQ(BinHexEncode(host, img.dir / "doc", img.dir / "doc.hqx"), 0);
    ASSERT_EQ(Shell(img.Run("hexbin -3 -n out doc.hqx")), 0);
    EXPECT_EQ(ReadFile(img.dir / "out.data"), data);
    EXPECT_EQ(ReadFile(img.dir / "out.rsrc"), rsrc);
    EXPECT_EQ(ReadFile(img.dir / "out.info").substr(65, 8), "TEXTttxt");

    ASSERT_EQ(Shell(img.Run("hcopy -b doc.hqx :doc")), 0) << "hfsutils reads zor's BinHex";
    ASSERT_EQ(Shell(img.Run("hcopy -m :doc back.bin")), 0);
    const Parsed back = ParseMacBinary(ReadFile(img.dir / "back.bin"));
    EXPECT_EQ(back.typeCreator, "TEXTttxt");
    EXPECT_EQ(back.data, data);
    EXPECT_EQ(back.rsrc, rsrc);

    EXPECT_EQ(Shell(img.Run("lsar -t doc.hqx | grep -q '2 passed, 0 failed'")), 0);
}

TEST_F(Peers, ZorMacBinaryAcceptedByHcopyAndUnar) {
    ASSERT_EQ(MacBinaryEncode(host, img.dir / "doc", img.dir / "doc.bin"), 0);
    ASSERT_EQ(Shell(img.Run("hcopy -m doc.bin :doc")), 0);
    ASSERT_EQ(Shell(img.Run("hcopy -r :doc raw && hcopy -m :doc back.bin")), 0);
    EXPECT_EQ(ReadFile(img.dir / "raw"), data);
    const Parsed back = ParseMacBinary(ReadFile(img.dir / "back.bin"));
    EXPECT_EQ(back.typeCreator, "TEXTttxt");
    EXPECT_EQ(back.rsrc, rsrc);

    ASSERT_EQ(Shell(img.Run("mkdir u && cd u && unar -q -k hidden ../doc.bin")), 0);
    EXPECT_EQ(ReadFile(img.dir / "u/doc"), data);
    EXPECT_EQ(ResourceOf(img.dir / "u/doc"), rsrc);
    EXPECT_EQ(FinderOf(img.dir / "u/doc").type, HostResourceType("TEXT"));
}

// Files the peers make, with a resource fork and a type and creator set in the HFS image.
TEST_F(Peers, PeerMadeFilesDecodeWithZor) {
    ASSERT_EQ(BinHexEncode(host, img.dir / "doc", img.dir / "doc.hqx"), 0);
    ASSERT_EQ(Shell(img.Run("hcopy -b doc.hqx :doc && hattrib -t ABCD -c WXYZ :doc")), 0);
    ASSERT_EQ(Shell(img.Run("hcopy -m :doc peer.bin && hcopy -b :doc peer.hqx && binhex peer.bin > mu.hqx")), 0);
    for (const char* made : {"peer.bin", "peer.hqx", "mu.hqx"}) {
        const std::string file = made;
        const std::string out = img.dir / ("out-" + file);
        const int32_t status = file.ends_with(".bin") ? MacBinaryDecode(host, img.dir / file, out)
                                                      : BinHexDecode(host, img.dir / file, out);
        ASSERT_EQ(status, 0) << file;
        EXPECT_EQ(ReadFile(out), data) << file;
        EXPECT_EQ(ResourceOf(out), rsrc) << file;
        EXPECT_EQ(FinderOf(out).type, HostResourceType("ABCD")) << file;
        EXPECT_EQ(FinderOf(out).creator, HostResourceType("WXYZ")) << file;
    }
}

}  // namespace
}  // namespace zor::test
