// destinations_test.cpp: where the four conversions may write: never onto a file they read (the
// source or its sidecar, under any name), and never over a destination unless they succeed.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "support.h"

namespace zor::test {
namespace {

using Conversion = int32_t (*)(PluginHost&, const std::string&, const std::string&);

// Every entry of a folder tree: its bytes, or "->target" for a link.
std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> all;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string path = e.path().string();
        if (e.is_symlink()) all[path] = "->" + std::filesystem::read_symlink(e.path()).string();
        else if (e.is_regular_file()) all[path] = ReadFile(path);
    }
    return all;
}

struct Case {
    const char* what;     // the conversion
    Conversion run;       // it, through the plug-in
    const char* source;   // the leaf it reads
};

const Case kCases[] = {
    {"MacBinaryEncode", MacBinaryEncode, "doc"},
    {"BinHexEncode", BinHexEncode, "doc"},
    {"MacBinaryDecode", MacBinaryDecode, "doc.bin"},
    {"BinHexDecode", BinHexDecode, "doc.hqx"},
};

// A document with both forks, and its two encodings, each with a sidecar of its own.
void MakeDocuments(PluginHost& host, const TempDir& dir) {
    WriteFile(dir / "doc", Pattern(70000, 3));
    SetMacInfo(dir / "doc", "TEXT", "ttxt", 0x0100, Pattern(3000, 4));
    ASSERT_EQ(MacBinaryEncode(host, dir / "doc", dir / "doc.bin"), 0);
    ASSERT_EQ(BinHexEncode(host, dir / "doc", dir / "doc.hqx"), 0);
    ASSERT_TRUE(FileExists(dir / "._doc") && FileExists(dir / "._doc.bin") && FileExists(dir / "._doc.hqx"));
}

TEST(Destinations, EveryNameOfAFileTheConversionReadsIsRefused) {
    PluginHost host;
    TempDir dir;
    MakeDocuments(host, dir);
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0700), 0);
    for (const Case& c : kCases) {
        const std::string source = dir / c.source, side = dir / ("._" + std::string(c.source));
        ASSERT_EQ(link(source.c_str(), (dir / "hard").c_str()), 0);
        ASSERT_EQ(symlink(source.c_str(), (dir / "soft").c_str()), 0);
        ASSERT_EQ(link(side.c_str(), (dir / "hard-side").c_str()), 0);
        ASSERT_EQ(symlink(side.c_str(), (dir / "soft-side").c_str()), 0);
        ASSERT_EQ(symlink(("../._" + std::string(c.source)).c_str(), (dir / "sub/up-side").c_str()), 0);
        const auto before = Snapshot(dir.path);
        for (const std::string& to :
             {source, dir.path + "/./" + c.source, dir.path + "/sub/../" + c.source, dir / "hard", dir / "soft",
              dir / "hard-side", dir / "soft-side", dir.path + "/sub/../hard-side", dir / "sub/up-side"}) {
            SCOPED_TRACE(std::string(c.what) + " onto " + to);
            EXPECT_EQ(c.run(host, source, to), HostOpWrErr);
            EXPECT_TRUE(Snapshot(dir.path) == before);
        }
        for (const char* leaf : {"hard", "soft", "hard-side", "soft-side", "sub/up-side"}) unlink((dir / leaf).c_str());
    }
}

// A missing source, a bad name, a folder, a damaged stream: the destination keeps its bytes and its
// sidecar, and no part-written file is left beside it.
TEST(Destinations, AFailedConversionLeavesTheDestinationAsItWas) {
    PluginHost host;
    TempDir dir;
    MakeDocuments(host, dir);
    WriteFile(dir / "bad.bin", ReadFile(dir / "doc.bin").substr(0, 40000));
    std::string hqx = ReadFile(dir / "doc.hqx");
    hqx[hqx.size() / 2] = hqx[hqx.size() / 2] == 'A' ? 'B' : 'A';
    WriteFile(dir / "bad.hqx", hqx);
    std::string plain;
    for (int i = 0; i < 10; ++i) plain += "no encoded data here\r";
    WriteFile(dir / "plain", plain);
    WriteFile(dir / "keep", "keep these bytes");
    SetMacInfo(dir / "keep", "KEEP", "kept", 0, "its resource fork");
    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);
    const auto before = Snapshot(dir.path);
    const struct {
        Conversion run;
        std::string source;
        int32_t status;
    } failures[] = {
        {MacBinaryEncode, dir / "missing", HostFnfErr},  {BinHexEncode, dir / "missing", HostFnfErr},
        {MacBinaryDecode, dir / "missing", HostFnfErr},  {BinHexDecode, dir / "missing", HostFnfErr},
        {BinHexEncode, dir / "no/such/x", HostDirNFErr}, {BinHexEncode, dir / "._doc", HostBadNameErr},
        {MacBinaryEncode, dir / "folder", HostFnfErr},   {BinHexEncode, dir / "folder", HostFnfErr},
        {MacBinaryDecode, dir / "bad.bin", HostEofErr},  {BinHexDecode, dir / "bad.hqx", 5},
        {MacBinaryDecode, dir / "plain", 3},             {BinHexDecode, dir / "plain", 4},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.source);
        EXPECT_EQ(f.run(host, f.source, dir / "keep"), f.status);
        EXPECT_TRUE(Snapshot(dir.path) == before);
    }
}

// A conversion that succeeds replaces the file a linked destination leads to, keeping the link, and
// the destination keeps its permission bits.
TEST(Destinations, ASuccessfulConversionReplacesWhatTheNameLeadsTo) {
    PluginHost host;
    TempDir dir;
    MakeDocuments(host, dir);
    WriteFile(dir / "target", "old");
    ASSERT_EQ(chmod((dir / "target").c_str(), 0640), 0);
    ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
    ASSERT_EQ(BinHexEncode(host, dir / "doc", dir / "link"), 0);
    EXPECT_EQ(ReadFile(dir / "target"), ReadFile(dir / "doc.hqx"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link"));
    struct stat st;
    ASSERT_EQ(stat((dir / "target").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ASSERT_EQ(MacBinaryDecode(host, dir / "doc.bin", dir / "link"), 0);
    EXPECT_TRUE(ReadFile(dir / "target") == ReadFile(dir / "doc"));
    EXPECT_TRUE(ResourceOf(dir / "target") == ResourceOf(dir / "doc"));
}

}  // namespace
}  // namespace zor::test
