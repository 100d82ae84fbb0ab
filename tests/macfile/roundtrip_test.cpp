// roundtrip_test.cpp: a 64 MiB data fork with a 1 MiB resource fork, type, creator, flags and dates
// through each encoding and back, byte for byte.
#include "macfile/macfile.h"
#include "support.h"

namespace zor::test {
namespace {

TEST(RoundTrip, SixtyFourMebibytesThroughBothEncodings) {
    PluginHost host;
    TempDir dir{"/dev/shm"};
    const std::string data = Pattern(64u << 20, 31);
    const std::string rsrc = Pattern(1u << 20, 32);
    WriteFile(dir / "big", data);
    SetMacInfo(dir / "big", "BIGF", "ZORx", 0x2100 | 0x0001, rsrc);
    Str255 name(dir / "big");
    HostCatalogInfo info{};
    info.name = name.bytes;
    ASSERT_EQ(HostGetCatalogInfo(&info), 0);
    info.created = 3000000000u;
    info.modified = 3200000000u;
    ASSERT_EQ(HostSetCatalogInfo(&info), 0);

    ASSERT_EQ(MacBinaryEncode(host, dir / "big", dir / "big.bin"), 0);
    ASSERT_EQ(MacBinaryDecode(host, dir / "big.bin", dir / "from-bin"), 0);
    ASSERT_EQ(BinHexEncode(host, dir / "big", dir / "big.hqx"), 0);
    ASSERT_EQ(BinHexDecode(host, dir / "big.hqx", dir / "from-hqx"), 0);
    for (const char* leaf : {"from-bin", "from-hqx"}) {
        EXPECT_TRUE(ReadFile(dir / leaf) == data) << leaf;
        EXPECT_TRUE(ResourceOf(dir / leaf) == rsrc) << leaf;
        const HostFinderInfo f = FinderOf(dir / leaf);
        EXPECT_EQ(f.type, HostResourceType("BIGF"));
        EXPECT_EQ(f.creator, HostResourceType("ZORx"));
        EXPECT_EQ(f.flags, 0x2000) << "bits 0, 8 and 14 are masked by both decoders";
    }
    Str255 fromBin(dir / "from-bin");
    HostCatalogInfo back{};
    back.name = fromBin.bytes;
    ASSERT_EQ(HostGetCatalogInfo(&back), 0);
    EXPECT_EQ(back.created, 3000000000u);
    EXPECT_EQ(back.modified, 3200000000u);
}

}  // namespace
}  // namespace zor::test
