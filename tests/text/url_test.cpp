// url_test.cpp: URL and quoted-printable escapes: the escaped sets of both modes, decoding never
// looking twice at a byte, the length limit, and python's urllib.parse and quopri as oracles.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "support/plugin_host.h"
#include "text/text_support.h"

namespace zor::test {
namespace {

std::string Escape(PluginHost& host, std::string_view s, int32_t mode) { return Convert(host, kUrlEncode, s, mode); }
std::string Unescape(PluginHost& host, std::string_view s, int32_t mode) { return Convert(host, kUrlDecode, s, mode); }

std::string AllBytes() {
    std::string s;
    for (int b = 0; b < 256; ++b) s += static_cast<char>(b);
    return s;
}

TEST(UrlEncode, FormAndUrlModesEscapeTheirOwnSets) {
    PluginHost host;
    EXPECT_EQ(Escape(host, "a b&c=d", 0), "a+b%26c=d");
    EXPECT_EQ(Escape(host, "a b&c=d", 1), "a%20b&c=d");
    EXPECT_EQ(Escape(host, "-.*_~+", 0), "%2D%2E%2A_~%2B");
    EXPECT_EQ(Escape(host, "-.*_~+%<>", 5), "-.*_~+%25%3C%3E");
    EXPECT_EQ(Escape(host, "caf\x8E", 1), "caf%E9");  // upper-case digits, ISO-8859-1 code
    EXPECT_EQ(Escape(host, std::string("\0\x1F\x7F", 3), 0), "%00%1F\x7F");
    EXPECT_EQ(Escape(host, "%41", 0), "%2541");
}

TEST(UrlDecode, PlusIsASpaceInModeZeroOnlyAndNoByteIsDecodedTwice) {
    PluginHost host;
    EXPECT_EQ(Unescape(host, "a+b%2Bc", 0), "a b+c");
    EXPECT_EQ(Unescape(host, "a+b%2Bc", 1), "a+b+c");
    EXPECT_EQ(Unescape(host, "%2541", 0), "%41");
    EXPECT_EQ(Unescape(host, "%e9%E9", 0), "\x8E\x8E");
    EXPECT_EQ(Unescape(host, "100%", 0), "100%");
    EXPECT_EQ(Unescape(host, "ends %4", 0), "ends %4");
    EXPECT_EQ(Unescape(host, "%G1%1G%%41", 0), "%G1%1G%A");
}

TEST(UrlDecode, QuotedPrintableModeDecodesEqualsEscapesOnly) {
    PluginHost host;
    EXPECT_EQ(Unescape(host, "caf=E9", -1), "caf\x8E");
    EXPECT_EQ(Unescape(host, "%E9+=3D41", -1), "%E9+=41");
    // Soft line breaks are not recognised: the "=" and the line end stay.
    EXPECT_EQ(Unescape(host, "soft=\r\nbreak=", -1), "soft=\r\nbreak=");
}

TEST(UrlLimit, LongResultsAreCutAfterTheLastWholeEscape) {
    PluginHost host;
    const std::string high = Escape(host, std::string(32767, '\xFF'), 1);
    EXPECT_EQ(high.size(), 32766u);
    EXPECT_EQ(high.substr(high.size() - 3), "%D7");
    EXPECT_EQ(Escape(host, std::string(32767, ' '), 0), std::string(32767, '+'));
    std::string lessThans;
    for (int i = 0; i < 10922; ++i) lessThans += "%3C";
    EXPECT_EQ(Escape(host, std::string(10922, '<') + "ab", 1), lessThans + "a");
}

TEST(UrlRoundTrip, EveryByteComesBackInEveryMode) {
    PluginHost host;
    const std::string all = AllBytes();
    EXPECT_EQ(Unescape(host, Escape(host, all, 0), 0), all);
    EXPECT_EQ(Unescape(host, Escape(host, all, 1), 1), all);
    // URL mode keeps "+", which form decoding then takes for a space.
    std::string plusAsSpace = all;
    plusAsSpace['+'] = ' ';
    EXPECT_EQ(Unescape(host, Escape(host, all, 1), 0), plusAsSpace);
}

// Python's urllib.parse and quopri as oracles, on every byte after translation to ISO-8859-1.
TEST(UrlOracle, UrlModeEscapesAsQuoteWithTheMatchingSafeSet) {
    PluginHost host;
    const std::string iso = Convert(host, kMacToIso, AllBytes());
    const std::string expected = Python(R"(
import sys, urllib.parse
safe = "".join(chr(c) for c in range(0x21, 0x80) if chr(c) not in "%<>")
sys.stdout.write(urllib.parse.quote(open(sys.argv[1], "rb").read(), safe=safe))
)",
                                        iso);
    EXPECT_EQ(Escape(host, AllBytes(), 1), expected);
}

TEST(UrlOracle, FormModeEscapesAsQuotePlusExceptHyphenAndPeriod) {
    PluginHost host;
    const std::string iso = Convert(host, kMacToIso, AllBytes());
    // quote always keeps "-" and "." as they are; form mode escapes them.
    const std::string expected = Python(R"(
import sys, urllib.parse
safe = "".join(chr(c) for c in range(0x30, 0x80) if chr(c) not in "<>")
out = urllib.parse.quote_plus(open(sys.argv[1], "rb").read(), safe=safe)
sys.stdout.write(out.replace("-", "%2D").replace(".", "%2E"))
)",
                                        iso);
    EXPECT_EQ(Escape(host, AllBytes(), 0), expected);
}

