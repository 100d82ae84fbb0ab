// dates.cpp: host seconds (from 1904-01-01, no time zone) to calendar fields and back.
//
// Day counts use the proleptic Gregorian civil-date conversions (days relative to 1970-01-01),
// shifted to the 1904 epoch.
#include "host/host_internal.h"

namespace {

constexpr int64_t kEpoch1904 = -24107;  // 1904-01-01 in days from 1970-01-01

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, int64_t& m, int64_t& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = yoe + era * 400 + (m <= 2);
}

}  // namespace

extern "C" {

void HostSecondsToDate(uint32_t seconds, DateTimeFields* fields) {
    const int64_t days = seconds / 86400;
    const int64_t rest = seconds % 86400;
    int64_t y = 0, m = 0, d = 0;
    CivilFromDays(days + kEpoch1904, y, m, d);
    fields->year = static_cast<int16_t>(y);
    fields->month = static_cast<int16_t>(m);
    fields->day = static_cast<int16_t>(d);
    fields->hour = static_cast<int16_t>(rest / 3600);
    fields->minute = static_cast<int16_t>(rest / 60 % 60);
    fields->second = static_cast<int16_t>(rest % 60);
    fields->dayOfWeek = static_cast<int16_t>((days + 5) % 7 + 1);  // 1904-01-01 was a Friday (6)
}

void HostDateToSeconds(const DateTimeFields* fields, uint32_t* seconds) {
    // Months outside 1..12 carry into the year; days, hours, minutes and seconds simply add up.
    int64_t month0 = fields->month - 1;
    int64_t year = fields->year + (month0 >= 0 ? month0 / 12 : (month0 - 11) / 12);
    month0 = (month0 % 12 + 12) % 12;
    const int64_t days = DaysFromCivil(year, month0 + 1, 1) - kEpoch1904 + fields->day - 1;
    const int64_t total = days * 86400 + static_cast<int64_t>(fields->hour) * 3600 +
                          static_cast<int64_t>(fields->minute) * 60 + fields->second;
    *seconds = static_cast<uint32_t>(total);
}

}  // extern "C"
