// dates_text_test.cpp: calendar arithmetic on the 1904 scale, numbers in counted strings, and
// Mac Roman comparison.
#include <gtest/gtest.h>

#include <string>

#include "support/plugin_host.h"

namespace zor::test {
namespace {

DateTimeFields Fields(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    return DateTimeFields{static_cast<int16_t>(year),   static_cast<int16_t>(month),  static_cast<int16_t>(day),
                          static_cast<int16_t>(hour),   static_cast<int16_t>(minute), static_cast<int16_t>(second),
                          0};
}

uint32_t Seconds(const DateTimeFields& f) {
    uint32_t s = 0;
    HostDateToSeconds(&f, &s);
    return s;
}

TEST(Dates, EveryDayFrom1904To2040RoundTrips) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    uint32_t expected = 0;
    int dayOfWeek = 6;  // 1904-01-01 was a Friday
    for (int year = 1904; year <= 2040; ++year) {
        const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
        for (int month = 1; month <= 12; ++month) {
            const int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
            for (int day = 1; day <= days; ++day) {
                if (year == 2040 && (month > 2 || (month == 2 && day > 6))) return;
                const uint32_t noon = expected + 6 * 3600 + 28 * 60 + 15;  // the last day ends at 06:28:15
                ASSERT_EQ(Seconds(Fields(year, month, day, 6, 28, 15)), noon) << year << '-' << month << '-' << day;
                DateTimeFields back{};
                HostSecondsToDate(noon, &back);
                ASSERT_EQ(back.year, year);
                ASSERT_EQ(back.month, month);
                ASSERT_EQ(back.day, day);
                ASSERT_EQ(back.hour, 6);
                ASSERT_EQ(back.minute, 28);
                ASSERT_EQ(back.second, 15);
                ASSERT_EQ(back.dayOfWeek, dayOfWeek) << year << '-' << month << '-' << day;
                expected += 86400;
                dayOfWeek = dayOfWeek % 7 + 1;
            }
        }
    }
}

TEST(Dates, LeapYearsAndTheEndOfTheScale) {
    EXPECT_EQ(Seconds(Fields(2000, 3, 1)) - Seconds(Fields(2000, 2, 28)), 2u * 86400) << "2000 is a leap year";
    EXPECT_EQ(Seconds(Fields(1904, 3, 1)) - Seconds(Fields(1904, 2, 28)), 2u * 86400);
    EXPECT_EQ(Seconds(Fields(2001, 3, 1)) - Seconds(Fields(2001, 2, 28)), 86400u);
    EXPECT_EQ(Seconds(Fields(1904, 1, 1)), 0u);
    // The last second the unsigned 32-bit scale holds.
    EXPECT_EQ(Seconds(Fields(2040, 2, 6, 6, 28, 15)), 0xFFFFFFFFu);
    DateTimeFields last{};
    HostSecondsToDate(0xFFFFFFFFu, &last);
    EXPECT_EQ(last.year, 2040);
    EXPECT_EQ(last.month, 2);
    EXPECT_EQ(last.day, 6);
    EXPECT_EQ(last.dayOfWeek, 2) << "2040-02-06 is a Monday";
}

TEST(Dates, FieldsOutsideTheirRangeCarryOver) {
    EXPECT_EQ(Seconds(Fields(1999, 13, 1)), Seconds(Fields(2000, 1, 1)));
    EXPECT_EQ(Seconds(Fields(2000, 0, 1)), Seconds(Fields(1999, 12, 1)));
    EXPECT_EQ(Seconds(Fields(2000, 1, 32)), Seconds(Fields(2000, 2, 1)));
    EXPECT_EQ(Seconds(Fields(2000, 1, 1, 24)), Seconds(Fields(2000, 1, 2)));
}

std::string NumberText(int32_t n) {
    unsigned char text[256];
    HostNumberToText(n, text);
    return std::string(reinterpret_cast<char*>(text + 1), text[0]);
}

int32_t TextNumber(const std::string& s) {
    Str255 text(s);
    int32_t n = 12345;
    HostTextToNumber(text.bytes, &n);
    return n;
}

TEST(Numbers, ToAndFromText) {
    EXPECT_EQ(NumberText(0), "0");
    EXPECT_EQ(NumberText(-45), "-45");
    EXPECT_EQ(NumberText(1000), "1000");
    EXPECT_EQ(NumberText(INT32_MIN), "-2147483648");
    EXPECT_EQ(NumberText(INT32_MAX), "2147483647");
    EXPECT_EQ(TextNumber("123"), 123);
    EXPECT_EQ(TextNumber("-17"), -17);
    EXPECT_EQ(TextNumber("+17"), 17);
    EXPECT_EQ(TextNumber("42abc7"), 42) << "stops at the first byte that is not a digit";
    EXPECT_EQ(TextNumber("007"), 7);
    EXPECT_EQ(TextNumber(""), 0);
    EXPECT_EQ(TextNumber("-"), 0);
    EXPECT_EQ(TextNumber(" 5"), 0);
    EXPECT_EQ(TextNumber("-2147483648"), INT32_MIN);
}

bool Equal(const std::string& a, const std::string& b, bool caseSensitive = false, bool diacritics = true) {
    Str255 x(a), y(b);
    return HostEqualText(x.bytes, y.bytes, caseSensitive, diacritics);
}

TEST(EqualText, CaseBlindOverMacRomanLetters) {
    EXPECT_TRUE(Equal("Jan", "JAN"));
    EXPECT_TRUE(Equal("gmt", "GMT"));
    EXPECT_FALSE(Equal("Jan", "Jun"));
    EXPECT_FALSE(Equal("Jan", "Janu"));
    EXPECT_TRUE(Equal("\x80\x81\x82\x83\x84\x85\x86", "\x8A\x8C\x8D\x8E\x96\x9A\x9F")) << "accented capitals";
    EXPECT_TRUE(Equal("\xAE\xAF\xCE\xD9", "\xBE\xBF\xCF\xD8"));
    EXPECT_FALSE(Equal("\x8A", "a")) << "accents count unless told otherwise";
    EXPECT_TRUE(Equal("\x8A", "a", false, false));
    EXPECT_TRUE(Equal("\x80", "A", true, false));
    EXPECT_FALSE(Equal("Jan", "JAN", true));
    EXPECT_TRUE(Equal("", ""));
    EXPECT_FALSE(Equal("[", "{")) << "only letters fold";
}

TEST(Clock, ManualClockDelayAndYieldCallback) {
    HostSetManualClock(true);
    const uint32_t start = HostTicks();
    EXPECT_EQ(HostTicks(), start);
    HostAdvanceTicks(1800);
    EXPECT_EQ(HostTicks(), start + 1800);
    HostDelay(60);
    EXPECT_EQ(HostTicks(), start + 1860);
    HostSetManualClock(false);

    int calls = 0;
    HostSetYieldCallback([](void* context) { ++*static_cast<int*>(context); }, &calls);
    HostYield();
    HostYield();
    HostSetYieldCallback(nullptr, nullptr);
    HostYield();
    EXPECT_EQ(calls, 2);

    // The offset moves the millisecond counter across its wrap; differences stay true.
    HostSetMillisecondOffset(0);
    const uint32_t plain = HostMilliseconds();
    HostSetMillisecondOffset(0u - plain - 100000);
    const uint32_t nearWrap = HostMilliseconds();
    HostSetMillisecondOffset(0);
    EXPECT_GE(nearWrap, 0xFFFE0000u);
}

}  // namespace
}  // namespace zor::test
