// binhex_test.cpp: BinHex 4.0: the encoder's exact output, the decoder's character handling,
// run-length examples, name limits, the closing characters, and the statuses it reports.
#include <errno.h>

#include <cstring>

#include "macfile/macfile.h"
#include "support.h"

namespace zor::test {
namespace {

const std::string kIntro = "\r(This file must be converted with BinHex 4.0)\r\r:";

std::string Big(uint32_t v, int bytes) {
    std::string s;
    for (int i = bytes - 1; i >= 0; --i) s += static_cast<char>(v >> (8 * i));
    return s;
}

uint16_t Crc(const std::string& s) {
    return macfile::Crc16Xmodem(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// 0x90 escaped as 0x90 0x00.
std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        out += c;
        if (uint8_t(c) == 0x90) out += '\0';
    }
    return out;
}

// Six bits to a character. `flush`: the last partial character carries the leftover bits.
std::string Characters(const std::string& bytes, bool flush = true) {
    std::string out;
    uint32_t bits = 0;
    int held = 0;
    for (char c : bytes) {
        bits = bits << 8 | uint8_t(c);
        held += 8;
        while (held >= 6) {
            out += macfile::kBinHexAlphabet[(bits >> (held - 6)) & 0x3F];
            held -= 6;
        }
    }
    if (flush && held > 0) out += macfile::kBinHexAlphabet[(bits << (6 - held)) & 0x3F];
    return out;
}

std::string HeaderBlock(const std::string& name, const std::string& data, const std::string& rsrc,
                        uint16_t flags = 0, const std::string& typeCreator = "TEXTttxt") {
    std::string h = std::string(1, char(name.size())) + name + '\0' + typeCreator + Big(flags, 2) +
                    Big(uint32_t(data.size()), 4) + Big(uint32_t(rsrc.size()), 4);
    return h + Big(Crc(h), 2);
}

// The logical stream of a file (unescaped), as any BinHex writer lays it out.
std::string Logical(const std::string& name, const std::string& data, const std::string& rsrc,
                    const std::string& closing = std::string(1, '\0'), uint16_t flags = 0) {
    return HeaderBlock(name, data, rsrc, flags) + data + Big(Crc(data), 2) + rsrc + Big(Crc(rsrc), 2) + closing;
}

std::string Hqx(const std::string& characters) { return kIntro + characters + ":\r"; }

TEST(BinHexEncode, ExactOutputForEmptyForks) {
    PluginHost host;
    TempDir dir;
    WriteFile(dir / "a", "");
    SetMacInfo(dir / "a", "TEXT", "ttxt", 0x4101, "");
    ASSERT_EQ(BinHexEncode(host, dir / "a", dir / "a.hqx"), 0);
    const std::string header = HeaderBlock("a", "", "", 0x4101);
    const std::string logical = header + std::string(2, '\0') + std::string(3, '\0');
    EXPECT_EQ(ReadFile(dir / "a.hqx"), kIntro + Characters(logical, false) + ":\r")
        << "flags unchanged, data CRC 0, three closing zero bytes";
    EXPECT_EQ(FinderOf(dir / "a.hqx").type, HostResourceType("TEXT"));
    EXPECT_EQ(FinderOf(dir / "a.hqx").creator, HostResourceType("SITx"));
}

TEST(BinHexEncode, LinesEscapesAndNoRuns) {
    PluginHost host;
    TempDir dir;
    const std::string data = std::string(500, 'A') + "\x90\x90" + Pattern(3000, 1);
    WriteFile(dir / "f", data);
    ASSERT_EQ(BinHexEncode(host, dir / "f", dir / "f.hqx"), 0);
    const std::string out = ReadFile(dir / "f.hqx");
    ASSERT_EQ(out.substr(0, kIntro.size()), kIntro);
    const std::string body = out.substr(kIntro.size());
    ASSERT_GE(body.size(), 2u);
    EXPECT_EQ(body.substr(body.size() - 2), ":\r");
    // First line: 63 characters after the colon; every later full line 64; CR alone ends them.
    size_t start = 0;
    int line = 0;
    for (size_t cr = body.find('\r'); cr != std::string::npos && cr + 2 < body.size(); cr = body.find('\r', start)) {
        EXPECT_EQ(cr - start, line == 0 ? 63u : 64u) << "line " << line;
        start = cr + 1;
        ++line;
    }
    EXPECT_EQ(body.find('\n'), std::string::npos);
    std::string chars;
    for (char c : body.substr(0, body.size() - 2))
        if (c != '\r') chars += c;
    const std::string logical = Escape(HeaderBlock("f", data, "", 0, std::string(8, '\0'))) + Escape(data) +
                                Escape(Big(Crc(data), 2)) + std::string(3, '\0');
    EXPECT_EQ(chars, Characters(logical, false)) << "0x90 escaped, runs not compressed, CRC over the logical bytes";
    // Onto an existing, longer destination: cut, its type kept.
    WriteFile(dir / "g.hqx", std::string(100000, 'x'));
    SetMacInfo(dir / "g.hqx", "ZZZZ", "YYYY", 0, "");
    ASSERT_EQ(BinHexEncode(host, dir / "f", dir / "g.hqx"), 0);
    EXPECT_EQ(ReadFile(dir / "g.hqx"), out);
    EXPECT_EQ(FinderOf(dir / "g.hqx").type, HostResourceType("ZZZZ"));
    EXPECT_EQ(BinHexEncode(host, dir / "absent", dir / "h.hqx"), HostFnfErr);
    EXPECT_EQ(ReadFile(dir / "h.hqx"), "") << "nothing written for a missing source";
}

struct DecodeCase {
    PluginHost host;
    TempDir dir;
    int32_t Decode(const std::string& text, const std::string& to = "out") {
        WriteFile(dir / "in.hqx", text);
        return BinHexDecode(host, dir / "in.hqx", dir / to);
    }
    std::string Data(const std::string& to = "out") { return ReadFile(dir / to); }
};

TEST(BinHexDecode, BlockStartsOnlyAtALineStart) {
    DecodeCase c;
    const std::string chars = Characters(Logical("n", "hello", ""));
    EXPECT_EQ(c.Decode(":" + chars + ":\r"), macfile::kNoBinHexData) << "no line end before the ':'";
    EXPECT_FALSE(FileExists(c.dir / "out"));
    for (const char* lineEnd : {"\r", "\n", "\r\n", "\n\r"}) {
        ASSERT_EQ(c.Decode(std::string("junk") + lineEnd + ":" + chars + ":\r"), 0) << lineEnd;
        EXPECT_EQ(c.Data(), "hello");
    }
    EXPECT_EQ(c.Decode("x :" + chars + ":"), macfile::kNoBinHexData);
    EXPECT_EQ(c.Decode(""), macfile::kNoBinHexData);
}

TEST(BinHexDecode, IgnoredCharactersAnywhere) {
    DecodeCase c;
    const std::string data = Pattern(700, 3);
    const std::string chars = Characters(Escape(Logical("n", data, "rs")));
    const char ignored[] = {'\t', '\n', '\r', 0x10};
    std::string spread;
    for (size_t i = 0; i < chars.size(); ++i) {
        spread += chars[i];
        if (i % 7 == 3) spread += ignored[i % 4];
    }
    ASSERT_EQ(c.Decode(kIntro + spread + ":"), 0);
    EXPECT_EQ(c.Data(), data);
    EXPECT_EQ(ResourceOf(c.dir / "out"), "rs");
    // One long line, no line ends at all after the ':'.
    ASSERT_EQ(c.Decode("\r:" + chars + ":"), 0);
    EXPECT_EQ(c.Data(), data);
}

TEST(BinHexDecode, RunLengthExamples) {
    DecodeCase c;
    using S = std::string;
    const struct {
        std::string encoded, decoded;
    } cases[] = {
        {S("\x90\x00", 2), S("\x90", 1)},
        {S("X\x90\x04", 3), S("XXXX")},
        {S("X\x90\x01", 3), S("X")},
        {S("X\x90\x00\x90\x03", 5), S("X\x90\x90\x90", 4)},
        {S("ab\x90\x00", 4), S("ab\x90", 3)},
    };
    for (const auto& k : cases) {
        const std::string& decoded = k.decoded;
        const std::string logical = Escape(HeaderBlock("r", decoded, "")) + k.encoded + Escape(Big(Crc(decoded), 2)) +
                                    std::string(3, '\0');
        ASSERT_EQ(c.Decode(Hqx(Characters(logical))), 0) << decoded;
        EXPECT_EQ(c.Data(), decoded);
    }
}

TEST(BinHexDecode, NameLimitsAndEmptyForks) {
    DecodeCase c;
    EXPECT_EQ(c.Decode(Hqx(Characters(Logical(std::string(63, 'n'), "ok", "")))), 0);
    EXPECT_EQ(c.Data(), "ok");
    EXPECT_EQ(c.Decode(Hqx(Characters(Logical(std::string(64, 'n'), "no", ""))), "long"), macfile::kDamagedBinHex);
    // The encoder's longest name comes back.
    const std::string longest(63, 'L');
    WriteFile(c.dir / longest, "sixty-three");
    ASSERT_EQ(BinHexEncode(c.host, c.dir / longest, c.dir / "longest.hqx"), 0);
    EXPECT_EQ(BinHexDecode(c.host, c.dir / "longest.hqx", c.dir / "back"), 0);
    EXPECT_EQ(c.Data("back"), "sixty-three");
    // A destination naming another file's sidecar is refused; that file keeps its forks.
    WriteFile(c.dir / "victim", "data");
    SetMacInfo(c.dir / "victim", "TEXT", "ttxt", 0, "resource");
    const std::string sidecar = ReadFile(c.dir / "._victim");
    EXPECT_EQ(c.Decode(Hqx(Characters(Logical("._victim", "evil", "x"))), "._victim"), HostBadNameErr);
    EXPECT_EQ(ReadFile(c.dir / "victim"), "data");
    EXPECT_EQ(ReadFile(c.dir / "._victim"), sidecar);
    EXPECT_EQ(c.Decode(Hqx(Characters(Logical("", "empty name", ""))), "nameless"), 0);
    EXPECT_EQ(c.Data("nameless"), "empty name");
    // An empty data fork passes straight to its CRC.
    EXPECT_EQ(c.Decode(Hqx(Characters(Logical("e", "", "rsrc"))), "e"), 0);
    EXPECT_EQ(c.Data("e"), "");
    EXPECT_EQ(ResourceOf(c.dir / "e"), "rsrc");
}

// Writers close the stream differently: zor's one zero byte, others' three zero bytes, or none.
// Every alignment of three zero bytes after a resource fork is a valid file; five or more stray
// characters before the ':' are not.
TEST(BinHexDecode, ClosingCharactersInEveryAlignment) {
    DecodeCase c;
    for (int extra = 0; extra < 3; ++extra) {
        const std::string data(10 + extra, 'd');
        for (const std::string& closing : {std::string(), std::string(1, '\0'), std::string(3, '\0')}) {
            EXPECT_EQ(c.Decode(Hqx(Characters(Logical("a", data, "rsrc", closing)))), 0)
                << "data " << data.size() << ", closing " << closing.size();
            EXPECT_EQ(ResourceOf(c.dir / "out"), "rsrc");
        }
        EXPECT_EQ(c.Decode(Hqx(Characters(Logical("a", data, "rsrc", std::string(4, '\0'))))), macfile::kDamagedBinHex);
    }
    // Cut after the last CRC, before the ':': both forks are whole.
    EXPECT_EQ(c.Decode(kIntro + Characters(Logical("a", "dd", "rr"))), 0);
}

TEST(BinHexDecode, LongerExistingFileIsCutAndFlagsMasked) {
    DecodeCase c;
    WriteFile(c.dir / "out", std::string(100000, 'o'));
    SetMacInfo(c.dir / "out", "OLDT", "OLDC", 0, std::string(5000, 'r'));
    const std::string logical = Escape(Logical("a", "new", "R", std::string(1, '\0'), 0x4101 | 0x2000));
    ASSERT_EQ(c.Decode(Hqx(Characters(logical))), 0);
    EXPECT_EQ(c.Data(), "new");
    EXPECT_EQ(ResourceOf(c.dir / "out"), "R");
    const HostFinderInfo f = FinderOf(c.dir / "out");
    EXPECT_EQ(f.type, HostResourceType("OLDT")) << "an existing file keeps its type";
    EXPECT_EQ(f.flags, 0x2000) << "bits 0, 8 and 14 cleared";
}

TEST(BinHexDecode, StatusesSayWhatWentWrong) {
    DecodeCase c;
    const std::string good = Logical("a", "data", "rsrc");
    ASSERT_EQ(c.Decode(Hqx(Characters(good))), 0);
    // A wrong CRC in each of the three sections.
    for (size_t at : {size_t(3), size_t(22), size_t(23 + 4 + 2 + 1)}) {
        std::string bad = good;
        bad[at] ^= 0x01;
        EXPECT_EQ(c.Decode(Hqx(Characters(bad))), macfile::kDamagedBinHex) << "byte " << at;
    }
    EXPECT_EQ(c.Decode(Hqx(Characters(good).substr(0, 30))), macfile::kDamagedBinHex) << "':' inside the stream";
    EXPECT_EQ(c.Decode(kIntro + Characters(good).substr(0, 30)), macfile::kDamagedBinHex) << "cut short";
    EXPECT_EQ(c.Decode(Hqx(Characters(good).substr(0, 10) + "7" + Characters(good).substr(10))),
              macfile::kDamagedBinHex)
        << "an invalid character";
    EXPECT_EQ(c.Decode("no data at all\r\n"), macfile::kNoBinHexData);
    EXPECT_EQ(c.Decode(Hqx(Characters(good)), "missing/folder/out"), HostDirNFErr);
    EXPECT_EQ(BinHexDecode(c.host, c.dir / "absent.hqx", c.dir / "x"), HostFnfErr);
    // A damaged block followed by a good one in a later chunk: the good one is what stays.
    const std::string twice = Hqx(Characters(Logical("a", "first", "")).substr(0, 20)) +
                              std::string(20000, ' ') + Hqx(Characters(Logical("a", "second", "")));
    EXPECT_EQ(c.Decode(twice), 0);
    EXPECT_EQ(c.Data(), "second");
    EXPECT_EQ(HostOpenForkCount(), 0);
}

int g_writesLeft = 0;
ssize_t FailingWrite(int fd, const void* buffer, size_t count) {
    if (g_writesLeft-- == 0) {
        errno = ENOSPC;
        return -1;
    }
    return ::write(fd, buffer, count);
}

// The Nth write fails: each command reports the disk-full status, and closes everything.
TEST(MacFileCommands, FailingWritesAreReported) {
    PluginHost host;
    TempDir dir;
    WriteFile(dir / "f", Pattern(200000, 9));
    SetMacInfo(dir / "f", "TEXT", "ttxt", 0, Pattern(3000, 2));
    ASSERT_EQ(BinHexEncode(host, dir / "f", dir / "f.hqx"), 0);
    ASSERT_EQ(MacBinaryEncode(host, dir / "f", dir / "f.bin"), 0);
    const std::string hqx = ReadFile(dir / "f.hqx"), bin = ReadFile(dir / "f.bin");
    int failures[4] = {0, 0, 0, 0};
    for (int n = 0; n < 12; ++n) {
        const int64_t live = HostLiveAllocations();
        int32_t r[4];
        HostSystemCallTable()->write = FailingWrite;
        g_writesLeft = n;
        r[0] = BinHexDecode(host, dir / "f.hqx", dir / "d1");
        g_writesLeft = n;
        r[1] = MacBinaryDecode(host, dir / "f.bin", dir / "d2");
        g_writesLeft = n;
        r[2] = BinHexEncode(host, dir / "f", dir / "e1");
        g_writesLeft = n;
        r[3] = MacBinaryEncode(host, dir / "f", dir / "e2");
        HostRestoreSystemCalls();
        // Either the failure is reported, or (a metadata write whose status does not count) the
        // output is whole.
        for (int i = 0; i < 4; ++i) {
            EXPECT_TRUE(r[i] == 0 || r[i] == HostDiskFullErr) << i << " " << n << " " << r[i];
            failures[i] += r[i] != 0;
        }
        if (r[0] == 0) {
            EXPECT_EQ(ReadFile(dir / "d1"), ReadFile(dir / "f"));
        }
        if (r[1] == 0) {
            EXPECT_EQ(ReadFile(dir / "d2"), ReadFile(dir / "f"));
        }
        if (r[2] == 0) {
            EXPECT_EQ(ReadFile(dir / "e1"), hqx);
        }
        if (r[3] == 0) {
            EXPECT_EQ(ReadFile(dir / "e2"), bin);
        }
        EXPECT_EQ(HostOpenForkCount(), 0);
        EXPECT_EQ(HostLiveAllocations(), live);
    }
    for (int i = 0; i < 4; ++i) EXPECT_GE(failures[i], 3) << "command " << i;
}

}  // namespace
}  // namespace zor::test
