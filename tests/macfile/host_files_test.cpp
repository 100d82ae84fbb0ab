// host_files_test.cpp: the file model on POSIX files: forks, Finder information, statuses, the
// sidecar's layout (against unar's), its parser on hostile bytes, and failing system calls.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "host/files_sidecar.h"
#include "support.h"

namespace zor::test {
namespace {

TEST(FileModel, PlainFileHasEmptyResourceForkAndZeroFinderInfo) {
    TempDir dir;
    WriteFile(dir / "plain", "hello");
    Str255 name(dir / "plain");
    HostCatalogInfo info{};
    info.name = name.bytes;
    ASSERT_EQ(HostGetCatalogInfo(&info), 0);
    EXPECT_EQ(info.dataLength, 5);
    EXPECT_EQ(info.resourceLength, 0);
    EXPECT_EQ(info.finderInfo.type, 0u);
    EXPECT_EQ(info.finderInfo.flags, 0);
    EXPECT_EQ(info.attributes, 0);
    EXPECT_EQ(ResourceOf(dir / "plain"), "");
    EXPECT_FALSE(FileExists(dir / "._plain")) << "reading never makes a sidecar";
    // Zero Finder information written to a file without a sidecar keeps it without one.
    HostFinderInfo zero{};
    EXPECT_EQ(HostSetFinderInfo(name.bytes, 0, &zero), 0);
    EXPECT_FALSE(FileExists(dir / "._plain"));
}

TEST(FileModel, StatusesTheEncodingsRelyOn) {
    TempDir dir;
    Str255 name(dir / "new");
    ASSERT_EQ(HostCreateFile(name.bytes, 0, HostResourceType("CREA"), HostResourceType("TYPE")), 0);
    WriteFile(dir / "new", "keep");
    EXPECT_EQ(HostCreateFile(name.bytes, 0, 0, 0), HostDupFNErr);
    EXPECT_EQ(ReadFile(dir / "new"), "keep") << "an existing file is left as it is";
    EXPECT_EQ(FinderOf(dir / "new").type, HostResourceType("TYPE"));

    // Reads: -39 with the count actually read; 0 when the last byte read is the last of the fork.
    HostForkRef fork = 0;
    ASSERT_EQ(HostOpenDataForkIn(0, 0, name.bytes, HostPermRead, &fork), 0);
    char buffer[16];
    int32_t count = 4;
    EXPECT_EQ(HostReadFork(fork, &count, buffer), 0);
    EXPECT_EQ(count, 4);
    count = 4;
    EXPECT_EQ(HostReadFork(fork, &count, buffer), HostEofErr);
    EXPECT_EQ(count, 0);
    count = 1;
    EXPECT_EQ(HostWriteFork(fork, &count, "x"), HostWrPermErr);
    EXPECT_EQ(HostCloseFork(fork), 0);
    EXPECT_EQ(HostCloseFork(fork), HostRfNumErr);

    // The empty resource fork of a new file opens, grows and reads back.
    Str255 other(dir / "fresh");
    ASSERT_EQ(HostCreateFile(other.bytes, 0, 0, 0), 0);
    ASSERT_EQ(HostOpenResourceFork(other.bytes, 0, &fork), 0);
    count = 6;
    EXPECT_EQ(HostWriteFork(fork, &count, "rsrc!!"), 0);
    int32_t position = -1;
    EXPECT_EQ(HostGetForkPosition(fork, &position), 0);
    EXPECT_EQ(position, 6);
    EXPECT_EQ(HostSetForkLength(fork, 4), 0);
    EXPECT_EQ(HostCloseFork(fork), 0);
    EXPECT_EQ(ResourceOf(dir / "fresh"), "rsrc");

    Str255 missing(dir / "missing");
    EXPECT_EQ(HostOpenDataFork(missing.bytes, 0, &fork), HostFnfErr);
    EXPECT_EQ(fork, 0);
    Str255 noFolder(dir / "nowhere/file");
    EXPECT_EQ(HostCreateFile(noFolder.bytes, 0, 0, 0), HostDirNFErr);
    Str255 empty("");
    EXPECT_EQ(HostCreateFile(empty.bytes, 0, 0, 0), HostBadNameErr);
    Str255 dotdot(dir / "..");
    EXPECT_EQ(HostCreateFile(dotdot.bytes, 0, 0, 0), HostBadNameErr);
    EXPECT_EQ(HostCreateFile(name.bytes, 3, 0, 0), HostNoSuchVolErr);
    EXPECT_EQ(HostOpenForkCount(), 0);
}

TEST(FileModel, FileSpecsResolveFoldersToDirectoryIds) {
    TempDir dir;
    WriteFile(dir / "a", "1");
    HostFileSpec spec{};
    Str255 name(dir / "a");
    ASSERT_EQ(HostMakeFileSpec(0, 0, name.bytes, &spec), 0);
    EXPECT_NE(spec.directory, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(spec.name + 1), spec.name[0]), "a");
    HostForkRef fork = 0;
    ASSERT_EQ(HostOpenDataForkByRecord(&spec, HostPermRead, &fork), 0);
    EXPECT_EQ(HostCloseFork(fork), 0);
    Str255 absent(dir / "b");
    EXPECT_EQ(HostMakeFileSpec(0, 0, absent.bytes, &spec), HostFnfErr) << "filled, but the file is not there";
    EXPECT_EQ(spec.name[1], 'b');
    Str255 tooLong(dir / std::string(64, 'n'));
    EXPECT_EQ(HostMakeFileSpec(0, 0, tooLong.bytes, &spec), HostBadNameErr);
}

// Names cross the layer in Mac Roman and lie on disk in UTF-8; a disk name that is not UTF-8 is
// still reached by its own bytes; a sidecar's name is never a file of its own.
TEST(FileModel, NamesAreUtf8OnDiskAndSidecarsAreNotFiles) {
    TempDir dir;
    Str255 resume(dir / "R\x8Esum\x8E.bin");  // Mac Roman 0x8E: e acute
    ASSERT_EQ(HostCreateFile(resume.bytes, 0, HostResourceType("CREA"), HostResourceType("TYPE")), 0);
    EXPECT_TRUE(FileExists(dir / "R\xC3\xA9sum\xC3\xA9.bin"));
    EXPECT_TRUE(FileExists(dir / "._R\xC3\xA9sum\xC3\xA9.bin"));
    EXPECT_FALSE(FileExists(dir / "R\x8Esum\x8E.bin"));
    HostFileSpec spec{};
    ASSERT_EQ(HostMakeFileSpec(0, 0, resume.bytes, &spec), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(spec.name + 1), spec.name[0]), "R\x8Esum\x8E.bin");
    HostForkRef fork = 0;
    ASSERT_EQ(HostOpenDataForkByRecord(&spec, HostPermRead, &fork), 0);
    EXPECT_EQ(HostCloseFork(fork), 0);

