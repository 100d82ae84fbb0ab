// datetime.h: dates and times: RFC 822 date texts, host seconds to and from the host's date and
// time of day, the local zone offset, and millisecond timers.
//
// Host seconds are the host's count from 1904-01-01 00:00:00 (HostSecondsToDate); the commands carry
// them as signed 32-bit integers, and every shift by a zone offset wraps around 2^32 the same way.
#ifndef ZOR_TIME_DATETIME_H
#define ZOR_TIME_DATETIME_H

#include <cstdint>

#include "frame/frame.h"

namespace zor::datetime {

// ---- The local zone --------------------------------------------------------------------------------
// The local zone's standard offset from UTC in seconds, positive east of Greenwich; daylight saving
// time is never added. Read afresh on every call (tzset), so a changed TZ takes effect at once. The
// value passes through the 24-bit zone field of a location record (see ThroughZoneField).
int32_t LocalZoneOffset();

// An offset as it reads back after being stored in a 24-bit field: its low 24 bits, sign-extended
// from bit 23. Every real zone offset (within +-97 days) comes back unchanged.
int32_t ThroughZoneField(int32_t offset);

// ---- RFC 822 texts ---------------------------------------------------------------------------------
// Writes the RFC 822 text of `seconds` into the counted string `text` (at least 256 bytes; the text
// never exceeds 40 characters): "Mon, 6 Jan 1997 18:50:45 GMT". Zone flag 0 shows local standard
// time with a numeric zone ("+0530"; " GMT" when the offset is 0); any other flag shows the seconds
// as given with " GMT".
void FormatRfc822(int32_t seconds, int32_t zoneFlag, unsigned char* text);

// The layouts Rfc822ToDate reads.
enum ParseMode : int32_t {
    kCompactLayout = 1,  // YYMMDDhhmmss, optionally followed by more characters
    // every other mode value: day, month name, year, time, zone ("Mon, 06 Jan 1997 18:50:45 +0100")
};

// Host seconds in GMT of the date in the counted string `text`. Reads only text[0] and the
// text[0] characters after it. Positional: takes fixed numbers of characters at each step; no input
// is rejected, and an RFC 822 text without any digit gives 0.
int32_t ParseRfc822(const unsigned char* text, int32_t mode);

// ---- Host seconds and the host's date and time of day ------------------------------------------------
// A host date as the host passes it.
struct DateRecord {
    int16_t day;    // 1..31
    int16_t month;  // 1..12
    int16_t year;   // 1904..2040
};

// Host seconds of a date and a time of day (seconds since midnight; whole days in it are dropped).
// Zone flag exactly 1 reads them as local time and gives GMT; any other flag gives them unshifted.
int32_t DateAndTimeToSeconds(const DateRecord& date, int32_t timeOfDay, int32_t zoneFlag);

// The date and time of day of host seconds. Every zone flag but 1 reads the seconds as GMT and shows
// local time; flag 1 shows them as they are.
void SecondsToDateAndTime(int32_t seconds, int32_t zoneFlag, DateRecord& date, int32_t& timeOfDay);

// ---- Commands --------------------------------------------------------------------------------------
void Milliseconds(frame::CommandCall& call);         // 34: the millisecond counter
void ElapsedMilliseconds(frame::CommandCall& call);  // 35: counter minus argument 1, wrapping
void DateToRfc822(frame::CommandCall& call);         // 48: (seconds, zone flag) -> string
void DateToSeconds(frame::CommandCall& call);        // 49: (date, time of day, zone flag) -> seconds
void Rfc822ToDate(frame::CommandCall& call);         // 50: (string, mode) -> seconds
void SecondsToDate(frame::CommandCall& call);        // 51: (seconds, date out, time out, zone flag)
void MillisecondsSince(frame::CommandCall& call);    // 54: same as 35

}  // namespace zor::datetime

#endif  // ZOR_TIME_DATETIME_H
