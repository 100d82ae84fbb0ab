// conversion_test.cpp: the conversion flags as the stream commands apply them, ReplaceAll, and what
// happens when memory runs out or a handle is locked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "support/plugin_host.h"
#include "text/text.h"
#include "text/text_support.h"

namespace zor::test {
namespace {

// Applies the flags to a text holding `bytes`; returns its bytes afterwards, checking that the
// length and the handle agree.
std::string Apply(std::string_view bytes, int32_t flags) {
    Text text(bytes);
    text::ApplyConversionFlags(text.block, flags);
    EXPECT_EQ(HostGetHandleSize(text.block.handle), text.block.length) << flags;
    return text.str();
}

TEST(ConversionFlags, ZeroAndUnknownBitsChangeNothing) {
    for (int32_t flags : {0, 0x80, 0x100, 0x7FFFFF80, static_cast<int32_t>(0x80000000)}) {
        Text text("a\rb&<\x8E");
        const HostHandle before = text.block.handle;
        text::ApplyConversionFlags(text.block, flags);
        EXPECT_EQ(text.block.handle, before);
        EXPECT_EQ(text.str(), "a\rb&<\x8E");
    }
    EXPECT_EQ(Apply("a\rb", 0x80 | 0x04), "a\r\nb");
}

TEST(ConversionFlags, LineEnds) {
    EXPECT_EQ(Apply("a\rb", 0x04), "a\r\nb");
    EXPECT_EQ(Apply("a\r\nb", 0x08), "a\rb");
    EXPECT_EQ(Apply("\r\n\r", 0x04), "\r\n\n\r\n");
    EXPECT_EQ(Apply("\r\r\n\n", 0x08), "\r\r\n");
    // Both: a lone CR comes back, a CR LF stays a CR LF.
    EXPECT_EQ(Apply("a\rb\r\nc", 0x0C), "a\rb\r\nc");
    // Bytes past the text's length are no part of it.
    Text longer("a\rb\rjunk");
    longer.block.length = 3;
    text::ApplyConversionFlags(longer.block, 0x04);
    EXPECT_EQ(HandleBytes(longer.block.handle), "a\r\nb");
    EXPECT_EQ(longer.block.length, 4);
}

TEST(ConversionFlags, CharacterSets) {
    EXPECT_EQ(Apply("caf\x8E", 0x01), "caf\xE9");
    EXPECT_EQ(Apply("caf\xE9", 0x02), "caf\x8E");
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    EXPECT_EQ(Apply(all, 0x03), all);
    EXPECT_EQ(Apply("caf\x8E\r", 0x05), "caf\xE9\r\n");
}

TEST(ConversionFlags, HtmlStepsReplaceTheHandleAndReleaseTheOldOne) {
    Table("Mac2ISO"), Table("ISO2Mac");  // the resource layer keeps the tables for good
    const int64_t live = HostLiveAllocations();
    {
        Text text("a<b \x8E");
        const HostHandle before = text.block.handle;
        text::ApplyConversionFlags(text.block, 0x10);
        EXPECT_NE(text.block.handle, before);
        EXPECT_EQ(text.str(), "a&lt;b &eacute;");
    }
    EXPECT_EQ(HostLiveAllocations(), live);
    // Each HTML step starts from the text as it was before them; the last one set gives the result.
    EXPECT_EQ(Apply("&lt;<", 0x30), "<<");
    EXPECT_EQ(Apply("&lt;<", 0x20), "<<");
    EXPECT_EQ(Apply("a<b & c", 0x70), "a<b &amp; c");
    EXPECT_EQ(Apply("a<b & c", 0x50), "a<b &amp; c");
    // The in-place steps come first: CR to CR LF, then the entities of the translated text.
    EXPECT_EQ(Apply("\r&eacute;", 0x24), "\r\n\x8E");
    EXPECT_EQ(HostLiveAllocations(), live);
}

TEST(ConversionFlags, EmptyAndNullTexts) {
    Text empty("");
    text::ApplyConversionFlags(empty.block, 0x7F);
    EXPECT_EQ(empty.block.length, 0);
    Text null;
    text::ApplyConversionFlags(null.block, 0x0F);
    EXPECT_EQ(null.block.handle, nullptr);
    text::ApplyConversionFlags(null.block, 0x10);
    EXPECT_NE(null.block.handle, nullptr);
    EXPECT_EQ(null.block.length, 0);
}

TEST(ConversionFlags, CrToCrLfStopsAtTheLimitWithoutSplittingAPair) {
    const std::string result = Apply(std::string(32767, '\r'), 0x04);
    ASSERT_EQ(result.size(), 32766u);
    for (size_t i = 0; i < result.size(); i += 2) ASSERT_EQ(result.compare(i, 2, "\r\n"), 0) << i;
    const std::string html = Apply(std::string(20000, '&'), 0x10);
    EXPECT_EQ(html.size(), 32765u);
}

TEST(ReplaceAll, GivesTheBytesOfTheSearchLoopAndNeverRescans) {
    std::mt19937 random(5);
    const char* const pairs[][2] = {{"&", "&amp;"}, {"&amp;", "&"}, {"\r", "\r\n"}, {"\r\n", "\r"},
                                    {"aa", "a"},    {"aa", "aaa"},  {"ab", "ba"},   {"a", "aa"}};
    for (int n = 0; n < 400; ++n) {
        std::string s;
        const int length = static_cast<int>(random() % 60);
        for (int i = 0; i < length; ++i) s += "a&;bmp\r\n"[random() % 8];
        for (const auto& p : pairs) {
            HostHandle h = NewHandleWith(s);
            const int32_t size = text::ReplaceAll(h, p[0], p[1]);
            const std::string expected = ReferenceReplaceAll(s, p[0], p[1]);
            EXPECT_EQ(HandleBytes(h), expected) << s << " " << p[0];
            EXPECT_EQ(size, static_cast<int32_t>(expected.size()));
            HostDisposeHandle(h);
        }
    }
}

TEST(ReplaceAll, EdgeCases) {
    HostHandle h = NewHandleWith("abcabc");
    EXPECT_EQ(text::ReplaceAll(h, "", "x"), 6);  // an empty search changes nothing
    EXPECT_EQ(text::ReplaceAll(h, "b", ""), 4);
    EXPECT_EQ(HandleBytes(h), "acac");
    EXPECT_EQ(text::ReplaceAll(h, "a", "xyz", 7), 7);  // cut after the last whole piece
    EXPECT_EQ(HandleBytes(h), "xyzcxyz");
    EXPECT_EQ(text::ReplaceAll(h, "z", "0123", 9), 9);
    EXPECT_EQ(HandleBytes(h), "xy0123cxy");
    EXPECT_EQ(text::ReplaceAll(nullptr, "a", "b"), -1);
    HostDisposeHandle(h);
}

// Allocations of 100 bytes or more fail; the small handle records still succeed.
void* SmallAllocationsOnly(size_t size) { return size >= 100 ? nullptr : std::malloc(size); }
void* SmallReallocationsOnly(void* block, size_t size) { return size >= 100 ? nullptr : std::realloc(block, size); }

struct MemoryShort {
    MemoryShort() {
        HostSystemCallTable()->allocate = SmallAllocationsOnly;
        HostSystemCallTable()->reallocate = SmallReallocationsOnly;
    }
    ~MemoryShort() { HostRestoreSystemCalls(); }
};

TEST(OutOfMemory, CommandsReturnAnEmptyTextAtOnce) {
    PluginHost host;
    const std::string long_text(300, '&');
    Table("Mac2ISO"), Table("ISO2Mac");  // loaded while memory lasts
    HostSetManualClock(true);
    const uint32_t ticks = HostTicks();
    for (int32_t selector : {kTextToHtml, kHtmlToText, kUrlEncode, kUrlDecode, kMacToIso, kIsoToMac}) {
        Text text(long_text);
        Text result;
        int32_t mode = selector == kHtmlToText ? 2 : 0;
        {
            MemoryShort shortage;
            if (selector >= kMacToIso) {
                host.CallText(selector, {&text.block}, result);
            } else {
                host.CallText(selector, {&text.block, &mode}, result);
            }
        }
        EXPECT_EQ(result.block.length, 0) << selector;
        EXPECT_NE(result.block.handle, nullptr) << selector;
        EXPECT_NE(result.block.handle, text.block.handle) << selector;
        EXPECT_EQ(text.str(), long_text);
    }
    EXPECT_EQ(HostTicks(), ticks);  // no pause
    HostSetManualClock(false);
}

TEST(OutOfMemory, ConversionFlagsKeepTheText) {
    Table("Mac2ISO"), Table("ISO2Mac");
    const std::string original = std::string(150, '&') + "\r";
    for (int32_t flags : {0x04, 0x10, 0x20, 0x40, 0x14}) {
        Text text(original);
        const int64_t live = HostLiveAllocations();
        {
            MemoryShort shortage;
            text::ApplyConversionFlags(text.block, flags);
        }
        EXPECT_EQ(HostLiveAllocations(), live) << flags;
        EXPECT_EQ(text.str(), original) << flags;
        EXPECT_EQ(HostGetHandleSize(text.block.handle), text.block.length);
    }
}

TEST(LockedText, CannotGrowAndIsLeftAsItWas) {
    Text text("a\rb\r\n");
    HostLockHandle(text.block.handle);
    const HostHandle before = text.block.handle;
    text::ApplyConversionFlags(text.block, 0x04);
    EXPECT_EQ(text.str(), "a\rb\r\n");
    text::ApplyConversionFlags(text.block, 0x08);  // shrinking stays in place
    EXPECT_EQ(text.str(), "a\rb\r");
    EXPECT_EQ(text.block.handle, before);
    HostUnlockHandle(text.block.handle);
}

}  // namespace
}  // namespace zor::test