    // A file another program named in UTF-8 opens by its Mac Roman name.
    ASSERT_EQ(Shell("PYTHONUTF8=1 python3 -c 'open(\"" + dir.path + "/na\u00efve \u2122.txt\", \"w\").write(\"py\")'"), 0);
    Str255 naive(dir / "na\x95ve \xAA.txt");
    char buffer[8];
    int32_t count = sizeof buffer;
    ASSERT_EQ(HostOpenDataForkIn(0, 0, naive.bytes, HostPermRead, &fork), 0);
    EXPECT_EQ(HostReadFork(fork, &count, buffer), HostEofErr);
    EXPECT_EQ(std::string(buffer, count), "py");
    EXPECT_EQ(HostCloseFork(fork), 0);
    // Bytes that are not UTF-8 on disk are used as they are, the UTF-8 form first when both exist.
    WriteFile(dir / "old\x8E", "raw");
    Str255 old(dir / "old\x8E");
    count = sizeof buffer;
    ASSERT_EQ(HostOpenDataForkIn(0, 0, old.bytes, HostPermRead, &fork), 0);
    EXPECT_EQ(HostReadFork(fork, &count, buffer), HostEofErr);
    EXPECT_EQ(std::string(buffer, count), "raw");
    EXPECT_EQ(HostCloseFork(fork), 0);
    WriteFile(dir / "old\xC3\xA9", "utf8");
    count = sizeof buffer;
    ASSERT_EQ(HostOpenDataForkIn(0, 0, old.bytes, HostPermRead, &fork), 0);
    EXPECT_EQ(HostReadFork(fork, &count, buffer), HostEofErr);
    EXPECT_EQ(std::string(buffer, count), "utf8");
    EXPECT_EQ(HostCloseFork(fork), 0);

