// oracle_test.cpp: DateToRfc822 and Rfc822ToDate against python3's email.utils, over random
// instants from 1904 to 2040, each batch sent through one python3 run.
#include <random>
#include <sstream>

#include "time_support.h"

namespace zor::test {
namespace {

constexpr int kInstants = 10000;

// The 1904..2040 scale, kept clear of its ends so that a zone shift never wraps.
std::vector<uint32_t> RandomInstants(uint32_t seed, int count) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<uint32_t> instants(50000, 0xFFFFFFFFu - 50000);
    std::vector<uint32_t> out;
    for (int i = 0; i < count; ++i) out.push_back(instants(random));
    return out;
}

// Python writes the day of month with a leading zero; our texts do not.
std::string WithoutDayZero(std::string text) {
    if (text.size() > 5 && text[5] == '0') text.erase(5, 1);
    return text;
}

// One python3 run: for each line "unix-seconds offset-seconds", email.utils.format_datetime of the
// instant in a zone of that fixed offset (GMT for offset 0).
std::vector<std::string> PythonFormat(const std::vector<uint32_t>& instants, int32_t offset) {
    std::ostringstream input;
    for (uint32_t s : instants) input << static_cast<int64_t>(s) - kUnixEpochInHostSeconds << " " << offset << "\n";
    return RunPython(R"(
import sys, datetime, email.utils
for line in sys.stdin:
    u, off = (int(x) for x in line.split())
    utc = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc) + datetime.timedelta(seconds=u)
    if off == 0:
        print(email.utils.format_datetime(utc, usegmt=True))
    else:
        print(email.utils.format_datetime(utc.astimezone(datetime.timezone(datetime.timedelta(seconds=off)))))
)",
                     input.str());
}

TEST(Oracle, GmtTextsMatchEmailUtilsAndParseBack) {
    PluginHost host;
    ZoneScope scope("America/St_Johns");  // flag 1 must not look at the zone
    const std::vector<uint32_t> instants = RandomInstants(1904, kInstants);
    const std::vector<std::string> python = PythonFormat(instants, 0);
    ASSERT_EQ(python.size(), instants.size()) << "python3 did not answer for every instant";
    for (size_t i = 0; i < instants.size(); ++i) {
        const auto s = static_cast<int32_t>(instants[i]);
        ASSERT_EQ(DateToRfc822(host, s, 1), WithoutDayZero(python[i])) << instants[i];
        ASSERT_EQ(Rfc822ToDate(host, python[i]), s) << python[i];
    }
}

TEST(Oracle, LocalTextsMatchEmailUtilsInEveryZone) {
    PluginHost host;
    uint32_t seed = 2040;
    for (const ZoneCase& z : kZones) {
        ZoneScope scope(z.zone);
        const std::vector<uint32_t> instants = RandomInstants(seed++, kInstants / 5);
        const std::vector<std::string> python = PythonFormat(instants, z.standardOffset);
        ASSERT_EQ(python.size(), instants.size()) << z.zone;
        for (size_t i = 0; i < instants.size(); ++i) {
            const auto s = static_cast<int32_t>(instants[i]);
            ASSERT_EQ(DateToRfc822(host, s, 0), WithoutDayZero(python[i])) << z.zone << " " << instants[i];
            ASSERT_EQ(Rfc822ToDate(host, python[i]), s) << z.zone << " " << python[i];
        }
    }
}

// Appended rather than `"0" + std::to_string(n)`, which g++ 12 at -O3 reports as a false overlap.
std::string TwoDigits(int n) {
    std::string s(n < 10 ? "0" : "");
    s += std::to_string(n);
    return s;
}

// Texts in the layouts mail headers carry, with named and numeric zones, read by both sides:
// email.utils.parsedate_tz gives the fields and the zone's offset, from which the instant follows.
TEST(Oracle, NamedZonesMatchParsedateTz) {
    PluginHost host;
    std::mt19937 random(50);
    const char* zones[] = {"EDT", "EST", "CDT", "CST", "MDT", "MST", "PDT", "PST", "GMT", "UT",
                           "+0000", "+0100", "-0330", "+0530", "+1245", "-1100"};
    const char* days[] = {"Sun, ", "Mon, ", "Tue, ", "Wed, ", "Thu, ", "Fri, ", "Sat, ", ""};
    const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "DEC"};
    std::uniform_int_distribution<int> year(1905, 2038), month(0, 11), day(1, 28), hour(0, 23), sixty(0, 59),
        percent(0, 99);
    std::vector<std::string> texts;
    for (int i = 0; i < kInstants; ++i) {
        const int d = day(random);
        std::string text = days[static_cast<size_t>(percent(random)) % std::size(days)];
        text += percent(random) < 50 ? std::to_string(d) : TwoDigits(d);
        text += std::string(" ") + months[month(random)] + " " + std::to_string(year(random)) + " ";
        text += TwoDigits(hour(random)) + ":" + TwoDigits(sixty(random));
        if (percent(random) < 80) text += ":" + TwoDigits(sixty(random));  // sometimes no seconds
        text += std::string(" ") + zones[static_cast<size_t>(percent(random)) % std::size(zones)];
        texts.push_back(text);
    }
    const std::vector<int32_t> python = ParsedateTzInstants(texts);
    ASSERT_EQ(python.size(), texts.size()) << "python3 did not answer for every text";
    for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(Rfc822ToDate(host, texts[i]), python[i]) << texts[i];
}

}  // namespace
}  // namespace zor::test
