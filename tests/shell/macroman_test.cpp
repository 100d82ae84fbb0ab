// macroman_test.cpp: the Mac Roman table against Python's mac_roman codec, and the UTF-8 coding.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "shell/macroman.h"

namespace zor::shell {
namespace {

// Output of a command line.
std::string Capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

TEST(MacRoman, AllBytesMatchPythonsCodec) {
    const std::string python = Capture(
        "/usr/bin/python3 -c \"import sys; sys.stdout.buffer.write(bytes(range(256)).decode('mac_roman')"
        ".encode('utf-8'))\"");
    ASSERT_FALSE(python.empty());
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    EXPECT_EQ(MacRomanToUtf8(all), python);
}

TEST(MacRoman, EveryByteRoundTripsThroughUtf8) {
    for (int b = 0; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        std::string back;
        size_t bad = 99;
        ASSERT_TRUE(Utf8ToMacRoman(MacRomanToUtf8(one), back, bad)) << b;
        EXPECT_EQ(back, one) << b;
    }
}

TEST(MacRoman, CharactersWithoutAByteAreRefusedWhereTheyStand) {
    std::string out;
    size_t bad = 0;
    EXPECT_FALSE(Utf8ToMacRoman("ab\xE4\xB8\xAD", out, bad));  // U+4E2D
    EXPECT_EQ(bad, 2u);
    EXPECT_FALSE(Utf8ToMacRoman("\xC2\xA4", out, bad));  // U+00A4: the euro sign took its place
    EXPECT_EQ(bad, 0u);
    EXPECT_FALSE(Utf8ToMacRoman("x\xF0\x9F\x98\x80", out, bad));  // outside the BMP
    EXPECT_EQ(bad, 1u);
}

TEST(Utf8, MalformedSequencesAreRefused) {
    const char* bad[] = {
        "\x80",              // a lone continuation byte
        "\xC0\x80",          // overlong NUL
        "\xE0\x80\xAF",      // overlong '/'
        "\xED\xA0\x80",      // a surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xE2\x82",          // cut short
        "\xE2\x28\xA1",      // a non-continuation inside
        "\xF8\x88\x80\x80\x80",
        "\xFF",
    };
    for (const char* s : bad) {
        size_t at = 0;
        char32_t code = 0;
        EXPECT_FALSE(DecodeUtf8(s, at, code)) << s;
        EXPECT_EQ(at, 0u);
    }
    const char* good[] = {"\x7F", "\xC2\x80", "\xEF\xBF\xBF", "\xF4\x8F\xBF\xBF"};
    const char32_t codes[] = {0x7F, 0x80, 0xFFFF, 0x10FFFF};
    for (int i = 0; i < 4; ++i) {
        size_t at = 0;
        char32_t code = 0;
        ASSERT_TRUE(DecodeUtf8(good[i], at, code)) << i;
        EXPECT_EQ(code, codes[i]);
        EXPECT_EQ(at, std::string(good[i]).size());
        std::string again;
        AppendUtf8(again, code);
        EXPECT_EQ(again, good[i]);
    }
}

}  // namespace
}  // namespace zor::shell
