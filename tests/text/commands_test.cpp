// commands_test.cpp: commands 28 to 33 through RozoZIvav: new handles, the caller's text untouched,
// empty and malformed texts, the character sets, and what happens without the translation tables.
#include <gtest/gtest.h>

#include <cstring>

#include "support/plugin_host.h"
#include "text/text_support.h"

namespace zor::test {
namespace {

constexpr int32_t kAllCommands[] = {kTextToHtml, kHtmlToText, kUrlEncode, kUrlDecode, kMacToIso, kIsoToMac};

std::string AllBytes() {
    std::string s;
    for (int b = 0; b < 256; ++b) s += static_cast<char>(b);
    return s;
}

TEST(TextCommands, EveryResultIsANewHandleAndTheCallersTextStaysAsItWas) {
    PluginHost host;
    const std::string samples[] = {AllBytes(), "a<b & \"c\" &amp;lt; &#233; %41+%2b =E9 \r\n", "x"};
    for (int32_t selector : kAllCommands)
        for (const std::string& s : samples)
            for (int32_t mode : {0, 1, 2, -1}) Convert(host, selector, s, mode);
}

TEST(TextCommands, EmptyNullAndNegativeTextsGiveAnEmptyTextInANewHandle) {
    PluginHost host;
    for (int32_t selector : kAllCommands) {
        for (int32_t mode : {0, 1, 2, -1}) {
            Text empty("");
            EXPECT_EQ(Convert(host, selector, empty, mode), "");
            Text null;
            null.block = {5, nullptr};
            EXPECT_EQ(Convert(host, selector, null, mode), "");
            Text negative("abc");
            negative.block.length = -3;
            EXPECT_EQ(Convert(host, selector, negative, mode), "");
            EXPECT_EQ(HandleBytes(negative.block.handle), "abc");
        }
    }
}

TEST(TextCommands, OnlyTheTextsLengthCountsNeverMoreThanItsHandle) {
    PluginHost host;
    Text longer("a&b<c");
    longer.block.length = 3;  // the handle holds more than the text
    EXPECT_EQ(Convert(host, kTextToHtml, longer, 0), "a&amp;b");
    EXPECT_EQ(Convert(host, kMacToIso, longer), "a&b");
    EXPECT_EQ(Convert(host, kUrlEncode, longer, 0), "a%26b");
    Text shorter("&lt;");
    shorter.block.length = 400;  // claims more than the handle holds: only the handle's bytes are read
    EXPECT_EQ(Convert(host, kHtmlToText, shorter, 0), "<");
    EXPECT_EQ(Convert(host, kIsoToMac, shorter), "&lt;");
    EXPECT_EQ(Convert(host, kUrlDecode, shorter, 0), "&lt;");
}

TEST(CharacterSets, TranslateEveryByteThroughTheTablesAndBack) {
    PluginHost host;
    const std::string toIso = Table("Mac2ISO"), toMac = Table("ISO2Mac");
    const std::string all = AllBytes();
    EXPECT_EQ(Convert(host, kMacToIso, all), toIso);
    EXPECT_EQ(Convert(host, kIsoToMac, all), toMac);
    EXPECT_EQ(Convert(host, kIsoToMac, toIso), all);
    // Known pairs: e acute, the curly quotes to their Windows places, a dagger to Y acute.
    EXPECT_EQ(Convert(host, kMacToIso, "caf\x8E \xD2q\xD3 \xA0"), "caf\xE9 \x93q\x94 \xDD");
    EXPECT_EQ(Convert(host, kIsoToMac, "caf\xE9"), "caf\x8E");
}

TEST(MissingTables, CharacterSetCommandsReturnAnUnchangedCopy) {
    PluginHost host;
    TablesMissing missing;
    const std::string all = AllBytes();
    EXPECT_EQ(Convert(host, kMacToIso, all), all);
    EXPECT_EQ(Convert(host, kIsoToMac, all), all);
}

TEST(MissingTables, EscapesAndEntitiesWorkOnTheUntranslatedBytes) {
    PluginHost host;
    {
        TablesMissing missing;
        // Entities are looked up by Mac Roman byte before translation; what is left is referenced as is.
        EXPECT_EQ(Convert(host, kTextToHtml, "\x8E\xB0\xA5", 0), "&eacute;&#176;*");
        // A numeric reference keeps the low 8 bits of its value.
        EXPECT_EQ(Convert(host, kHtmlToText, "&#233;&eacute;", 0), "\xE9\x8E");
        EXPECT_EQ(Convert(host, kUrlEncode, "caf\x8E", 0), "caf%8E");
        EXPECT_EQ(Convert(host, kUrlDecode, "caf%E9", 0), "caf\xE9");
        EXPECT_EQ(Convert(host, kUrlDecode, "caf=E9", -1), "caf\xE9");
    }
    // And with the tables back, the same texts are translated.
    EXPECT_EQ(Convert(host, kTextToHtml, "\x8E\xB0\xA5", 0), "&eacute;&#129;*");
    EXPECT_EQ(Convert(host, kHtmlToText, "&#233;&eacute;", 0), "\x8E\x8E");
    EXPECT_EQ(Convert(host, kUrlEncode, "caf\x8E", 0), "caf%E9");
    EXPECT_EQ(Convert(host, kUrlDecode, "caf%E9", 0), "caf\x8E");
}

TEST(MissingTables, AResourceFileThatCannotBeReadCountsAsMissing) {
    PluginHost host;
    HostSetResourcePath("/nonexistent/zor/libzor.rsrc");
    EXPECT_EQ(Convert(host, kMacToIso, "caf\x8E"), "caf\x8E");
    EXPECT_EQ(Convert(host, kUrlDecode, "%E9", 1), "\xE9");
    HostSetResourcePath(nullptr);
}

}  // namespace
}  // namespace zor::test
