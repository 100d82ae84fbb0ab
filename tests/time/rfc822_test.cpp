// rfc822_test.cpp: RFC 822 date texts through the plug-in: formatting in every test zone, both
// parsing layouts, and the parser's bounds on hostile input.
#include <random>

#include "time/datetime.h"
#include "time_support.h"

namespace zor::test {
namespace {

const int32_t kMonday = HostSeconds(1997, 1, 6, 18, 50, 45);

TEST(LocalZone, StandardOffsetInEveryZone) {
    for (const ZoneCase& z : kZones) {
        ZoneScope scope(z.zone);
        EXPECT_EQ(datetime::LocalZoneOffset(), z.standardOffset) << z.zone;
    }
    // Zones given as POSIX rules rather than files.
    struct Rule {
        const char* zone;
        int32_t offset;
    } rules[] = {{"CET-1CEST", 3600}, {"<+14>-14", 50400}, {"<-12>12", -43200}, {"NPT-5:45", 20700}};
    for (const Rule& r : rules) {
        ZoneScope scope(r.zone);
        EXPECT_EQ(datetime::LocalZoneOffset(), r.offset) << r.zone;
    }
}

TEST(LocalZone, ThroughTheTwentyFourBitField) {
    for (int32_t offset : {0, 1, -1, 45900, -12600, 50400, -43200, 0x7FFFFF, -0x800000})
        EXPECT_EQ(datetime::ThroughZoneField(offset), offset) << offset;
    EXPECT_EQ(datetime::ThroughZoneField(0x800000), -0x800000);  // bit 23 reads as the sign
    EXPECT_EQ(datetime::ThroughZoneField(0x1000005), 5);         // bits above 23 are not kept
}

TEST(DateToRfc822, FlagOneIsGmtInEveryZone) {
    PluginHost host;
    for (const ZoneCase& z : kZones) {
        ZoneScope scope(z.zone);
        EXPECT_EQ(DateToRfc822(host, kMonday, 1), "Mon, 6 Jan 1997 18:50:45 GMT") << z.zone;
        // Only flag 0 applies the zone.
        for (int32_t flag : {2, -1, 100}) EXPECT_EQ(DateToRfc822(host, kMonday, flag), "Mon, 6 Jan 1997 18:50:45 GMT");
    }
}

TEST(DateToRfc822, FlagZeroShowsStandardLocalTime) {
    PluginHost host;
    const int32_t july = HostSeconds(2021, 7, 15, 12, 0, 0);  // daylight saving time in force where kept
    struct Expected {
        const char* zone;
        const char* january;
        const char* july;
    } cases[] = {
        {"UTC", "Mon, 6 Jan 1997 18:50:45 GMT", "Thu, 15 Jul 2021 12:00:00 GMT"},
        {"Europe/London", "Mon, 6 Jan 1997 18:50:45 GMT", "Thu, 15 Jul 2021 12:00:00 GMT"},
        {"EST5EDT", "Mon, 6 Jan 1997 13:50:45 -0500", "Thu, 15 Jul 2021 07:00:00 -0500"},
        {"Asia/Kolkata", "Tue, 7 Jan 1997 00:20:45 +0530", "Thu, 15 Jul 2021 17:30:00 +0530"},
        {"America/St_Johns", "Mon, 6 Jan 1997 15:20:45 -0330", "Thu, 15 Jul 2021 08:30:00 -0330"},
        {"Pacific/Chatham", "Tue, 7 Jan 1997 07:35:45 +1245", "Fri, 16 Jul 2021 00:45:00 +1245"},
    };
    for (const Expected& c : cases) {
        ZoneScope scope(c.zone);
        EXPECT_EQ(DateToRfc822(host, kMonday, 0), c.january) << c.zone;
        EXPECT_EQ(DateToRfc822(host, july, 0), c.july) << c.zone;
    }
    ZoneScope east("CET-1");
    EXPECT_EQ(DateToRfc822(host, kMonday, 0), "Mon, 6 Jan 1997 19:50:45 +0100");
}

TEST(DateToRfc822, FieldWidths) {
    PluginHost host;
    EXPECT_EQ(DateToRfc822(host, HostSeconds(2000, 3, 1), 1), "Wed, 1 Mar 2000 00:00:00 GMT");
    EXPECT_EQ(DateToRfc822(host, HostSeconds(1999, 12, 31, 23, 59, 59), 1), "Fri, 31 Dec 1999 23:59:59 GMT");
    EXPECT_EQ(DateToRfc822(host, HostSeconds(2004, 2, 29, 9, 5, 7), 1), "Sun, 29 Feb 2004 09:05:07 GMT");
    // The ends of the host's scale.
    EXPECT_EQ(DateToRfc822(host, 0, 1), "Fri, 1 Jan 1904 00:00:00 GMT");
    EXPECT_EQ(DateToRfc822(host, -1, 1), "Mon, 6 Feb 2040 06:28:15 GMT");
    // A zone that is not a whole number of minutes loses its odd seconds.
    ZoneScope odd("<+0030>-0:30:30");
    EXPECT_EQ(DateToRfc822(host, kMonday, 0), "Mon, 6 Jan 1997 19:21:15 +0030");
}

TEST(Rfc822ToDate, Layouts) {
    PluginHost host;
    ZoneScope scope("Asia/Kolkata");  // the RFC 822 layout never looks at the local zone
    struct Case {
        const char* text;
        int32_t expected;
    } cases[] = {
        {"Mon, 06 Jan 1997 18:50:45 +0100", HostSeconds(1997, 1, 6, 17, 50, 45)},
        {"Mon, 06 Jan 1997 18:50:45 GMT", kMonday},
        {"Mon, 6 Jan 1997 18:50:45 GMT", kMonday},
        {"06 Jan 1997 18:50:45", kMonday},
        {"6 Jan 97 18:50 EST", HostSeconds(1997, 1, 6, 23, 50, 0)},
        {"6 Jan 05 18:50 GMT", HostSeconds(1905, 1, 6, 18, 50, 0)},  // two digits: always the 1900s
        {"Mon, 06 JAN 1997 18:50:45 GMT", kMonday},
        {"Mon, 06 jan 1997 18:50:45 GMT", kMonday},
        {"Mon, 06 J\x87N 1997 18:50:45 GMT", kMonday},  // month names compare accent-blind too
        {"Mon, 06 J@n 1997 18:50:45 GMT", HostSeconds(1996, 12, 6, 18, 50, 45)},
        {"Mon, 06 Jan 1997 -1:50:45 GMT", HostSeconds(1997, 1, 5, 23, 50, 45)},  // read as the host reads numbers
        {"Mon, 06 Jan 1997 18:5x:45 GMT", HostSeconds(1997, 1, 6, 18, 5, 45)},
        {"Mon, 06 Jan 1997 18:50:45 est", kMonday},  // zone names are case-sensitive
        {"Mon, 06 Jan 1997 18:50:45 -0330", HostSeconds(1997, 1, 6, 22, 20, 45)},
        {"Mon, 06 Jan 1997 18:50:45 +1245", HostSeconds(1997, 1, 6, 6, 5, 45)},
        {"Mon, 06 Jan 1997 18:50:45 EST5", kMonday},  // the remainder must be the whole name
        {"Mon, 06 Jan 1997 18:50:45 UT", kMonday},
        {"Mon, 06 Jan 1997 18:50:45 Z", kMonday},
        {"Tue, 1 Jan 2030 00:00:00 GMT", HostSeconds(2030, 1, 1)},
        {"Mon, 06 Xyz 1997 18:50:45 GMT", HostSeconds(1996, 12, 6, 18, 50, 45)},  // month 0
        {"", 0},
        {"Monday", 0},
        {"Mon, Jan :: GMT", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(Rfc822ToDate(host, c.text), c.expected) << c.text;

    struct Zone {
        const char* name;
        int32_t hours;
    } zones[] = {{"EDT", 4}, {"EST", 5}, {"CDT", 5}, {"CST", 6}, {"MDT", 6}, {"MST", 7}, {"PDT", 7}, {"PST", 8}};
    for (const Zone& z : zones) {
        EXPECT_EQ(Rfc822ToDate(host, std::string("Mon, 06 Jan 1997 18:50:45 ") + z.name),
                  static_cast<int32_t>(static_cast<uint32_t>(kMonday) + static_cast<uint32_t>(z.hours * 3600)))
            << z.name;
    }
}

TEST(Rfc822ToDate, CompactLayout) {
    PluginHost host;
    for (const ZoneCase& z : kZones) {
        ZoneScope scope(z.zone);
        // Twelve characters: local standard time.
        EXPECT_EQ(Rfc822ToDate(host, "970106185045", 1),
                  static_cast<int32_t>(static_cast<uint32_t>(kMonday) - static_cast<uint32_t>(z.standardOffset)))
            << z.zone;
        // Any other length: GMT.
        EXPECT_EQ(Rfc822ToDate(host, "970106185045Z", 1), kMonday) << z.zone;
    }
    EXPECT_EQ(Rfc822ToDate(host, "391231235959Z", 1), HostSeconds(2039, 12, 31, 23, 59, 59));
    EXPECT_EQ(Rfc822ToDate(host, "400101000000Z", 1), HostSeconds(1940, 1, 1));
    EXPECT_EQ(Rfc822ToDate(host, "000229120000 and more", 1), HostSeconds(2000, 2, 29, 12, 0, 0));
}

TEST(Rfc822ToDate, RoundTripsDateToRfc822InEveryZone) {
    PluginHost host;
    std::mt19937 random(822);
    // Instants that stay inside the host's scale after any test zone's shift.
    std::uniform_int_distribution<uint32_t> instants(100000, 0xFFFFFFFFu - 100000);
    for (const ZoneCase& z : kZones) {
        ZoneScope scope(z.zone);
        for (int i = 0; i < 300; ++i) {
            const auto s = static_cast<int32_t>(instants(random));
            for (int32_t flag : {0, 1}) {
                const std::string text = DateToRfc822(host, s, flag);
                ASSERT_EQ(Rfc822ToDate(host, text), s) << z.zone << " " << text;
            }
        }
    }
}

// The parser reads only the characters its counted string holds: each text below sits in a heap
// block of exactly its own size, so a read past the end stops the sanitizer build.
int32_t ParseExact(const std::string& text, int32_t mode) {
    std::vector<unsigned char> exact(text.size() + 1);
    exact[0] = static_cast<unsigned char>(text.size());
    std::copy(text.begin(), text.end(), exact.begin() + 1);
    exact.shrink_to_fit();
    return datetime::ParseRfc822(exact.data(), mode);
}

TEST(Rfc822ToDate, EveryPrefixStaysInsideItsText) {
    const std::string texts[] = {
        "Mon, 06 Jan 1997 18:50:45 +0100", "6 Jan 97 18:50 EST", "Mon, 6 Jan 1997 18:50:45 PST",
        "Tue, 7 Jan 1997 00:20:45 -0330",  "970106185045Z",      "1 Feb 2000 1:2:3 +1",
    };
    for (const std::string& text : texts) {
        for (size_t n = 0; n <= text.size(); ++n) {
            const std::string prefix = text.substr(0, n);
            for (int32_t mode : {0, 1}) (void)ParseExact(prefix, mode);
            if (prefix.find_first_of("0123456789") == std::string::npos) {
                EXPECT_EQ(ParseExact(prefix, 0), 0) << prefix;
            }
        }
    }
}

TEST(Rfc822ToDate, RandomBytesStayInsideTheirText) {
    std::mt19937 random(50);
    const std::string alphabet = "0123456789 :+-,JanFebMarDecESTPDTGMT";
    std::uniform_int_distribution<int> length(0, 255), byte(0, 255), pick(0, static_cast<int>(alphabet.size()) - 1);
    for (int i = 0; i < 20000; ++i) {
        std::string text(static_cast<size_t>(length(random) % (i % 2 == 0 ? 256 : 40)), '\0');
        const bool likely = i % 3 != 0;  // mostly date-like characters, sometimes any byte
        for (char& c : text) c = static_cast<char>(likely ? alphabet[static_cast<size_t>(pick(random))] : byte(random));
        for (int32_t mode : {0, 1}) (void)ParseExact(text, mode);
        std::string digitless = text;
        for (char& c : digitless)
            if (c >= '0' && c <= '9') c = 'x';
        EXPECT_EQ(ParseExact(digitless, 0), 0);
    }
}

}  // namespace
}  // namespace zor::test
