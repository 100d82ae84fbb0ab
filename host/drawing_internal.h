// drawing_internal.h: what the drawing rooms of the host layer share.
#ifndef ZOR_HOST_DRAWING_INTERNAL_H
#define ZOR_HOST_DRAWING_INTERNAL_H

#include "host/host_internal.h"

namespace zor::host {

// A drawing port. The screen's port has no pixels.
struct PortRecord {
    HostPixelMapHandle pixels;  // the offscreen's pixel map, or null for the screen
    uint8_t foreground;         // table index of the foreground colour
    uint8_t background;         // table index of the background colour (HostClearRect fills with it)
};

// The current drawing target when it has pixels to draw on, else null.
PortRecord* CurrentDrawingPort();

// The 8-bit colour of a system table index.
void ColorOfIndex(uint8_t index, uint8_t rgb[3]);

// The rectangle clipped to the map's bounds; false when nothing is left.
bool ClipToMap(const HostPixelMap& map, const HostRect& rect, HostRect& clipped);

}  // namespace zor::host

#endif  // ZOR_HOST_DRAWING_INTERNAL_H
