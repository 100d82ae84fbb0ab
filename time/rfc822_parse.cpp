// rfc822_parse.cpp: RFC 822 and compact date texts to host seconds (command 50).
//
// The parser is positional: each step takes a fixed number of characters from the front of the work
// text and removes a fixed number. The work text is a view into the caller's counted string, and
// every character and substring it hands out is bounded by the text's own length: a character past
// the end is "none" (matching no digit, space or sign), and a substring past the end holds only the
// characters that exist.
#include "time/datetime.h"

namespace zor::datetime {
namespace {

constexpr int kNone = -1;  // what WorkText::At answers past the end

struct WorkText {
    const unsigned char* chars;  // first character still in the work text
    int length;                  // characters left

    // Character at `position` (1 is the first), or kNone past the end.
    int At(int position) const { return position >= 1 && position <= length ? chars[position - 1] : kNone; }

    // Removes k characters from the front (all of them when k >= length).
    void Remove(int k) {
        if (k > length) k = length;
        chars += k;
        length -= k;
    }

    // Characters first to last as a counted string (only those that exist).
    void Substring(int first, int last, unsigned char* out) const {
        int n = 0;
        for (int p = first; p <= last && p <= length; ++p) out[++n] = chars[p - 1];
        out[0] = static_cast<unsigned char>(n);
    }

    // The decimal value of characters first to last (at most four), as HostTextToNumber reads it.
    // All digits, the usual case, is worked out here; anything else goes to the host.
    int32_t Number(int first, int last) const {
        unsigned char part[8];
        Substring(first, last, part);
        int32_t value = 0;
        bool digits = true;
        for (int i = 1; i <= part[0] && digits; ++i) {
            digits = part[i] >= '0' && part[i] <= '9';
            value = value * 10 + (part[i] - '0');
        }
        if (!digits) HostTextToNumber(part, &value);
        return value;
    }
};

bool IsDigit(int c) { return c >= '0' && c <= '9'; }

// Month names, matched case-blind.
constexpr unsigned char kMonthNames[12][4] = {
    {3, 'J', 'a', 'n'}, {3, 'F', 'e', 'b'}, {3, 'M', 'a', 'r'}, {3, 'A', 'p', 'r'},
    {3, 'M', 'a', 'y'}, {3, 'J', 'u', 'n'}, {3, 'J', 'u', 'l'}, {3, 'A', 'u', 'g'},
    {3, 'S', 'e', 'p'}, {3, 'O', 'c', 't'}, {3, 'N', 'o', 'v'}, {3, 'D', 'e', 'c'},
};

// North American zone names, matched exactly against the whole remainder, and the seconds each
// adds to reach GMT. Any other remainder (GMT, UT, a military letter, nothing) adds 0.
struct ZoneName {
    unsigned char name[4];
    int32_t correction;
};
constexpr ZoneName kZoneNames[] = {
    {{3, 'E', 'D', 'T'}, 14400}, {{3, 'E', 'S', 'T'}, 18000}, {{3, 'C', 'D', 'T'}, 18000},
    {{3, 'C', 'S', 'T'}, 21600}, {{3, 'M', 'D', 'T'}, 21600}, {{3, 'M', 'S', 'T'}, 25200},
    {{3, 'P', 'D', 'T'}, 25200}, {{3, 'P', 'S', 'T'}, 28800},
};

int16_t MonthOf(const WorkText& work) {
    unsigned char name[4];
    work.Substring(1, 3, name);
    // Plain ASCII compares case-blind by folding A-Z, which is all the host's comparison does to
    // those bytes; a text with other bytes (accented letters) goes to the host's comparison.
    bool ascii = name[0] == 3;
    for (int i = 1; i <= name[0]; ++i) ascii = ascii && name[i] < 0x80;
    for (int m = 0; m < 12; ++m) {
        if (ascii) {
            bool same = true;
            for (int i = 1; i <= 3; ++i) same = same && (name[i] | 0x20) == (kMonthNames[m][i] | 0x20);
            if (same) return static_cast<int16_t>(m + 1);
        } else if (HostEqualText(name, kMonthNames[m], false, false)) {
            return static_cast<int16_t>(m + 1);
        }
    }
    return 0;
}

int32_t ZoneCorrection(const WorkText& work) {
    if (work.length != 3) return 0;
    for (const ZoneName& zone : kZoneNames) {
        if (work.chars[0] == zone.name[1] && work.chars[1] == zone.name[2] && work.chars[2] == zone.name[3])
            return zone.correction;
    }
    return 0;
}

uint32_t SecondsOf(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second) {
    // Each field came from at most four characters, so it fits the 16-bit field as it is.
    const DateTimeFields fields{static_cast<int16_t>(year),   static_cast<int16_t>(month),
                                static_cast<int16_t>(day),    static_cast<int16_t>(hour),
                                static_cast<int16_t>(minute), static_cast<int16_t>(second), 0};
    uint32_t seconds = 0;
    HostDateToSeconds(&fields, &seconds);
    return seconds;
}

int32_t ParseRfc822Layout(WorkText work) {
    // Skip to the first digit; this drops a leading day name such as "Mon, ".
    while (work.length > 0 && !IsDigit(work.At(1))) work.Remove(1);
    if (work.length == 0) return 0;

    int32_t day = 0;
    if (work.At(2) != ' ') {
        day = work.Number(1, 2);
        work.Remove(3);
    } else {
        day = work.Number(1, 1);
        work.Remove(2);
    }

    const int32_t month = MonthOf(work);
    work.Remove(4);

    int32_t year = 0;
    if (work.At(3) == ' ') {
        year = 1900 + work.Number(1, 2);  // a two-digit year always lands in the 1900s
        work.Remove(3);
    } else {
        year = work.Number(1, 4);
        work.Remove(5);
    }

    const int32_t hour = work.Number(1, 2);
    work.Remove(3);
    const int32_t minute = work.Number(1, 2);
    work.Remove(2);
    int32_t second = 0;
    if (work.At(1) == ':') {
        second = work.Number(2, 3);
        work.Remove(4);
    } else {
        work.Remove(1);
    }

    // A numeric zone is the local time's offset: subtract it to reach GMT.
    int32_t correction = 0;
    if (work.At(1) == '+') correction = correction - work.Number(2, 3) * 3600 - work.Number(4, 5) * 60;
    else if (work.At(1) == '-') correction = correction + work.Number(2, 3) * 3600 + work.Number(4, 5) * 60;
    correction += ZoneCorrection(work);

    return static_cast<int32_t>(SecondsOf(year, month, day, hour, minute, second) + static_cast<uint32_t>(correction));
}

int32_t ParseCompactLayout(WorkText work) {
    const int32_t yy = work.Number(1, 2);
    const int32_t year = yy < 40 ? 2000 + yy : 1900 + yy;
    uint32_t result = SecondsOf(year, work.Number(3, 4), work.Number(5, 6), work.Number(7, 8),
                                work.Number(9, 10), work.Number(11, 12));
    // Exactly twelve characters is local time; anything longer or shorter ("...Z") is GMT.
    if (work.length == 12) result -= static_cast<uint32_t>(LocalZoneOffset());
    return static_cast<int32_t>(result);
}

}  // namespace

int32_t ParseRfc822(const unsigned char* text, int32_t mode) {
    const WorkText work{text + 1, text[0]};
    return mode == kCompactLayout ? ParseCompactLayout(work) : ParseRfc822Layout(work);
}

void Rfc822ToDate(frame::CommandCall& call) {
    frame::SetIntResult(call, ParseRfc822(frame::StringArg(call, 1), frame::IntArg(call, 2)));
}

}  // namespace zor::datetime
