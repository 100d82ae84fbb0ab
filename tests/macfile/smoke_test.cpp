// roundtrip_test.cpp
#include "support.h"
namespace zor::test {
TEST(Smoke, Both) {
    PluginHost host;
    TempDir dir;
    WriteAll(dir / "f", Pattern(100000, 1));
    SetMacInfo(dir / "f", "TEXT", "ttxt", 0x2100, Pattern(5000, 2));
    EXPECT_EQ(MacBinaryEncode(host, dir / "f", dir / "f.bin"), 0);
    EXPECT_EQ(MacBinaryDecode(host, dir / "f.bin", dir / "g"), 0);
    EXPECT_EQ(ReadAll(dir / "g"), ReadAll(dir / "f"));
    EXPECT_EQ(ResourceOf(dir / "g"), Pattern(5000, 2));
    EXPECT_EQ(BinHexEncode(host, dir / "f", dir / "f.hqx"), 0);
    EXPECT_EQ(BinHexDecode(host, dir / "f.hqx", dir / "h"), 0);
    EXPECT_EQ(ReadAll(dir / "h"), ReadAll(dir / "f"));
    EXPECT_EQ(ResourceOf(dir / "h"), Pattern(5000, 2));
    Shell("cp -r " + dir.path + " /tmp/mfsmoke");
}
}
