// macbinary_test.cpp: CRC-16/XMODEM, the MacBinary header and regions, command 17 and 18 edge
// cases, and the mended faults (resource forks, empty data forks, truncated input, header names).
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "macfile/macfile.h"
#include "support.h"

namespace zor::test {
namespace {

using macfile::Crc16Xmodem;

uint32_t Big32(const std::string& s, size_t at) {
    return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 | uint32_t(uint8_t(s[at + 2])) << 8 |
           uint8_t(s[at + 3]);
}

// A MacBinary header built here, independently of the encoder.
std::string Header(const std::string& name, uint32_t dataLength, uint32_t resourceLength, uint16_t flags = 0) {
    std::string h(128, '\0');
    h[1] = static_cast<char>(name.size());
    h.replace(2, name.size(), name);
    h.replace(65, 8, "TEXTttxt");
    h[73] = static_cast<char>(flags >> 8);
    h[101] = static_cast<char>(flags & 0xFF);
    for (int i = 0; i < 4; ++i) {
        h[83 + i] = static_cast<char>(dataLength >> (24 - 8 * i));
        h[87 + i] = static_cast<char>(resourceLength >> (24 - 8 * i));
        h[91 + i] = static_cast<char>(3000000000u >> (24 - 8 * i));
        h[95 + i] = static_cast<char>(3100000000u >> (24 - 8 * i));
    }
    h[122] = static_cast<char>(129);
    h[123] = static_cast<char>(129);
    return h;
}

std::string WithCrc(std::string h) {
    const uint16_t crc = Crc16Xmodem(reinterpret_cast<const uint8_t*>(h.data()), 124);
    h[124] = static_cast<char>(crc >> 8);
    h[125] = static_cast<char>(crc & 0xFF);
    return h;
}

std::string Padded(const std::string& s) { return s + std::string(macfile::PadOf(int32_t(s.size())), '\0'); }

TEST(Crc16Xmodem, KnownAnswers) {
    const char* check = "123456789";
    EXPECT_EQ(Crc16Xmodem(reinterpret_cast<const uint8_t*>(check), 9), 0x31C3);
    EXPECT_EQ(Crc16Xmodem(nullptr, 0), 0);
    // Continued in pieces gives the same value; two zero bytes appended give zero.
    uint16_t crc = Crc16Xmodem(reinterpret_cast<const uint8_t*>(check), 4);
    EXPECT_EQ(Crc16Xmodem(reinterpret_cast<const uint8_t*>(check) + 4, 5, crc), 0x31C3);
    const uint8_t withCrc[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0x31, 0xC3};
    EXPECT_EQ(Crc16Xmodem(withCrc, sizeof withCrc), 0);
    // The eight-at-a-time form agrees with the bitwise definition at every length and start value.
    const std::string bytes = Pattern(300, 5);
    for (size_t n = 0; n <= bytes.size(); n += 7) {
        for (uint16_t start : {uint16_t(0), uint16_t(0xBEEF)}) {
            uint16_t bitwise = start;
            for (size_t i = 0; i < n; ++i) {
                bitwise ^= static_cast<uint16_t>(uint8_t(bytes[i]) << 8);
                for (int k = 0; k < 8; ++k)
                    bitwise = static_cast<uint16_t>(bitwise & 0x8000 ? (bitwise << 1) ^ 0x1021 : bitwise << 1);
            }
            EXPECT_EQ(Crc16Xmodem(reinterpret_cast<const uint8_t*>(bytes.data()), n, start), bitwise) << n;
        }
    }
}

TEST(MacBinaryEncode, HeaderBytesAndRegions) {
    PluginHost host;
    TempDir dir;
    WriteFile(dir / "empty", "");
    ASSERT_EQ(MacBinaryEncode(host, dir / "empty", dir / "empty.bin"), 0);
    EXPECT_EQ(ReadFile(dir / "empty.bin").size(), 128u) << "two empty forks: the header alone";

    WriteFile(dir / "one", "Z");
    SetMacInfo(dir / "one", "TEXT", "ttxt", 0x2100, "");
    ASSERT_EQ(MacBinaryEncode(host, dir / "one", dir / "one.bin"), 0);
    const std::string out = ReadFile(dir / "one.bin");
    ASSERT_EQ(out.size(), 256u);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 3);
    EXPECT_EQ(out.substr(2, 3), "one");
    EXPECT_EQ(out.substr(5, 60), std::string(60, '\0'));
    EXPECT_EQ(out.substr(65, 8), "TEXTttxt");
    EXPECT_EQ(uint8_t(out[73]), 0x21);
    EXPECT_EQ(uint8_t(out[101]), 0x00);
    EXPECT_EQ(out.substr(74, 9), std::string(9, '\0')) << "icon location, folder, protected, zero";
    EXPECT_EQ(Big32(out, 83), 1u);
    EXPECT_EQ(Big32(out, 87), 0u);
    EXPECT_EQ(uint8_t(out[122]), 129);
    EXPECT_EQ(uint8_t(out[123]), 129);
    const uint16_t crc = Crc16Xmodem(reinterpret_cast<const uint8_t*>(out.data()), 124);
    EXPECT_EQ(uint8_t(out[124]), crc >> 8);
    EXPECT_EQ(uint8_t(out[125]), crc & 0xFF);
    EXPECT_EQ(out[128], 'Z');
    EXPECT_EQ(out.substr(129), std::string(127, '\0'));