    // `._victim` names victim's sidecar: every way to create or open it as a file is refused.
    WriteFile(dir / "victim", "data");
    SetMacInfo(dir / "victim", "TEXT", "ttxt", 0, "resource");
    const std::string sidecar = ReadFile(dir / "._victim");
    Str255 hostile(dir / "._victim");
    EXPECT_EQ(HostCreateFile(hostile.bytes, 0, 0, 0), HostBadNameErr);
    EXPECT_EQ(HostOpenDataFork(hostile.bytes, 0, &fork), HostBadNameErr);
    EXPECT_EQ(HostOpenResourceFork(hostile.bytes, 0, &fork), HostBadNameErr);
    EXPECT_EQ(HostMakeFileSpec(0, 0, hostile.bytes, &spec), HostBadNameErr);
    HostFinderInfo finder{};
    finder.type = HostResourceType("EVIL");
    EXPECT_EQ(HostSetFinderInfo(hostile.bytes, 0, &finder), HostBadNameErr);
    EXPECT_EQ(ReadFile(dir / "victim"), "data");
    EXPECT_EQ(ReadFile(dir / "._victim"), sidecar);
    EXPECT_EQ(ResourceOf(dir / "victim"), "resource");
    EXPECT_EQ(HostOpenForkCount(), 0);
}

TEST(FileModel, LockedFilesAndWriters) {
    TempDir dir;
    WriteFile(dir / "f", "data");
    Str255 name(dir / "f");
    HostForkRef writer = 0, second = 0;
    ASSERT_EQ(HostOpenDataFork(name.bytes, 0, &writer), 0);
    EXPECT_EQ(HostOpenDataFork(name.bytes, 0, &second), HostOpWrErr);
    EXPECT_EQ(HostCloseFork(writer), 0);
    HostCatalogInfo info{};
    info.name = name.bytes;
    ASSERT_EQ(HostGetCatalogInfo(&info), 0);
    info.attributes = 1;
    ASSERT_EQ(HostSetCatalogInfo(&info), 0);
    info = HostCatalogInfo{};
    info.name = name.bytes;
    ASSERT_EQ(HostGetCatalogInfo(&info), 0);
    EXPECT_EQ(info.attributes & 1, 1);
    EXPECT_EQ(HostOpenDataFork(name.bytes, 0, &writer), HostPermErr);
    ASSERT_EQ(HostOpenDataForkIn(0, 0, name.bytes, HostPermAny, &writer), 0) << "any access: read only";
    int32_t count = 1;
    EXPECT_EQ(HostWriteFork(writer, &count, "x"), HostWrPermErr);
    EXPECT_EQ(HostCloseFork(writer), 0);
}

