// cancel_test.cpp: a conversion the host cancels ends with -128, leaving no fork open and no
// memory taken, and the next conversion runs as if none had been cancelled.
#include "support.h"

namespace zor::test {
namespace {

void CancelNow(void*) { HostRequestCancel(); }

TEST(CancelConversion, EachOfTheFourEndsWithMinus128AndHoldsNothing) {
    PluginHost host;
    TempDir dir;
    WriteFile(dir / "src", Pattern(200000, 7));
    SetMacInfo(dir / "src", "TEXT", "ttxt", 0, "rsrc");
    ASSERT_EQ(MacBinaryEncode(host, dir / "src", dir / "src.bin"), 0);
    ASSERT_EQ(BinHexEncode(host, dir / "src", dir / "src.hqx"), 0);
    using Convert = int32_t (*)(PluginHost&, const std::string&, const std::string&);
    const struct {
        Convert convert;
        const char* from;
    } cases[] = {{MacBinaryEncode, "src"}, {MacBinaryDecode, "src.bin"}, {BinHexEncode, "src"}, {BinHexDecode, "src.hqx"}};
    for (const auto& c : cases) {
        const int64_t live = HostLiveAllocations();
        HostSetYieldCallback(CancelNow, nullptr);
        EXPECT_EQ(c.convert(host, dir / c.from, dir / "out"), -128) << c.from;
        HostSetYieldCallback(nullptr, nullptr);
        HostClearCancel();
        EXPECT_EQ(HostOpenForkCount(), 0) << c.from;
        EXPECT_EQ(HostLiveAllocations(), live) << c.from;
        EXPECT_EQ(c.convert(host, dir / c.from, dir / "out2"), 0) << c.from;
    }
    EXPECT_EQ(ReadFile(dir / "out2"), Pattern(200000, 7));
}

}  // namespace
}  // namespace zor::test
