// tables_test.cpp: the translation tables in the plug-in's resource file: generated reproducibly,
// inverse bijections, the codecs' correspondence, and the pairs that HTML and browsers rely on.
#include <gtest/gtest.h>

#include <set>

#include "text/text.h"
#include "text/text_support.h"

namespace zor::test {
namespace {

TEST(TranslationTables, AreTheCommittedFilesAndAreRegeneratedIdentically) {
    TempDir dir;
    const std::string command =
        "/usr/bin/python3 " ZOR_SOURCE_DIR "/resources/mktables.py " + dir.path;
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(ReadFile(dir.File("Mac2ISO.bin")), ReadFile(ZOR_SOURCE_DIR "/resources/Mac2ISO.bin"));
    EXPECT_EQ(ReadFile(dir.File("ISO2Mac.bin")), ReadFile(ZOR_SOURCE_DIR "/resources/ISO2Mac.bin"));
    EXPECT_EQ(Table("Mac2ISO"), ReadFile(dir.File("Mac2ISO.bin")));
    EXPECT_EQ(Table("ISO2Mac"), ReadFile(dir.File("ISO2Mac.bin")));
}

TEST(TranslationTables, AreInverseBijections) {
    const std::string toIso = Table("Mac2ISO"), toMac = Table("ISO2Mac");
    ASSERT_EQ(toIso.size(), 256u);
    ASSERT_EQ(toMac.size(), 256u);
    std::set<unsigned char> images(toIso.begin(), toIso.end());
    EXPECT_EQ(images.size(), 256u);
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(static_cast<unsigned char>(toMac[static_cast<unsigned char>(toIso[b])]), b) << b;
        EXPECT_EQ(static_cast<unsigned char>(toIso[static_cast<unsigned char>(toMac[b])]), b) << b;
    }
}

TEST(TranslationTables, FollowTheCodecsWhereBothSetsHaveTheCharacter) {
    // For each Mac Roman byte whose character ISO-8859-1 has: the ISO-8859-1 byte, else 256 (as hex).
    const std::string expected = Python(R"(
import sys
out = []
for b in range(256):
    ch = bytes([b]).decode("mac_roman")
    out.append("%03x" % (ord(ch) if ord(ch) < 256 else 256))
sys.stdout.write("".join(out))
)");
    ASSERT_EQ(expected.size(), 3u * 256);
    const std::string toIso = Table("Mac2ISO");
    int shared = 0;
    for (int b = 0; b < 256; ++b) {
        const int iso = std::stoi(expected.substr(3 * b, 3), nullptr, 16);
        if (iso == 256) continue;
        ++shared;
        EXPECT_EQ(static_cast<unsigned char>(toIso[b]), iso) << "Mac byte " << b;
    }
    EXPECT_EQ(shared, 256 - 48);
}

TEST(TranslationTables, PairTheEntityAndWindowsCharacters) {
    const std::string toIso = Table("Mac2ISO");
    auto iso = [&](int mac) { return static_cast<unsigned char>(toIso[mac]); };
    // Implied by the entity table: the named entity and the numeric reference give the same byte.
    const int entityPairs[][2] = {{0xA0, 0xDD}, {0xE0, 0xFD}, {0xDC, 0xD0}, {0xDD, 0xF0},
                                  {0xDE, 0xDE}, {0xDF, 0xFE}, {0xDB, 0xA4}, {0xD0, 0xAD}};
    for (const auto& p : entityPairs) EXPECT_EQ(iso(p[0]), p[1]) << "Mac byte " << p[0];
    // Where Windows-1252 puts the character, so that browsers show "&#149;" as a bullet.
    const int windowsPairs[][2] = {{0xA5, 0x95}, {0xAA, 0x99}, {0xC9, 0x85}, {0xD2, 0x93}, {0xD3, 0x94},
                                   {0xD4, 0x91}, {0xD5, 0x92}, {0xD1, 0x97}, {0xCE, 0x8C}, {0xCF, 0x9C},
                                   {0xD9, 0x9F}, {0xC4, 0x83}, {0xE2, 0x82}, {0xE3, 0x84}, {0xE4, 0x89},
                                   {0xF6, 0x88}, {0xF7, 0x98}};
    for (const auto& p : windowsPairs) EXPECT_EQ(iso(p[0]), p[1]) << "Mac byte " << p[0];
    // The same characters as python's cp1252 codec sees them.
    std::string macBytes;
    for (const auto& p : windowsPairs) macBytes += static_cast<char>(p[0]);
    const std::string windows =
        Python("import sys\nsys.stdout.buffer.write(open(sys.argv[1],'rb').read().decode('mac_roman')"
               ".encode('cp1252'))\n",
               macBytes);
    ASSERT_EQ(windows.size(), macBytes.size());
    for (size_t i = 0; i < windows.size(); ++i)
        EXPECT_EQ(iso(static_cast<unsigned char>(macBytes[i])), static_cast<unsigned char>(windows[i]));
}

TEST(TranslationTables, ALoadedTableMustHave256Bytes) {
    TempDir dir;
    WriteFile(dir.File("short.bin"), std::string(255, 'x'));
    WriteFile(dir.File("list"), "ZORc Mac2ISO short.bin\n");
    const std::string command = "/usr/bin/python3 " ZOR_SOURCE_DIR "/resources/mkrsrc.py " + dir.File("list") +
                                " " + dir.File("short.rsrc");
    ASSERT_EQ(std::system(command.c_str()), 0);
    HostSetResourcePath(dir.File("short.rsrc").c_str());
    EXPECT_EQ(text::LoadTable("Mac2ISO"), nullptr);
    EXPECT_EQ(text::LoadTable("ISO2Mac"), nullptr);
    HostSetResourcePath(nullptr);
    EXPECT_NE(text::LoadTable("Mac2ISO"), nullptr);
}

}  // namespace
}  // namespace zor::test
