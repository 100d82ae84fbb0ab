// rfc822_format.cpp: host seconds to RFC 822 date text (command 48).
#include <cstring>

#include "time/datetime.h"

namespace zor::datetime {
namespace {

// Day names by day of week 1 (Sunday) to 7, and month names by month 1 to 12, as they are appended.
constexpr char kDayNames[7][6] = {"Sun, ", "Mon, ", "Tue, ", "Wed, ", "Thu, ", "Fri, ", "Sat, "};
constexpr char kMonthNames[12][6] = {" Jan ", " Feb ", " Mar ", " Apr ", " May ", " Jun ",
                                     " Jul ", " Aug ", " Sep ", " Oct ", " Nov ", " Dec "};

// Appends to a counted string that has room to spare (the whole text stays under 64 characters).
void Append(unsigned char* text, const char* chars, int count) {
    std::memcpy(text + 1 + text[0], chars, static_cast<size_t>(count));
    text[0] = static_cast<unsigned char>(text[0] + count);
}

// A non-negative field in decimal without leading zeros, as HostNumberToText writes it (the fields
// of a host date are never negative).
void AppendNumber(unsigned char* text, int32_t number) {
    if (number < 0) {
        unsigned char digits[256];
        HostNumberToText(number, digits);
        Append(text, reinterpret_cast<const char*>(digits + 1), digits[0]);
        return;
    }
    char digits[10];
    int n = sizeof digits;
    do {
        digits[--n] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    Append(text, digits + n, static_cast<int>(sizeof digits) - n);
}

// A time or zone field: "0" before a value below 10.
void AppendTwoDigits(unsigned char* text, int32_t number) {
    if (number < 10) Append(text, "0", 1);
    AppendNumber(text, number);
}

}  // namespace

void FormatRfc822(int32_t seconds, int32_t zoneFlag, unsigned char* text) {
    int32_t zone = 0;
    uint32_t shown = static_cast<uint32_t>(seconds);
    if (zoneFlag == 0) {
        zone = LocalZoneOffset();
        shown += static_cast<uint32_t>(zone);  // wraps like the host's 32-bit seconds
    }
    DateTimeFields fields;
    HostSecondsToDate(shown, &fields);

    text[0] = 0;
    const int dayOfWeek = fields.dayOfWeek >= 1 && fields.dayOfWeek <= 7 ? fields.dayOfWeek : 1;
    Append(text, kDayNames[dayOfWeek - 1], 5);
    AppendNumber(text, fields.day);
    const int month = fields.month >= 1 && fields.month <= 12 ? fields.month : 1;
    Append(text, kMonthNames[month - 1], 5);
    AppendNumber(text, fields.year);
    Append(text, " ", 1);
    AppendTwoDigits(text, fields.hour);
    Append(text, ":", 1);
    AppendTwoDigits(text, fields.minute);
    Append(text, ":", 1);
    AppendTwoDigits(text, fields.second);
    if (zone == 0) {
        Append(text, " GMT", 4);
    } else {
        Append(text, zone > 0 ? " +" : " -", 2);
        const int32_t minutes = (zone > 0 ? zone : -zone) / 60;  // a zone's odd seconds are dropped
        AppendTwoDigits(text, minutes / 60);
        AppendTwoDigits(text, minutes % 60);
    }
}

void DateToRfc822(frame::CommandCall& call) {
    FormatRfc822(frame::IntArg(call, 1), frame::IntArg(call, 2), frame::StringResult(call));
}

}  // namespace zor::datetime
