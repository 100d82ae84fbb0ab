// zone.cpp: the local zone's standard offset, the one source of the zone for every date command.
#include <time.h>

#include "time/datetime.h"

namespace zor::datetime {

int32_t ThroughZoneField(int32_t offset) {
    // A location record keeps the offset in 24 bits: the low 24 bits are stored, and the reader
    // sign-extends from bit 23.
    const uint32_t field = static_cast<uint32_t>(offset) & 0xFFFFFFu;
    return (field & 0x800000u) != 0 ? static_cast<int32_t>(field) - 0x1000000 : static_cast<int32_t>(field);
}

int32_t LocalZoneOffset() {
    // `timezone` is the standard time's offset in seconds west of Greenwich, as TZ describes it.
    tzset();
    return ThroughZoneField(static_cast<int32_t>(-timezone));
}

}  // namespace zor::datetime