TEST(FileModel, CatalogDatesAndFinderInfoRoundTrip) {
    TempDir dir;
    WriteFile(dir / "f", "data");
    Str255 name(dir / "f");
    HostCatalogInfo info{};
    info.name = name.bytes;
    ASSERT_EQ(HostGetCatalogInfo(&info), 0);
    info.finderInfo.type = HostResourceType("APPL");
    info.finderInfo.creator = HostResourceType("ttxt");
    info.finderInfo.flags = 0x2100;
    info.finderInfo.locationV = -5;
    info.created = 2000000000u;
    info.modified = 3300000000u;
    ASSERT_EQ(HostSetCatalogInfo(&info), 0);
    HostCatalogInfo back{};
    back.name = name.bytes;
    ASSERT_EQ(HostGetCatalogInfo(&back), 0);
    EXPECT_EQ(back.finderInfo.type, HostResourceType("APPL"));
    EXPECT_EQ(back.finderInfo.creator, HostResourceType("ttxt"));
    EXPECT_EQ(back.finderInfo.flags, 0x2100);
    EXPECT_EQ(back.finderInfo.locationV, -5);
    EXPECT_EQ(back.created, 2000000000u);
    EXPECT_EQ(back.modified, 3300000000u);
    struct stat st;
    ASSERT_EQ(stat((dir / "f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 3300000000 - 2082844800) << "the modification date is the file's mtime";
    EXPECT_EQ(ReadFile(dir / "f"), "data");
}

// A file made by unar from a MacBinary file: its sidecar is what zor must read, and zor's sidecar
// for the same file has the same form, plus the dates entry.
TEST(FileModel, SidecarMatchesUnarsForTheSameFile) {
    TempDir dir;
    PluginHost host;
    WriteFile(dir / "doc", Pattern(1000, 7));
    SetMacInfo(dir / "doc", "TEXT", "ttxt", 0x0100, Pattern(700, 8));
    ASSERT_EQ(MacBinaryEncode(host, dir / "doc", dir / "doc.bin"), 0);
    ASSERT_EQ(Shell("mkdir " + (dir / "u") + " && cd " + (dir / "u") + " && unar -q -k hidden ../doc.bin"), 0);
    const std::string theirs = ReadFile(dir / "u/._doc");
    const std::string ours = ReadFile(dir / "._doc");
    zor::host::SidecarLayout a{}, b{};
    ASSERT_TRUE(zor::host::ParseSidecar(reinterpret_cast<const uint8_t*>(theirs.data()), theirs.size(), theirs.size(), &a));
    ASSERT_TRUE(zor::host::ParseSidecar(reinterpret_cast<const uint8_t*>(ours.data()), ours.size(), ours.size(), &b));
    EXPECT_EQ(ours.substr(0, 24), theirs.substr(0, 24)) << "magic, version and filler";
    EXPECT_TRUE(a.resourceLast && b.resourceLast) << "the resource fork comes last in both";
    EXPECT_EQ(ours.substr(b.finderInfo.offset, 32), theirs.substr(a.finderInfo.offset, 32));
    EXPECT_EQ(ours.substr(b.resourceFork.offset), theirs.substr(a.resourceFork.offset));
    EXPECT_TRUE(b.dates.present);
    // And zor reads unar's file as it wrote it.
    EXPECT_EQ(ResourceOf(dir / "u/doc"), Pattern(700, 8));
    EXPECT_EQ(FinderOf(dir / "u/doc").creator, HostResourceType("ttxt"));
    // Writing the resource fork of unar's file rewrites its sidecar into zor's form, keeping the rest.
    Str255 name(dir / "u/doc");
    HostForkRef fork = 0;
    ASSERT_EQ(HostOpenResourceFork(name.bytes, 0, &fork), 0);
    ASSERT_EQ(HostSetForkLength(fork, 10), 0);
    ASSERT_EQ(HostCloseFork(fork), 0);
    EXPECT_EQ(ResourceOf(dir / "u/doc"), Pattern(10, 8));
    EXPECT_EQ(FinderOf(dir / "u/doc").type, HostResourceType("TEXT"));
}

TEST(SidecarParser, HostileBytesNeverReadOutside) {
    uint8_t good[zor::host::kCanonicalResourceOffset + 8];
    uint8_t finder[32] = {'T', 'E', 'X', 'T'};
    uint8_t dates[16] = {0};
    zor::host::BuildSidecarHeader(finder, dates, 8, good);
    zor::host::SidecarLayout layout{};
    ASSERT_TRUE(zor::host::ParseSidecar(good, sizeof good, sizeof good, &layout));
    EXPECT_EQ(layout.resourceFork.length, 8u);
    EXPECT_TRUE(layout.resourceLast);
    // Every truncation and every flipped byte: no read out of bounds (the sanitizer watches), and an
    // accepted table never points outside the file.
    for (size_t n = 0; n <= sizeof good; ++n) {
        std::vector<uint8_t> cut(good, good + n);
        if (zor::host::ParseSidecar(cut.data(), cut.size(), cut.size(), &layout)) {
            EXPECT_LE(uint64_t(layout.resourceFork.offset) + layout.resourceFork.length, n);
        }
    }
    for (size_t i = 0; i < zor::host::kCanonicalResourceOffset; ++i) {
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            std::vector<uint8_t> bad(good, good + sizeof good);
            bad[i] ^= flip;
            if (zor::host::ParseSidecar(bad.data(), bad.size(), bad.size(), &layout)) {
                EXPECT_LE(uint64_t(layout.finderInfo.offset) + layout.finderInfo.length, bad.size());
                EXPECT_LE(uint64_t(layout.resourceFork.offset) + layout.resourceFork.length, bad.size());
            }
        }
    }
    EXPECT_FALSE(zor::host::ParseSidecar(good, 10, 10, &layout));
    EXPECT_FALSE(zor::host::ParseSidecar(nullptr, 0, 0, &layout));
}

TEST(FileModel, MalformedSidecarReadsAsNone) {
    TempDir dir;
    WriteFile(dir / "f", "x");
    WriteFile(dir / "._f", std::string("\x00\x05\x16\x07\x00\x02\x00\x00", 8) + std::string(20, '\xFF'));
    EXPECT_EQ(FinderOf(dir / "f").type, 0u);
    EXPECT_EQ(ResourceOf(dir / "f"), "");
}

// A sidecar that is a symbolic link (here to another file's) is not the file's own: it reads as
// none, and writing Finder information or the resource fork replaces the link with a sidecar of the
// file's own; the other file's sidecar keeps every byte.
TEST(FileModel, SidecarThatIsALinkIsReplacedNeverWrittenThrough) {
    TempDir dir;
    WriteFile(dir / "victim", "v");
    SetMacInfo(dir / "victim", "VICT", "VVVV", 0, "victim's fork");
    const std::string victimSidecar = ReadFile(dir / "._victim");
    WriteFile(dir / "x", "x");
    ASSERT_EQ(symlink("._victim", (dir / "._x").c_str()), 0);
    EXPECT_EQ(FinderOf(dir / "x").type, 0u);
    EXPECT_EQ(ResourceOf(dir / "x"), "");
    SetMacInfo(dir / "x", "XXXX", "xxxx", 0, "x's fork");
    EXPECT_EQ(FinderOf(dir / "x").type, HostResourceType("XXXX"));
    EXPECT_EQ(ResourceOf(dir / "x"), "x's fork");
    // The resource fork alone, opened for writing through a link planted again.
    ASSERT_EQ(unlink((dir / "._x").c_str()), 0);
    ASSERT_EQ(symlink("._victim", (dir / "._x").c_str()), 0);
    Str255 name(dir / "x");
    HostForkRef fork = 0;
    ASSERT_EQ(HostOpenResourceFork(name.bytes, 0, &fork), 0);
    int32_t count = 3;
    EXPECT_EQ(HostWriteFork(fork, &count, "new"), 0);
    EXPECT_EQ(HostCloseFork(fork), 0);
    EXPECT_EQ(ResourceOf(dir / "x"), "new");
    struct stat st;
    ASSERT_EQ(lstat((dir / "._x").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_TRUE(ReadFile(dir / "._victim") == victimSidecar);
}

// Failing system calls: the Nth write fails; the status comes back and nothing is left open.
int g_writesLeft = 0;
int g_failWith = 0;
ssize_t FailingWrite(int fd, const void* buffer, size_t count) {
    if (g_writesLeft-- == 0) {
        errno = g_failWith;
        return -1;
    }
    return ::write(fd, buffer, count);
}

TEST(FileModel, FailingWritesReportMacStatuses) {
    TempDir dir;
    WriteFile(dir / "f", "");
    Str255 name(dir / "f");
    const struct {
        int error;
        int16_t status;
    } cases[] = {{ENOSPC, HostDiskFullErr}, {EIO, HostIOErr}, {EDQUOT, HostDiskFullErr}};
    for (const auto& c : cases) {
        HostForkRef fork = 0;
        ASSERT_EQ(HostOpenDataFork(name.bytes, 0, &fork), 0);
        HostSystemCallTable()->write = FailingWrite;
        g_writesLeft = 0;
        g_failWith = c.error;
        int32_t count = 3;
        EXPECT_EQ(HostWriteFork(fork, &count, "abc"), c.status);
        EXPECT_EQ(count, 0);
        HostRestoreSystemCalls();
        EXPECT_EQ(HostCloseFork(fork), 0);
    }
    EXPECT_EQ(HostOpenForkCount(), 0);
}

TEST(FileModel, ByteOrderSwaps) {
    uint8_t bytes[4] = {0x12, 0x34, 0x56, 0x78};
    uint32_t v;
    std::memcpy(&v, bytes, 4);
    HostSwap32(&v);
    EXPECT_EQ(v, 0x12345678u);
    HostSwap32(&v);
    EXPECT_EQ(std::memcmp(&v, bytes, 4), 0);
    uint16_t s;
    std::memcpy(&s, bytes, 2);
    HostSwap16(&s);
    EXPECT_EQ(s, 0x1234);
    void* block = HostNewBlock(1000);
    EXPECT_GE(HostGetBlockSize(block), 1000);
    HostDisposeBlock(block);
    EXPECT_GT(HostFreeMemory(), 0);
}

}  // namespace
}  // namespace zor::test
