// html_test.cpp: HTML entities: the order of the passes, the modes, malformed references, the
// 32767-byte limit, the fast scans against the passes done one by one, and python's html module.
#include <gtest/gtest.h>

#include <random>

#include "support/plugin_host.h"
#include "text/text.h"
#include "text/text_support.h"

namespace zor::test {
namespace {

std::string Encode(PluginHost& host, std::string_view s, int32_t mode) { return Convert(host, kTextToHtml, s, mode); }
std::string Decode(PluginHost& host, std::string_view s, int32_t mode) { return Convert(host, kHtmlToText, s, mode); }

TEST(EncodeHtml, MarkupIsEscapedInModeZeroOnly) {
    PluginHost host;
    EXPECT_EQ(Encode(host, "a<b & \"c\">", 0), "a&lt;b &amp; &quot;c&quot;&gt;");
    EXPECT_EQ(Encode(host, "a<b & d", 1), "a<b &amp; d");
    EXPECT_EQ(Encode(host, "<p class=\"x\">&&x", 7), "<p class=\"x\">&&x");
    EXPECT_EQ(Encode(host, "& & &", 1), "&amp; &amp; &");
    // "&" first: the ampersands that later passes bring in are not escaped again.
    EXPECT_EQ(Encode(host, "&amp;", 0), "&amp;amp;");
    EXPECT_EQ(Encode(host, "&amp;", 1), "&amp;");
    EXPECT_EQ(Encode(host, "&&&", 0), "&amp;&amp;&amp;");
}

TEST(EncodeHtml, TypographicCharactersBecomeAsciiBeforeTheMarkupPass) {
    PluginHost host;
    EXPECT_EQ(Encode(host, "\xD2q\xD3 \xD4s\xD5", 0), "&quot;q&quot; 's'");
    EXPECT_EQ(Encode(host, "\xD2q\xD3", 1), "\"q\"");
    EXPECT_EQ(Encode(host, "a\xB2" "b\xB3" "c", 0), "a&lt;=b&gt;=c");
    EXPECT_EQ(Encode(host, "a\xB2" "b", 1), "a<=b");
    EXPECT_EQ(Encode(host, "\xA5 \xAA \xC9 \xCF \xCE", 0), "* (TM) ... oe OE");
}

TEST(EncodeHtml, LettersBecomeEntitiesAndTheRestNumericReferences) {
    PluginHost host;
    EXPECT_EQ(Encode(host, "caf\x8E", 0), "caf&eacute;");
    EXPECT_EQ(Encode(host, "\xCA\xA9\x80\xD8", 1), "&nbsp;&copy;&Auml;&yuml;");
    // Decoding-only rows are never written: the middle dot goes by its ISO-8859-1 code.
    EXPECT_EQ(Encode(host, "x|\xE1", 0), "x|&#183;");
    // Three digits always; the bullet and em dash go to the codes browsers show them for.
    EXPECT_EQ(Encode(host, "\xD1\xB0", 0), "&#151;&#129;");
    EXPECT_EQ(Encode(host, "\x7F\x01", 0), "\x7F\x01");
}

TEST(DecodeHtml, TheAmpPassRunsFirstAndResolvesEscapedEscapesOnce) {
    PluginHost host;
    EXPECT_EQ(Decode(host, "&amp;lt;", 0), "<");
    EXPECT_EQ(Decode(host, "&amp;amp;lt;", 0), "&amp;lt;");
    EXPECT_EQ(Decode(host, "&amp;&lt;&amp;eacute;", 0), "&<\x8E");
    EXPECT_EQ(Decode(host, "&lt;p&gt; &quot;x&quot; &amp;", 0), "<p> \"x\" &");
    // Numeric references come before everything else.
    EXPECT_EQ(Decode(host, "&#38;lt;", 0), "<");
    EXPECT_EQ(Decode(host, "&#38;#60;", 0), "&#60;");
}

TEST(DecodeHtml, OtherModesKeepTheMarkupEscapesButResolveEntities) {
    PluginHost host;
    EXPECT_EQ(Decode(host, "&lt;p&gt; &eacute;", 1), "&lt;p&gt; \x8E");
    EXPECT_EQ(Decode(host, "&amp;&quot;&#65;", -1), "&amp;&quot;A");
    EXPECT_EQ(Decode(host, "&times;&brvbar;&middot;", 0), "x|\xE1");
    EXPECT_EQ(Decode(host, "&Eacute;&EACUTE;&eacute", 0), "\x83&EACUTE;&eacute");
}

TEST(DecodeHtml, MalformedNumericReferencesStayAsTheyAre) {
    PluginHost host;
    for (const char* s : {"&#256;", "&#1000;", "&#99999999999999999999;", "&#;", "&#x41;", "&#6a;", "&#65",
                          "&#", "&", "a&", "&#12 3;"})
        EXPECT_EQ(Decode(host, s, 0), s);
    EXPECT_EQ(Decode(host, "&#255;&#0065;&#0;", 1), std::string("\xD8" "A") + '\0');
    EXPECT_EQ(Decode(host, "&#256;&#65;", 0), "&#256;A");
    EXPECT_EQ(Decode(host, "&#38;&#65", 0), "&&#65");
}

TEST(DecodeHtml, SuperscriptDigitsDecodeLikeTheirNumericReferences) {
    PluginHost host;
    EXPECT_EQ(Decode(host, "&sup1;&sup2;&sup3;", 0), Decode(host, "&#185;&#178;&#179;", 0));
    EXPECT_EQ(Convert(host, kMacToIso, Decode(host, "&sup1;&sup2;&sup3;", 0)), "\xB9\xB2\xB3");
    TablesMissing missing;
    EXPECT_EQ(Decode(host, "&sup1;&sup2;&sup3;", 0), "\xB9\xB2\xB3");
}

TEST(StripTags, DropsEverythingFromLessThanToTheFirstGreaterThan) {
    PluginHost host;
    EXPECT_EQ(Decode(host, "<b>caf&eacute;</b>", 2), "caf\x8E");
    EXPECT_EQ(Decode(host, "<a title='x>y'>z", 2), "y'>z");
    EXPECT_EQ(Decode(host, "a > b <unclosed", 2), "a > b ");
    EXPECT_EQ(Decode(host, "&lt;b&gt;", 2), "<b>");
    EXPECT_EQ(Decode(host, "<<>>", 2), ">");
    EXPECT_EQ(Decode(host, "<only a tag>", 2), "");
}

// Texts of up to 60 pieces drawn from what the passes look for, and their neighbours.
std::string RandomHtmlText(std::mt19937& random) {
    static const char* const kPieces[] = {
        "&", "#", ";", "&amp;", "&lt;", "&gt;", "&quot;", "&#", "&#38;", "&#60;", "&#233;", "&#256;", "&#x4;",
        "amp;", "lt;", "quot;", "eacute;", "sup1;", "times;", " ", "& ", "<", ">", "\"", "x", "|", "1", "9",
        "&nbsp;", "&yuml;", "&Eacute;", "&times;", "&brvbar;", "&sup2;", "&middot;", "&eth;", "&"};
    std::string s;
    const int pieces = std::uniform_int_distribution<int>(0, 60)(random);
    for (int i = 0; i < pieces; ++i) {
        if (random() % 4 == 0) {
            s += static_cast<char>(random() % 256);
        } else {
            s += kPieces[random() % std::size(kPieces)];
        }
    }
    return s;
}

TEST(HtmlScans, GiveTheBytesOfThePassesDoneOneByOne) {
    PluginHost host;
    std::mt19937 random(20261208);
    for (bool tables : {true, false}) {
        std::unique_ptr<TablesMissing> missing;
        if (!tables) missing = std::make_unique<TablesMissing>();
        const std::string toIso = Table("Mac2ISO"), toMac = Table("ISO2Mac");
        for (int n = 0; n < 600; ++n) {
            const std::string s = RandomHtmlText(random);
            for (int32_t mode : {0, 1}) {
                EXPECT_EQ(Encode(host, s, mode), ReferenceEncodeHtml(s, mode, toIso)) << s;
                EXPECT_EQ(Decode(host, s, mode), ReferenceDecodeHtml(s, mode, toMac)) << s;
            }
        }
    }
}

TEST(HtmlLimit, LongResultsAreCutAfterTheLastWholeEntity) {
    PluginHost host;
    struct Case {
        char byte;
        int32_t mode;
        std::string unit;
    } cases[] = {{'&', 0, "&amp;"}, {'<', 0, "&lt;"}, {'"', 0, "&quot;"}, {'\xB0', 0, "&#129;"},
                 {'\xB2', 0, "&lt;="}, {'\xAA', 1, "(TM)"}, {'\x8E', 1, "&eacute;"}};
    for (const Case& c : cases) {
        const std::string result = Encode(host, std::string(32767, c.byte), c.mode);
        const size_t whole = 32767 / c.unit.size();
        ASSERT_EQ(result.size(), whole * c.unit.size()) << c.unit;
        for (size_t at = 0; at < result.size(); at += c.unit.size())
            ASSERT_EQ(result.compare(at, c.unit.size(), c.unit), 0) << c.unit << " at " << at;
    }
    // A text that grows by less than the limit is whole.
    std::string amps;
    while (amps.size() + 5 <= 32767) amps += "&amp;";
    EXPECT_EQ(Decode(host, amps, 0), std::string(amps.size() / 5, '&'));
    EXPECT_EQ(Encode(host, amps, 1), amps);
    EXPECT_EQ(Encode(host, std::string(32767, 'a'), 0), std::string(32767, 'a'));
}

// Python's html module as the oracle: what each entity stands for, and what the encoder writes.
TEST(HtmlOracle, EveryEntityDecodesToThePythonCharacterInMacRoman) {
    PluginHost host;
    std::string names;
    for (const text::EntityRow& row : text::kEntityTable) names += std::string(row.entity) + "\n";
    // Each entity's ISO-8859-1 code as html.unescape gives it.
    const std::string codes = Python(R"(
import html, sys
for name in open(sys.argv[1]).read().split():
    sys.stdout.buffer.write(html.unescape(name).encode("latin-1"))
)",
                                     names);
    ASSERT_EQ(codes.size(), static_cast<size_t>(text::kEntityCount));
    const std::string toMac = Table("ISO2Mac");
    for (int i = 0; i < text::kEntityCount; ++i) {
        const std::string_view name = text::kEntityTable[i].entity;
        const std::string decoded = Decode(host, name, 0);
        ASSERT_EQ(decoded.size(), 1u) << name;
        if (name == "&brvbar;" || name == "&times;") continue;  // approximated by "|" and "x"
        EXPECT_EQ(decoded[0], toMac[static_cast<unsigned char>(codes[i])]) << name;
        EXPECT_EQ(decoded, Decode(host, "&#" + std::to_string(static_cast<unsigned char>(codes[i])) + ";", 0)) << name;
    }
}

TEST(HtmlOracle, EncodedMacRomanComesBackThroughPythonAsTheSameCharacter) {
    PluginHost host;
    // Every Mac Roman byte whose character ISO-8859-1 has (LF excluded), each encoded on its own line.
    const std::string bytes = Python(R"(
import sys
sys.stdout.buffer.write(bytes(b for b in range(256) if b != 10 and ord(bytes([b]).decode("mac_roman")) < 256))
)");
    std::string lines;
    for (char b : bytes) lines += Encode(host, std::string(1, b), 0) + "\n";
    EXPECT_EQ(bytes.size(), 256u - 48 - 1);
    const std::string back = Python(R"(
import html, sys
for line in open(sys.argv[1], "rb").read().split(b"\n")[:-1]:
    sys.stdout.buffer.write(html.unescape(line.decode("ascii")).encode("mac_roman"))
)",
                                    lines);
    EXPECT_EQ(back, bytes);
}

}  // namespace
}  // namespace zor::test