    WriteFile(dir / "256", Pattern(256, 1));
    ASSERT_EQ(MacBinaryEncode(host, dir / "256", dir / "256.bin"), 0);
    EXPECT_EQ(ReadFile(dir / "256.bin").size(), 384u) << "no padding after 256 bytes";

    const std::string longName(63, 'L');
    WriteFile(dir / longName, "x");
    ASSERT_EQ(MacBinaryEncode(host, dir / longName, dir / "long.bin"), 0);
    const std::string l = ReadFile(dir / "long.bin");
    EXPECT_EQ(l[1], 63);
    EXPECT_EQ(l.substr(2, 63), longName);

    // Locked: byte 81 is 1.
    Str255 name(dir / "one");
    HostCatalogInfo info{};
    info.name = name.bytes;
    ASSERT_EQ(HostGetCatalogInfo(&info), 0);
    info.attributes = 1;
    ASSERT_EQ(HostSetCatalogInfo(&info), 0);
    ASSERT_EQ(MacBinaryEncode(host, dir / "one", dir / "locked.bin"), 0);
    EXPECT_EQ(ReadFile(dir / "locked.bin")[81], 1);
    ASSERT_EQ(MacBinaryEncode(host, dir / "one", dir / "again.bin"), 0);
    EXPECT_EQ(ReadFile(dir / "again.bin"), ReadFile(dir / "locked.bin")) << "same file, same bytes";
    EXPECT_EQ(MacBinaryEncode(host, dir / "absent", dir / "x.bin"), HostFnfErr);
    EXPECT_FALSE(FileExists(dir / "x.bin")) << "the destination is not touched";
}

TEST(MacBinaryEncode, ExistingDestinationIsReusedAndCut) {
    PluginHost host;
    TempDir dir;
    WriteFile(dir / "src", "abc");
    WriteFile(dir / "dst", std::string(5000, 'q'));
    SetMacInfo(dir / "dst", "TEXT", "ABCD", 0, "");
    ASSERT_EQ(MacBinaryEncode(host, dir / "src", dir / "dst"), 0);
    EXPECT_EQ(ReadFile(dir / "dst").size(), 256u);
    EXPECT_EQ(FinderOf(dir / "dst").type, HostResourceType("TEXT"));
    EXPECT_EQ(FinderOf(dir / "dst").creator, HostResourceType("SITx"));
    ASSERT_EQ(MacBinaryEncode(host, dir / "src", dir / "new.bin"), 0);
    EXPECT_EQ(FinderOf(dir / "new.bin").type, HostResourceType("MACB"));
}

TEST(Conversions, OntoTheSourceItselfAreRefusedAndLoseNothing) {
    PluginHost host;
    TempDir dir;
    ASSERT_EQ(MacBinaryEncode(host, dir / "src", dir / "src.bin"), -43) << "no source yet";
    WriteFile(dir / "src", "the only copy");
    ASSERT_EQ(MacBinaryEncode(host, dir / "src", dir / "src.bin"), 0);
    ASSERT_EQ(BinHexEncode(host, dir / "src", dir / "src.hqx"), 0);
    const std::string binary = ReadFile(dir / "src.bin"), hqx = ReadFile(dir / "src.hqx");
    EXPECT_EQ(MacBinaryEncode(host, dir / "src", dir / "src"), HostOpWrErr);
    EXPECT_EQ(BinHexEncode(host, dir / "src", dir / "src"), HostOpWrErr);
    EXPECT_EQ(MacBinaryDecode(host, dir / "src.bin", dir / "src.bin"), HostOpWrErr);
    EXPECT_EQ(BinHexDecode(host, dir / "src.hqx", dir / "src.hqx"), HostOpWrErr);
    EXPECT_EQ(ReadFile(dir / "src"), "the only copy");
    EXPECT_EQ(ReadFile(dir / "src.bin"), binary);
    EXPECT_EQ(ReadFile(dir / "src.hqx"), hqx);
}

// The same file under other names: a path through "." or "..", a hard link, a symbolic link. Each
// conversion is refused before anything is written, and the source (over 64 KiB, more than one
// chunk) keeps every byte.
TEST(Conversions, OntoAnotherNameOfTheSourceAreRefusedAndLoseNothing) {
    PluginHost host;
    TempDir dir;
    const std::string data = Pattern(200000, 9);
    WriteFile(dir / "src", data);
    ASSERT_EQ(MacBinaryEncode(host, dir / "src", dir / "src.bin"), 0);
    ASSERT_EQ(BinHexEncode(host, dir / "src", dir / "src.hqx"), 0);
    const std::string binary = ReadFile(dir / "src.bin"), hqx = ReadFile(dir / "src.hqx");
    ASSERT_EQ(Shell("mkdir " + (dir / "sub")), 0);
    for (const char* leaf : {"src", "src.bin", "src.hqx"}) {
        const std::string name(leaf);
        ASSERT_EQ(link((dir / name).c_str(), (dir / ("hard-" + name)).c_str()), 0);
        ASSERT_EQ(symlink((dir / name).c_str(), (dir / ("soft-" + name)).c_str()), 0);
    }
    for (const std::string& other : {dir.path + "/./", dir.path + "/sub/../", dir / "hard-", dir / "soft-"}) {
        SCOPED_TRACE(other);
        EXPECT_EQ(MacBinaryEncode(host, dir / "src", other + "src"), HostOpWrErr);
        EXPECT_EQ(BinHexEncode(host, dir / "src", other + "src"), HostOpWrErr);
        EXPECT_EQ(MacBinaryDecode(host, dir / "src.bin", other + "src.bin"), HostOpWrErr);
        EXPECT_EQ(BinHexDecode(host, dir / "src.hqx", other + "src.hqx"), HostOpWrErr);
        EXPECT_TRUE(ReadFile(dir / "src") == data);
        EXPECT_TRUE(ReadFile(dir / "src.bin") == binary);
        EXPECT_TRUE(ReadFile(dir / "src.hqx") == hqx);
    }
}

// Folders, devices and FIFOs are no files: a conversion from one gives "not found" at once, where
// a device would never end and a FIFO would wait for a writer.
TEST(Conversions, FromFoldersDevicesAndFifosGiveNotFoundWithoutWaiting) {
    PluginHost host;
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    for (const std::string& source : {std::string("/dev/zero"), dir / "fifo", dir.path}) {
        SCOPED_TRACE(source);
        EXPECT_EQ(MacBinaryDecode(host, source, dir / "out"), HostFnfErr);
        EXPECT_EQ(BinHexDecode(host, source, dir / "out"), HostFnfErr);
        EXPECT_EQ(MacBinaryEncode(host, source, dir / "out"), HostFnfErr);
        EXPECT_EQ(BinHexEncode(host, source, dir / "out"), HostFnfErr);
    }
    EXPECT_EQ(HostOpenForkCount(), 0);
}

TEST(MacBinaryDecode, HeaderAcceptance) {
    PluginHost host;
    TempDir dir;
    const std::string data = "payload";
    auto decode = [&](const std::string& header, const std::string& to) {
        WriteFile(dir / "in.bin", header + Padded(data));
        return MacBinaryDecode(host, dir / "in.bin", dir / to);
    };
    EXPECT_EQ(decode(WithCrc(Header("a", 7, 0)), "ok"), 0);
    EXPECT_EQ(ReadFile(dir / "ok"), data);
    std::string h = Header("a", 7, 0);
    h[123] = static_cast<char>(130);
    EXPECT_EQ(decode(WithCrc(h), "v130"), macfile::kNotMacBinary) << "a reader newer than 129 is needed";
    EXPECT_FALSE(FileExists(dir / "v130")) << "nothing is made for a rejected header";
    // MacBinary I: a wrong CRC, bytes 101..124 zero.
    h = Header("a", 7, 0);
    h[122] = h[123] = 0;
    h[124] = 0x12;
    h[125] = 0x34;
    EXPECT_EQ(decode(h, "v1"), macfile::kNotMacBinary) << "124 is not zero";
    h[124] = 0;
    EXPECT_EQ(decode(h, "v1"), 0);
    EXPECT_EQ(ReadFile(dir / "v1"), data);
    EXPECT_EQ(decode(WithCrc(Header(std::string(63, 'n'), 7, 0)), "n63"), 0);
    h = WithCrc(Header(std::string(63, 'n'), 7, 0));
    h[1] = 64;
    EXPECT_EQ(decode(WithCrc(h), "n64"), macfile::kNotMacBinary);
    for (int at : {0, 74, 82}) {
        h = Header("a", 7, 0);
        h[at] = 1;
        EXPECT_EQ(decode(WithCrc(h), "bad"), macfile::kNotMacBinary) << "byte " << at;
    }
    // A 16 MiB fork: refused in an unchecked header, accepted under a correct CRC.
    h = Header("a", 0x01000000, 0);
    h[122] = h[123] = 0;
    EXPECT_EQ(decode(h, "big1"), macfile::kNotMacBinary);
    WriteFile(dir / "short", std::string(100, '\0'));
    EXPECT_EQ(MacBinaryDecode(host, dir / "short", dir / "s"), HostEofErr);
    EXPECT_EQ(MacBinaryDecode(host, dir / "absent", dir / "s"), HostFnfErr);
}

TEST(MacBinaryDecode, RegionsEndsAndFileInformation) {
    PluginHost host;
    TempDir dir;
    // Ends exactly at B inside the final (short) read.
    const std::string data = Pattern(1000, 3);
    WriteFile(dir / "b.bin", WithCrc(Header("f", 1000, 0, 0x2100 | 0x4101)) + Padded(data));
    WriteFile(dir / "out", std::string(50000, 'o'));
    ASSERT_EQ(MacBinaryDecode(host, dir / "b.bin", dir / "out"), 0);
    EXPECT_EQ(ReadFile(dir / "out"), data) << "a longer existing file is cut";
    const HostFinderInfo f = FinderOf(dir / "out");
    EXPECT_EQ(f.type, HostResourceType("TEXT"));
    EXPECT_EQ(f.creator, HostResourceType("ttxt"));
    EXPECT_EQ(f.flags, 0x2000) << "bits 0, 8 and 14 keep the file's own value";
    Str255 name(dir / "out");
    HostCatalogInfo info{};
    info.name = name.bytes;
    ASSERT_EQ(HostGetCatalogInfo(&info), 0);
    EXPECT_EQ(info.created, 3000000000u);
    EXPECT_EQ(info.modified, 3100000000u);

    // A data fork that fills the transfer chunks exactly: the final read is empty and enters at B.
    const int32_t fill = 2 * macfile::kMacBinaryChunk - 128;
    const std::string exact = Pattern(size_t(fill), 4);
    WriteFile(dir / "x.bin", WithCrc(Header("f", uint32_t(fill), 0)) + exact);
    ASSERT_EQ(MacBinaryDecode(host, dir / "x.bin", dir / "x"), 0);
    EXPECT_EQ(ReadFile(dir / "x"), exact);

    // An empty data fork and a resource fork: both were reported as failures before.
    const std::string rsrc = Pattern(300, 5);
    WriteFile(dir / "r.bin", WithCrc(Header("f", 0, 300)) + Padded(rsrc));
    ASSERT_EQ(MacBinaryDecode(host, dir / "r.bin", dir / "r"), 0);
    EXPECT_EQ(ReadFile(dir / "r"), "");
    EXPECT_EQ(ResourceOf(dir / "r"), rsrc);
    // Decoding again without a resource fork empties the old one.
    ASSERT_EQ(MacBinaryDecode(host, dir / "b.bin", dir / "r"), 0);
    EXPECT_EQ(ResourceOf(dir / "r"), "");

    // Cut short: the fork bytes that came stay, and the command says the input ended early.
    const std::string whole = WithCrc(Header("f", 1000, 300)) + Padded(data) + Padded(rsrc);
    WriteFile(dir / "cut.bin", whole.substr(0, 128 + 1024 + 100));
    EXPECT_EQ(MacBinaryDecode(host, dir / "cut.bin", dir / "cut"), HostEofErr);
    EXPECT_EQ(ReadFile(dir / "cut"), data);
    EXPECT_EQ(FinderOf(dir / "cut").type, HostResourceType("TEXT")) << "file information is set all the same";
    // Without the final padding the forks are complete.
    WriteFile(dir / "nopad.bin", whole.substr(0, 128 + 1024 + 300));
    EXPECT_EQ(MacBinaryDecode(host, dir / "nopad.bin", dir / "nopad"), 0);
    EXPECT_EQ(ResourceOf(dir / "nopad"), rsrc);
    EXPECT_EQ(HostOpenForkCount(), 0);
}

// With an empty destination name the header's name is used, but only as one leaf of the working
// directory: it can never reach another folder.
TEST(MacBinaryDecode, HeaderNameStaysInTheWorkingDirectory) {
    PluginHost host;
    TempDir dir;
    ASSERT_EQ(Shell("mkdir " + (dir / "work")), 0);
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir((dir / "work").c_str()), 0);
    WriteFile("a.bin", WithCrc(Header("../escape", 2, 0)) + Padded("hi"));
    EXPECT_EQ(MacBinaryDecode(host, "a.bin", ""), 0);
    EXPECT_EQ(ReadFile("..:escape"), "hi");
    EXPECT_FALSE(FileExists(dir / "escape"));
    WriteFile("b.bin", WithCrc(Header("..", 2, 0)) + Padded("hi"));
    EXPECT_EQ(MacBinaryDecode(host, "b.bin", ""), HostBadNameErr);
    WriteFile("c.bin", WithCrc(Header("", 2, 0)) + Padded("hi"));
    EXPECT_EQ(MacBinaryDecode(host, "c.bin", ""), HostBadNameErr);
    WriteFile("d.bin", WithCrc(Header("plain", 2, 0)) + Padded("hi"));
    EXPECT_EQ(MacBinaryDecode(host, "d.bin", ""), 0);
    EXPECT_EQ(ReadFile("plain"), "hi");
    // A header that names the file being decoded: refused, and the file keeps every byte.
    const std::string self = WithCrc(Header("self.bin", 2, 0)) + Padded("hi");
    WriteFile("self.bin", self);
    EXPECT_EQ(MacBinaryDecode(host, "self.bin", ""), HostOpWrErr);
    EXPECT_EQ(ReadFile("self.bin"), self);
    // A Mac Roman header name lands in UTF-8; one naming another file's sidecar is refused, and
    // that file keeps its forks.
    WriteFile("e.bin", WithCrc(Header("R\x8Esum\x8E", 2, 0)) + Padded("hi"));
    EXPECT_EQ(MacBinaryDecode(host, "e.bin", ""), 0);
    EXPECT_EQ(ReadFile("R\xC3\xA9sum\xC3\xA9"), "hi");
    EXPECT_EQ(MacBinaryEncode(host, "R\x8Esum\x8E", "g.bin"), 0);
    EXPECT_EQ(ReadFile("g.bin").substr(1, 7), "\x06R\x8Esum\x8E") << "headers carry Mac Roman";
    WriteFile("victim", "data");
    SetMacInfo("victim", "TEXT", "ttxt", 0, "resource");
    const std::string sidecar = ReadFile("._victim");
    WriteFile("f.bin", WithCrc(Header("._victim", 2, 0)) + Padded("hi"));
    EXPECT_EQ(MacBinaryDecode(host, "f.bin", ""), HostBadNameErr);
    EXPECT_EQ(ReadFile("victim"), "data");
    EXPECT_EQ(ReadFile("._victim"), sidecar);
    ASSERT_EQ(chdir(saved), 0);
}

TEST(MacBinary, RoundTripKeepsForksAndInformation) {
    PluginHost host;
    TempDir dir;
    for (size_t dataSize : {0, 1, 127, 128, 129, 40000}) {
        const std::string data = Pattern(dataSize, 10);
        const std::string rsrc = Pattern(dataSize / 3 + 5, 11);
        WriteFile(dir / "src", data);
        SetMacInfo(dir / "src", "APPL", "CREA", 0x2101, rsrc);
        ASSERT_EQ(MacBinaryEncode(host, dir / "src", dir / "src.bin"), 0);
        ASSERT_EQ(MacBinaryDecode(host, dir / "src.bin", dir / "dst"), 0) << dataSize;
        EXPECT_EQ(ReadFile(dir / "dst"), data);
        EXPECT_EQ(ResourceOf(dir / "dst"), rsrc);
        EXPECT_EQ(FinderOf(dir / "dst").type, HostResourceType("APPL"));
        EXPECT_EQ(FinderOf(dir / "dst").flags, 0x2000) << "bit 0 and 8 are the decoder's to keep";
    }
}

}  // namespace
}  // namespace zor::test
