// conversions_test.cpp: host seconds to and from the host's date and time of day, in every test
// zone, and the millisecond timers across the counter's wrap.
#include <random>

#include "time_support.h"

namespace zor::test {
namespace {

TEST(DateToSeconds, FieldsAndZoneFlag) {
    PluginHost host;
    const int32_t oneAm = HostSeconds(1997, 1, 6, 1, 0, 0);
    for (const ZoneCase& z : kZones) {
        ZoneScope scope(z.zone);
        EXPECT_EQ(DateToSeconds(host, 6, 1, 1997, 3600, 0), oneAm) << z.zone;
        // Flag 1 reads the date and time as local time and gives GMT; only exactly 1 does.
        EXPECT_EQ(DateToSeconds(host, 6, 1, 1997, 3600, 1),
                  static_cast<int32_t>(static_cast<uint32_t>(oneAm) - static_cast<uint32_t>(z.standardOffset)))
            << z.zone;
        for (int32_t flag : {2, -1}) EXPECT_EQ(DateToSeconds(host, 6, 1, 1997, 3600, flag), oneAm);
    }
    ZoneScope east("CET-1");
    EXPECT_EQ(DateToSeconds(host, 6, 1, 1997, 3600, 1), HostSeconds(1997, 1, 6));
}

TEST(DateToSeconds, TimeOfDayOutsideOneDay) {
    PluginHost host;
    // Whole days are dropped.
    EXPECT_EQ(DateToSeconds(host, 6, 1, 1997, 90000, 0), HostSeconds(1997, 1, 6, 1, 0, 0));
    EXPECT_EQ(DateToSeconds(host, 6, 1, 1997, 86400 * 30 + 59, 0), HostSeconds(1997, 1, 6, 0, 0, 59));
    // A negative time gives negative fields, which count back from midnight.
    EXPECT_EQ(DateToSeconds(host, 6, 1, 1997, -3600, 0), HostSeconds(1997, 1, 5, 23, 0, 0));
    EXPECT_EQ(DateToSeconds(host, 6, 1, 1997, -90061, 0), HostSeconds(1997, 1, 5, 22, 58, 59));
    // Days and months past their end carry over.
    EXPECT_EQ(DateToSeconds(host, 32, 12, 1999, 0, 0), HostSeconds(2000, 1, 1));
    EXPECT_EQ(DateToSeconds(host, 1, 13, 1999, 0, 0), HostSeconds(2000, 1, 1));
}

TEST(SecondsToDate, FieldsAndZoneFlag) {
    PluginHost host;
    const int32_t s = HostSeconds(1997, 1, 6, 18, 50, 45);
    for (const ZoneCase& z : kZones) {
        ZoneScope scope(z.zone);
        EXPECT_EQ(SecondsToDate(host, s, 1), (DateAndTime{6, 1, 1997, 67845})) << z.zone;
        const int32_t local = static_cast<int32_t>(static_cast<uint32_t>(s) + static_cast<uint32_t>(z.standardOffset));
        for (int32_t flag : {0, 2, -1}) EXPECT_EQ(SecondsToDate(host, s, flag), SecondsToDate(host, local, 1)) << z.zone;
    }
    ZoneScope scope("Pacific/Chatham");
    EXPECT_EQ(SecondsToDate(host, s, 0), (DateAndTime{7, 1, 1997, 7 * 3600 + 35 * 60 + 45}));
}

TEST(SecondsToDate, RoundTripsWithOppositeFlags) {
    PluginHost host;
    std::mt19937 random(49);
    std::uniform_int_distribution<uint32_t> instants(100000, 0xFFFFFFFFu - 100000);
    for (const ZoneCase& z : kZones) {
        ZoneScope scope(z.zone);
        for (int i = 0; i < 500; ++i) {
            const auto s = static_cast<int32_t>(instants(random));
            // Shown as they are, read back unshifted.
            const DateAndTime plain = SecondsToDate(host, s, 1);
            ASSERT_EQ(DateToSeconds(host, plain.day, plain.month, plain.year, plain.time, 0), s) << z.zone;
            // Shown as local time, read back as local time.
            const DateAndTime local = SecondsToDate(host, s, 0);
            ASSERT_EQ(DateToSeconds(host, local.day, local.month, local.year, local.time, 1), s) << z.zone;
            // The same flag on both sides is off by the zone.
            ASSERT_EQ(DateToSeconds(host, local.day, local.month, local.year, local.time, 0),
                      static_cast<int32_t>(static_cast<uint32_t>(s) + static_cast<uint32_t>(z.standardOffset)));
        }
    }
}

// The counter is moved forward by the host's test offset rather than by waiting.
TEST(Milliseconds, IntervalsAcrossTheWrap) {
    PluginHost host;
    int32_t earlier = host.CallInt(34, {});
    for (int32_t selector : {35, 54}) {
        int32_t at = earlier;
        const int32_t elapsed = host.CallInt(selector, {&at});
        EXPECT_GE(elapsed, 0);
        EXPECT_LT(elapsed, 60000);
    }

    HostSetMillisecondOffset(0);
    const uint32_t raw = HostMilliseconds();
    HostSetMillisecondOffset(0u - raw - 5);  // the counter now reads just below 2^32
    earlier = host.CallInt(34, {});
    EXPECT_GT(static_cast<uint32_t>(earlier), 0xFFF00000u);
    HostSetMillisecondOffset(0u - raw + 20);  // 25 ms on, past the wrap
    EXPECT_LT(static_cast<uint32_t>(host.CallInt(34, {})), 0x100000u);
    for (int32_t selector : {35, 54}) {
        int32_t at = earlier;
        const int32_t elapsed = host.CallInt(selector, {&at});
        EXPECT_GE(elapsed, 25) << selector;
        EXPECT_LT(elapsed, 60000) << selector;
    }
    HostSetMillisecondOffset(0);
}

}  // namespace
}  // namespace zor::test
