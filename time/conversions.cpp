// conversions.cpp: host seconds to and from a host date and time of day (commands 49, 51), and the
// millisecond timers (commands 34, 35, 54).
#include "time/datetime.h"

namespace zor::datetime {

int32_t DateAndTimeToSeconds(const DateRecord& date, int32_t timeOfDay, int32_t zoneFlag) {
    // Whole days in the time of day are dropped; a negative time gives negative fields (remainders
    // keep the sign of the time), which the host's conversion adds up as they are.
    const int32_t t = timeOfDay;
    const DateTimeFields fields{date.year,
                                date.month,
                                date.day,
                                static_cast<int16_t>(t % 86400 / 3600),
                                static_cast<int16_t>(t % 3600 / 60),
                                static_cast<int16_t>(t % 60),
                                0};
    uint32_t seconds = 0;
    HostDateToSeconds(&fields, &seconds);
    if (zoneFlag == 1) seconds -= static_cast<uint32_t>(LocalZoneOffset());
    return static_cast<int32_t>(seconds);
}

void SecondsToDateAndTime(int32_t seconds, int32_t zoneFlag, DateRecord& date, int32_t& timeOfDay) {
    uint32_t shown = static_cast<uint32_t>(seconds);
    if (zoneFlag != 1) shown += static_cast<uint32_t>(LocalZoneOffset());
    DateTimeFields fields;
    HostSecondsToDate(shown, &fields);
    date = DateRecord{fields.day, fields.month, fields.year};
    timeOfDay = fields.hour * 3600 + fields.minute * 60 + fields.second;
}

void DateToSeconds(frame::CommandCall& call) {
    const int16_t* record = frame::DateArg(call, 1);
    const DateRecord date{record[0], record[1], record[2]};
    frame::SetIntResult(call, DateAndTimeToSeconds(date, frame::IntArg(call, 2), frame::IntArg(call, 3)));
}

void SecondsToDate(frame::CommandCall& call) {
    DateRecord date{};
    int32_t timeOfDay = 0;
    SecondsToDateAndTime(frame::IntArg(call, 1), frame::IntArg(call, 4), date, timeOfDay);
    int16_t* record = frame::DateArg(call, 2);
    record[0] = date.day;
    record[1] = date.month;
    record[2] = date.year;
    frame::SetIntArg(call, 3, timeOfDay);
}

// The counter wraps at 2^32 (about 49.7 days); differences are taken modulo 2^32 so that an interval
// spanning the wrap comes out right.
void Milliseconds(frame::CommandCall& call) { frame::SetIntResult(call, static_cast<int32_t>(HostMilliseconds())); }

void ElapsedMilliseconds(frame::CommandCall& call) {
    const uint32_t since = static_cast<uint32_t>(frame::IntArg(call, 1));
    frame::SetIntResult(call, static_cast<int32_t>(HostMilliseconds() - since));
}

void MillisecondsSince(frame::CommandCall& call) { ElapsedMilliseconds(call); }

}  // namespace zor::datetime
