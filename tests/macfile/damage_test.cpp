// damage_test.cpp: every truncation and a flipped byte at every position of small encoded files:
// no crash, nothing read or written out of bounds (the sanitizer build watches), nothing left open,
// and no success unless the file came back whole.
#include <unistd.h>

#include "support.h"

namespace zor::test {
namespace {

struct Original {
    std::string data = std::string("head\x90\x90\x90 tail ") + std::string(20, 'r') + "end";
    std::string rsrc = std::string("\x00\x01\x02\x90rsrc", 8) + std::string(9, '\xFF');
};

// True when `path` holds exactly the original forks and type.
bool Whole(const std::string& path, const Original& o) {
    if (!FileExists(path) || ReadFile(path) != o.data) return false;
    return ResourceOf(path) == o.rsrc && FinderOf(path).type == HostResourceType("TEXT");
}

class Damage : public ::testing::Test {
protected:
    // Hundreds of decodes: the volume flush need not wait for the disk each time.
    void SetUp() override {
        HostSetDurableFlush(false);
        WriteFile(dir / "src", o.data);
        SetMacInfo(dir / "src", "TEXT", "ttxt", 0x2000, o.rsrc);
    }
    // Decodes `bytes` with `decode`; checks the outcome.
    void TearDown() override { HostSetDurableFlush(true); }
    template <typename Decode>
    void Check(const std::string& bytes, Decode decode, const std::string& what) {
        WriteFile(dir / "in", bytes);
        unlink((dir / "out").c_str());
        unlink((dir / "._out").c_str());
        const int64_t live = HostLiveAllocations();
        const int32_t status = decode(dir / "in", dir / "out");
        if (status == 0) {
            EXPECT_TRUE(Whole(dir / "out", o)) << what << ": success for a damaged file";
        }
        EXPECT_EQ(HostOpenForkCount(), 0) << what;
        EXPECT_EQ(HostLiveAllocations(), live) << what;
    }
    PluginHost host;
    TempDir dir{"/dev/shm"};
    Original o;
};

TEST_F(Damage, BinHexTruncatedOrFlipped) {
    ASSERT_EQ(BinHexEncode(host, dir / "src", dir / "src.hqx"), 0);
    const std::string good = ReadFile(dir / "src.hqx");
    auto decode = [&](const std::string& from, const std::string& to) { return BinHexDecode(host, from, to); };
    int rejected = 0;
    for (size_t n = 0; n < good.size(); ++n) {
        Check(good.substr(0, n), decode, "cut at " + std::to_string(n));
        rejected += !Whole(dir / "out", o);
    }
    EXPECT_GT(rejected, int(good.size()) - 60);
    for (size_t i = 0; i < good.size(); ++i)
        for (uint8_t flip : {0x01, 0x20, 0xFF}) {
            std::string bad = good;
            bad[i] = static_cast<char>(bad[i] ^ flip);
            Check(bad, decode, "byte " + std::to_string(i) + " ^ " + std::to_string(flip));
        }
}

TEST_F(Damage, MacBinaryTruncatedOrFlipped) {
    ASSERT_EQ(MacBinaryEncode(host, dir / "src", dir / "src.bin"), 0);
    const std::string good = ReadFile(dir / "src.bin");
    auto decode = [&](const std::string& from, const std::string& to) { return MacBinaryDecode(host, from, to); };
    for (size_t n = 0; n < good.size(); ++n) Check(good.substr(0, n), decode, "cut at " + std::to_string(n));
    for (size_t i = 0; i < good.size(); ++i) {
        std::string bad = good;
        bad[i] = static_cast<char>(bad[i] ^ 0x41);
        WriteFile(dir / "in", bad);
        const int32_t status = MacBinaryDecode(host, dir / "in", dir / "flipped");
        // The header's CRC catches any flipped byte in 0..125; fork bytes carry no check of their own.
        if (i < 126) {
            EXPECT_EQ(status, 3) << "byte " << i;
        }
        EXPECT_EQ(HostOpenForkCount(), 0);
    }
}

}  // namespace
}  // namespace zor::test