std::string RandomEscapedText(std::mt19937& random, char escape) {
    static const char kAlphabet[] = "0123456789abcdefABCDEFgGxyz+ %=";
    std::string s;
    const int n = std::uniform_int_distribution<int>(0, 80)(random);
    for (int i = 0; i < n; ++i) {
        const int pick = static_cast<int>(random() % 10);
        if (pick == 0) {
            s += static_cast<char>(random() % 256);
        } else if (pick < 3) {
            s += escape;
        } else {
            s += kAlphabet[random() % (sizeof kAlphabet - 1)];
        }
    }
    return s;
}

TEST(UrlOracle, DecodingMatchesUnquoteToBytesAndQuopri) {
    PluginHost host;
    std::mt19937 random(1208);
    std::string percent, equals;
    for (int n = 0; n < 300; ++n) {
        std::string s = RandomEscapedText(random, '%');
        s.erase(std::remove(s.begin(), s.end(), '\n'), s.end());
        percent += s + "\n";
        // Quoted-printable inputs hold no line ends and no "=" before a space or at the end (no soft
        // line breaks), upper-case digits only and no "==" (quopri's own reading of those differs:
        // lower-case digits are accepted here, and "==" is no escape).
        std::string q = RandomEscapedText(random, '=');
        std::string clean;
        for (size_t i = 0; i < q.size(); ++i) {
            char c = q[i];
            if (c == '\n' || c == '\r' || c == ' ' || c == '\t') continue;
            if (c == '=' && !clean.empty() && clean.back() == '=') continue;
            if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
            clean += c;
        }
        while (!clean.empty() && clean.back() == '=') clean.pop_back();
        equals += clean + "\n";
    }
    const std::string decoded = Python(R"(
import sys, urllib.parse
for line in open(sys.argv[1], "rb").read().split(b"\n")[:-1]:
    sys.stdout.write(urllib.parse.unquote_to_bytes(line).hex() + "\n")
    sys.stdout.write(urllib.parse.unquote_to_bytes(line.replace(b"+", b" ")).hex() + "\n")
)",
                                       percent);
    const std::string quopri = Python(R"(
import sys, quopri
for line in open(sys.argv[1], "rb").read().split(b"\n")[:-1]:
    sys.stdout.write(quopri.decodestring(line).hex() + "\n")
)",
                                      equals);
    // Compare line by line (the oracle's lines in hex), the oracle's bytes translated to Mac Roman
    // as the command does last.
    auto lines = [](const std::string& all, bool hex = false) {
        std::vector<std::string> out;
        size_t start = 0;
        for (size_t at; (at = all.find('\n', start)) != std::string::npos; start = at + 1) {
            std::string line = all.substr(start, at - start);
            if (hex) {
                std::string bytes;
                for (size_t i = 0; i + 1 < line.size(); i += 2)
                    bytes += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
                line = bytes;
            }
            out.push_back(line);
        }
        return out;
    };
    const std::vector<std::string> inputs = lines(percent), expected = lines(decoded, true);
    ASSERT_EQ(expected.size(), 2 * inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_EQ(Unescape(host, inputs[i], 1), Convert(host, kIsoToMac, expected[2 * i])) << inputs[i];
        EXPECT_EQ(Unescape(host, inputs[i], 0), Convert(host, kIsoToMac, expected[2 * i + 1])) << inputs[i];
    }
    const std::vector<std::string> qInputs = lines(equals), qExpected = lines(quopri, true);
    ASSERT_EQ(qExpected.size(), qInputs.size());
    for (size_t i = 0; i < qInputs.size(); ++i)
        EXPECT_EQ(Unescape(host, qInputs[i], -1), Convert(host, kIsoToMac, qExpected[i])) << qInputs[i];
}

}  // namespace
}  // namespace zor::test
