// allocation_test.cpp: every command that allocates, called through the plug-in's interface with its
// 1st, 2nd, ... allocation failing in turn: no crash, nothing leaked, and a result that is either the
// whole answer or the command's answer for a shortage, never a wrong or partial one.
#include <string>

#include "sweep.h"

namespace zor::test {
namespace {

class AllocationSweep : public ::testing::Test {
protected:
    PluginHost host;
};

// ---- Texts -------------------------------------------------------------------------------------------
// Each text command either gives its whole result or an empty text.
TEST_F(AllocationSweep, TextCommandsGiveTheWholeResultOrAnEmptyText) {
    struct Case {
        int32_t selector;
        std::string text;
        int32_t mode;
        bool withMode;
    };
    const Case cases[] = {
        {28, "Caf\x8E <b>\"&\"</b> \xD2quoted\xD3 \xA5 \xC9", 0, true},
        {28, "a & b < c \x8E\x8F", 1, true},
        {29, "&lt;p&gt; caf&eacute; &#233; &amp;amp; &bogus;", 0, true},
        {29, "&lt;p&gt; &eacute;", 1, true},
        {29, "<p class=x>one &lt; two</p><br>three &copy;", 2, true},
        {30, "a b/c?d=\x8E&e", 0, true},
        {30, "a b%c<d>\x8E", 1, true},
        {31, "a+b%20c%E9%e9%zz", 0, true},
        {31, "a+b%20c%E9", 1, true},
        {31, "line=0D=0Acaf=E9=3D", -1, true},
        {32, "Caf\x8E \xA5", 0, false},
        {33, "Caf\xE9 \xA0", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("command " + std::to_string(c.selector) + " mode " + std::to_string(c.mode));
        Text input(c.text);
        const TextOutcome whole = CallTextCommand(host, c.selector, input, c.mode, c.withMode);
        ASSERT_TRUE(whole.handle);
        ASSERT_FALSE(whole.bytes.empty());
        const int runs = SweepAllocations(
            [] {}, [&] { return CallTextCommand(host, c.selector, input, c.mode, c.withMode); },
            [&](const TextOutcome& got, bool failed) {
                EXPECT_EQ(input.str(), c.text) << "the command changed its argument";
                if (!failed || !got.bytes.empty()) {
                    EXPECT_EQ(got.bytes, whole.bytes);
                }
            });
        EXPECT_GT(runs, 1) << "the command allocates its result";
    }
}

// A long text whose result outgrows the working block on the way.
TEST_F(AllocationSweep, LongTextsGrowingThroughSeveralSteps) {
    std::string text;
    for (int i = 0; i < 600; ++i) text += "<a href=\"x\">\x8E & \xD2q\xD3</a> ";
    for (int32_t mode : {0, 1}) {
        Text input(text);
        const TextOutcome whole = CallTextCommand(host, 28, input, mode);
        ASSERT_GT(whole.bytes.size(), text.size());
        SweepAllocations([] {}, [&] { return CallTextCommand(host, 28, input, mode); },
                         [&](const TextOutcome& got, bool failed) {
                             if (!failed || !got.bytes.empty()) {
                                 EXPECT_EQ(got.bytes, whole.bytes);
                             }
                         });
    }
}

// ---- Keyed text store --------------------------------------------------------------------------------
int32_t StoreCount(PluginHost& host, int32_t key) { return host.CallInt(36, {&key}); }
void StorePush(PluginHost& host, int32_t key, Text& text) {
    int64_t slot = 0;
    host.Call(37, {&key, &text.block}, &slot);
}
void StorePush(PluginHost& host, int32_t key, const std::string& bytes) {
    Text text(bytes);
    StorePush(host, key, text);
}
TextOutcome StorePop(PluginHost& host, int32_t key) {
    Text result;
    host.CallText(38, {&key}, result);
    return TextOutcome{result.str(), result.block.handle != nullptr};
}
void StoreDelete(PluginHost& host, int32_t key) {
    int64_t slot = 0;
    host.Call(39, {&key}, &slot);
}

// A push that runs short stores nothing; one that succeeds stores the whole text. Nothing already
// queued under the key or another is touched either way.
TEST_F(AllocationSweep, StorePushKeepsTheStoreWhole) {
    // The store itself lives as long as the plug-in: made before counting.
    StorePush(host, 9, "other key");
    const std::string text = Pattern(3000, 1);
    Text argument(text);
    const int runs = SweepAllocations(
        [&] {
            StoreDelete(host, 7);
            StorePush(host, 7, "first");
        },
        [&] {
            StorePush(host, 7, argument);
            return 0;
        },
        [&](int, bool failed) {
            const int32_t count = StoreCount(host, 7);
            if (failed) {
                EXPECT_TRUE(count == 1 || count == 2) << count;
            } else {
                EXPECT_EQ(count, 2);
            }
            EXPECT_EQ(StorePop(host, 7).bytes, "first");
            if (count == 2) {
                EXPECT_EQ(StorePop(host, 7).bytes, text);
            }
            StoreDelete(host, 7);
        });
    EXPECT_GT(runs, 1);
    EXPECT_EQ(StoreCount(host, 9), 1);
    EXPECT_EQ(StorePop(host, 9).bytes, "other key");
}

// A pop that gives nothing because memory ran short must leave the text queued.
TEST_F(AllocationSweep, StorePopNeverLosesAText) {
    StorePush(host, 9, "keeps the store alive");
    SweepAllocations(
        [&] {
            StoreDelete(host, 5);
            StorePush(host, 5, "one");
            StorePush(host, 5, "two");
        },
        [&] { return StorePop(host, 5); },
        [&](const TextOutcome& got, bool) {
            if (got.bytes == "one") {
                EXPECT_EQ(StoreCount(host, 5), 1);
                EXPECT_EQ(StorePop(host, 5).bytes, "two");
            } else {
                EXPECT_EQ(got.bytes, "");
                EXPECT_EQ(StoreCount(host, 5), 2);
                EXPECT_EQ(StorePop(host, 5).bytes, "one");
            }
            StoreDelete(host, 5);
        });
    StoreDelete(host, 9);
}

// ---- Dates -------------------------------------------------------------------------------------------
// The date commands give the same answers whatever allocation fails.
TEST_F(AllocationSweep, DateCommandsAnswerTheSame) {
    struct Answers {
        std::string text;
        int32_t seconds = 0;
        int16_t date[3] = {0, 0, 0};
        int32_t time = 0;
        bool operator==(const Answers& o) const {
            return text == o.text && seconds == o.seconds && date[0] == o.date[0] && date[1] == o.date[1] &&
                   date[2] == o.date[2] && time == o.time;
        }
    };
    auto ask = [&] {
        Answers a;
        int32_t when = 3'900'000'000 - 4'294'967'296LL, zone = 0;
        a.text = host.CallString(48, {&when, &zone});
        Str255 text("Tue, 08 Dec 2026 17:42:47 +0100");
        int32_t layout = 0;
        a.seconds = host.CallInt(50, {text.bytes, &layout});
        int32_t flags = 0;
        int64_t slot = 0;
        host.Call(51, {&a.seconds, a.date, &a.time, &flags}, &slot);
        return a;
    };
    const Answers expected = ask();
    ASSERT_FALSE(expected.text.empty());
    SweepAllocations([] {}, ask, [&](const Answers& got, bool) { EXPECT_TRUE(got == expected) << got.text; });
}

// ---- Pictures ----------------------------------------------------------------------------------------
// PictureToGif gives the whole GIF file or no handle.
TEST_F(AllocationSweep, PictureToGifGivesTheWholeFileOrNone) {
    HostHandle picture = NewHandleWith(SmallGif());
    auto convert = [&](int32_t width, int32_t height) {
        int32_t flags = 0, column = 0, row = 0;
        HostHandle result = nullptr;
        host.Call(46, {&picture, &flags, &width, &height, &column, &row}, &result);
        std::string bytes = result ? HandleBytes(result) : "<none>";
        if (result) HostDisposeHandle(result);
        return bytes;
    };
    // The converter's tables are made at the first conversion and kept.
    const std::string whole = convert(40, 30);
    ASSERT_EQ(whole.substr(0, 6), "GIF87a");
    const int runs = SweepAllocations([] {}, [&] { return convert(40, 30); },
                                      [&](const std::string& got, bool failed) {
                                          if (!failed || got != "<none>") {
                                              EXPECT_EQ(got, whole);
                                          }
                                      });
    EXPECT_GT(runs, 1);
    HostDisposeHandle(picture);
}

// FileToPicture gives the file's bytes or no handle; PictureToFile writes the whole file.
TEST_F(AllocationSweep, FilesAndPictures) {
    TempDir folder;
    const std::string bytes = Pattern(70000, 3);
    WriteFile(folder / "in.dat", bytes);
    Text inName(folder / "in.dat");
    const int runs = SweepAllocations(
        [] {},
        [&] {
            Text& name = inName;
            HostHandle result = nullptr;
            host.Call(58, {&name.block}, &result);
            std::string got = result ? HandleBytes(result) : "<none>";
            if (result) HostDisposeHandle(result);
            return got;
        },
        [&](const std::string& got, bool failed) {
            if (!failed || got != "<none>") {
                EXPECT_TRUE(got == bytes);
            }
        });
    EXPECT_GT(runs, 1);

    HostHandle picture = NewHandleWith(SmallGif());
    Text outName(folder / "out.gif");
    SweepAllocations(
        [] {},
        [&] {
            Text& name = outName;
            return host.CallInt(57, {&picture, &name.block});
        },
        [&](int32_t result, bool) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(ReadFile(folder / "out.gif"), SmallGif());
        });
    HostDisposeHandle(picture);
}

}  // namespace
}  // namespace zor::test
