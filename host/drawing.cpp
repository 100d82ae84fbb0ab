// drawing.cpp: drawing ports, 8-bit offscreens, the system colour table and its inverse, clearing
// and pixel transfers. Pictures are decoded and drawn in drawing_picture.cpp.
#include <cstring>
#include <new>

#include "host/drawing_internal.h"

namespace zor::host {
namespace {

// The screen: a port without pixels (drawing there changes nothing) and the one device.
PortRecord g_screenPort{};
HostDeviceRecord* g_mainDevice = nullptr;
HostPort g_current = nullptr;     // the drawing target; null means the screen's port
HostDevice g_currentDevice = nullptr;

HostColorTable** g_systemTable = nullptr;  // built at first use, kept for the process's life
uint8_t g_inverse[32 * 32 * 32];            // 5 bits a component -> nearest table index
bool g_inverseReady = false;

// The 6 levels of the cube, from the brightest, and the 10 levels of the ramps.
constexpr uint8_t kCubeLevels[6] = {0xFF, 0xCC, 0x99, 0x66, 0x33, 0x00};
constexpr uint8_t kRampLevels[10] = {0xEE, 0xDD, 0xBB, 0xAA, 0x88, 0x77, 0x55, 0x44, 0x22, 0x11};

// Index 0..214: the cube with red slowest, all but its black; 215..224 red, 225..234 green,
// 235..244 blue, 245..254 grey ramps; 255 black.
void SystemColor(int index, uint8_t rgb[3]) {
    if (index < 215) {
        rgb[0] = kCubeLevels[index / 36];
        rgb[1] = kCubeLevels[index / 6 % 6];
        rgb[2] = kCubeLevels[index % 6];
    } else if (index < 255) {
        const int ramp = (index - 215) / 10;
        const uint8_t level = kRampLevels[(index - 215) % 10];
        rgb[0] = rgb[1] = rgb[2] = 0;
        if (ramp == 3) rgb[0] = rgb[1] = rgb[2] = level;
        else rgb[ramp] = level;
    } else {
        rgb[0] = rgb[1] = rgb[2] = 0;
    }
}

void BuildInverse() {
    uint8_t colors[256][3];
    for (int i = 0; i < 256; ++i) SystemColor(i, colors[i]);
    // Each cell takes the colour nearest its centre ...
    for (int r = 0; r < 32; ++r)
        for (int g = 0; g < 32; ++g)
            for (int b = 0; b < 32; ++b) {
                const int cr = r * 8 + 4, cg = g * 8 + 4, cb = b * 8 + 4;
                int best = 0;
                int bestDistance = 1 << 30;
                for (int i = 0; i < 256; ++i) {
                    const int dr = cr - colors[i][0], dg = cg - colors[i][1], db = cb - colors[i][2];
                    const int d = dr * dr + dg * dg + db * db;
                    if (d < bestDistance) {
                        bestDistance = d;
                        best = i;
                    }
                }
                g_inverse[(r << 10) | (g << 5) | b] = static_cast<uint8_t>(best);
            }
    // ... and the cell holding a table colour maps to that colour, so table colours keep their
    // index exactly (no two table colours share a cell: every level differs in its top 5 bits).
    for (int i = 0; i < 256; ++i)
        g_inverse[(colors[i][0] >> 3 << 10) | (colors[i][1] >> 3 << 5) | (colors[i][2] >> 3)] =
            static_cast<uint8_t>(i);
    g_inverseReady = true;
}

// The colour of an old-style colour number, or false for an unknown number.
bool OldStyleColor(int32_t number, uint8_t rgb[3]) {
    uint8_t r = 0, g = 0, b = 0;
    switch (number) {
        case HostBlackColor: break;
        case HostWhiteColor: r = g = b = 0xFF; break;
        case HostRedColor: r = 0xFF; break;
        case HostGreenColor: g = 0xFF; break;
        case HostBlueColor: b = 0xFF; break;
        case HostCyanColor: g = b = 0xFF; break;
        case HostMagentaColor: r = b = 0xFF; break;
        case HostYellowColor: r = g = 0xFF; break;
        default: return false;
    }
    rgb[0] = r;
    rgb[1] = g;
    rgb[2] = b;
    return true;
}

PortRecord* Current() { return g_current ? reinterpret_cast<PortRecord*>(g_current) : &g_screenPort; }

// The rectangle clipped to the map's bounds; false when nothing is left.
bool Clip(const HostPixelMap& map, const HostRect& rect, HostRect& clipped) {
    clipped.top = rect.top > map.top ? rect.top : map.top;
    clipped.left = rect.left > map.left ? rect.left : map.left;
    clipped.bottom = rect.bottom < map.bottom ? rect.bottom : map.bottom;
    clipped.right = rect.right < map.right ? rect.right : map.right;
    return clipped.top < clipped.bottom && clipped.left < clipped.right;
}

}  // namespace

PortRecord* CurrentDrawingPort() {
    PortRecord* port = Current();
    return port->pixels != nullptr && (*port->pixels)->baseAddr != nullptr ? port : nullptr;
}

void ColorOfIndex(uint8_t index, uint8_t rgb[3]) { SystemColor(index, rgb); }

bool ClipToMap(const HostPixelMap& map, const HostRect& rect, HostRect& clipped) { return Clip(map, rect, clipped); }

}  // namespace zor::host

using namespace zor::host;

struct HostDeviceRecord {
    int32_t id;  // 1: the main screen
};

extern "C" {

HostColorTable** HostSystemColorTable(void) {
    if (g_systemTable == nullptr) {
        auto** table = reinterpret_cast<HostColorTable**>(HostNewHandleClear(sizeof(HostColorTable)));
        if (table == nullptr) return nullptr;
        (*table)->seed = 8;
        (*table)->flags = 0;
        (*table)->size = 255;
        for (int i = 0; i < 256; ++i) {
            uint8_t rgb[3];
            SystemColor(i, rgb);
            HostColorSpec& c = (*table)->table[i];
            c.value = static_cast<uint16_t>(i);
            c.red = static_cast<uint16_t>(rgb[0] * 0x101);
            c.green = static_cast<uint16_t>(rgb[1] * 0x101);
            c.blue = static_cast<uint16_t>(rgb[2] * 0x101);
        }
        HostLockHandle(reinterpret_cast<HostHandle>(table));
        g_systemTable = table;
    }
    return g_systemTable;
}

uint8_t HostNearestColorIndex(uint8_t red, uint8_t green, uint8_t blue) {
    if (!g_inverseReady) BuildInverse();
    return g_inverse[(red >> 3 << 10) | (green >> 3 << 5) | (blue >> 3)];
}

void HostGetDrawTarget(HostPort* port) {
    if (port != nullptr) *port = g_current;
}

void HostSetDrawTarget(HostPort port, HostDevice device) {
    g_current = port;
    g_currentDevice = device;
}

HostDevice HostMainScreenDevice(void) {
    static HostDeviceRecord screen{1};
    g_mainDevice = &screen;
    return g_mainDevice;
}

int16_t HostNewOffscreen(HostOffscreen* offscreen, int16_t depth, const HostRect* bounds,
                         HostHandle colorTable, HostDevice device, int32_t flags) {
    if (offscreen == nullptr || bounds == nullptr) return HostParamErr;
    *offscreen = nullptr;
    if (depth != 8) return HostCDepthErr;
    if (colorTable != nullptr || device != nullptr || flags != 0) return HostParamErr;
    const int32_t width = int32_t{bounds->right} - bounds->left;
    const int32_t height = int32_t{bounds->bottom} - bounds->top;
    if (width <= 0 || height <= 0) return HostParamErr;
    HostColorTable** table = HostSystemColorTable();
    if (table == nullptr) return HostMemFullErr;

    // Rows are padded to 4 bytes, as the toolbox pads them.
    const int32_t stride = (width + 3) & ~3;
    const int64_t bytes = int64_t{stride} * height;
    if (bytes > INT32_MAX) return HostMemFullErr;
    auto* port = static_cast<PortRecord*>(HostNewBlockClear(sizeof(PortRecord)));
    auto pixels = reinterpret_cast<HostPixelMapHandle>(HostNewHandleClear(sizeof(HostPixelMap)));
    auto* storage = static_cast<uint8_t*>(HostNewBlockClear(static_cast<int32_t>(bytes)));
    if (port == nullptr || pixels == nullptr || storage == nullptr) {
        HostDisposeBlock(storage);
        HostDisposeHandle(reinterpret_cast<HostHandle>(pixels));
        HostDisposeBlock(port);
        return HostMemFullErr;
    }
    HostLockHandle(reinterpret_cast<HostHandle>(pixels));
    HostPixelMap& map = **pixels;
    map.baseAddr = storage;  // zero-filled: index 0, white
    map.rowStride = stride;
    map.rowBytes = static_cast<int16_t>(0x8000 | (stride <= 0x3FFF ? stride : 0));
    map.pixelSize = 8;
    map.top = bounds->top;
    map.left = bounds->left;
    map.bottom = bounds->bottom;
    map.right = bounds->right;
    map.colorTable = table;
    map.pinCount = 0;
    port->pixels = pixels;
    port->foreground = 255;
    port->background = 0;
    *offscreen = reinterpret_cast<HostOffscreen>(port);
    return HostNoErr;
}

HostPixelMapHandle HostOffscreenPixelMap(HostOffscreen offscreen) {
    return offscreen ? reinterpret_cast<PortRecord*>(offscreen)->pixels : nullptr;
}

void HostDisposeOffscreen(HostOffscreen offscreen) {
    if (offscreen == nullptr) return;
    if (g_current == offscreen) g_current = nullptr;
    auto* port = reinterpret_cast<PortRecord*>(offscreen);
    HostDisposeBlock((*port->pixels)->baseAddr);
    HostDisposeHandle(reinterpret_cast<HostHandle>(port->pixels));
    HostDisposeBlock(port);
}

bool HostPinPixels(HostPixelMapHandle pixels) {
    if (pixels == nullptr) return false;
    ++(*pixels)->pinCount;
    return true;
}

void HostUnpinPixels(HostPixelMapHandle pixels) {
    if (pixels != nullptr && (*pixels)->pinCount > 0) --(*pixels)->pinCount;
}

void HostSetForegroundColor(int32_t colorNumber) {
    uint8_t rgb[3];
    if (OldStyleColor(colorNumber, rgb)) Current()->foreground = HostNearestColorIndex(rgb[0], rgb[1], rgb[2]);
}

void HostSetBackgroundColor(int32_t colorNumber) {
    uint8_t rgb[3];
    if (OldStyleColor(colorNumber, rgb)) Current()->background = HostNearestColorIndex(rgb[0], rgb[1], rgb[2]);
}

void HostClearRect(const HostRect* rect) {
    PortRecord* port = CurrentDrawingPort();
    if (port == nullptr || rect == nullptr) return;
    const HostPixelMap& map = **port->pixels;
    HostRect r;
    if (!Clip(map, *rect, r)) return;
    for (int32_t y = r.top; y < r.bottom; ++y)
        std::memset(map.baseAddr + int64_t{y - map.top} * map.rowStride + (r.left - map.left), port->background,
                    static_cast<size_t>(r.right - r.left));
}

void HostCopyPixels(HostPixelMapHandle source, HostPixelMapHandle destination, const HostRect* sourceRect,
                    const HostRect* destinationRect, int16_t /*mode*/) {
    if (source == nullptr || destination == nullptr || sourceRect == nullptr || destinationRect == nullptr) return;
    const HostPixelMap& from = **source;
    const HostPixelMap& to = **destination;
    if (from.baseAddr == nullptr || to.baseAddr == nullptr) return;
    if (from.baseAddr == to.baseAddr && std::memcmp(sourceRect, destinationRect, sizeof(HostRect)) == 0) return;
    const int32_t sw = int32_t{sourceRect->right} - sourceRect->left;
    const int32_t sh = int32_t{sourceRect->bottom} - sourceRect->top;
    const int32_t dw = int32_t{destinationRect->right} - destinationRect->left;
    const int32_t dh = int32_t{destinationRect->bottom} - destinationRect->top;
    HostRect d;
    if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0 || !Clip(to, *destinationRect, d)) return;

    // Overlapping maps are read from a copy of the source rows.
    const bool same = from.baseAddr == to.baseAddr;
    const HostPixelMap* src = &from;
    HostPixelMap copy{};
    if (same) {
        copy = from;
        const int64_t bytes = int64_t{from.rowStride} * (from.bottom - from.top);
        copy.baseAddr = static_cast<uint8_t*>(HostNewBlock(static_cast<int32_t>(bytes)));
        if (copy.baseAddr == nullptr) return;
        std::memcpy(copy.baseAddr, from.baseAddr, static_cast<size_t>(bytes));
        src = &copy;
    }
    for (int32_t y = d.top; y < d.bottom; ++y) {
        const int32_t sy = sourceRect->top +
                           static_cast<int32_t>((int64_t{y - destinationRect->top} * 2 + 1) * sh / (int64_t{dh} * 2));
        if (sy < src->top || sy >= src->bottom) continue;
        uint8_t* out = to.baseAddr + int64_t{y - to.top} * to.rowStride;
        const uint8_t* in = src->baseAddr + int64_t{sy - src->top} * src->rowStride;
        for (int32_t x = d.left; x < d.right; ++x) {
            const int32_t sx = sourceRect->left + static_cast<int32_t>((int64_t{x - destinationRect->left} * 2 + 1) *
                                                                       sw / (int64_t{dw} * 2));
            if (sx < src->left || sx >= src->right) continue;
            out[x - to.left] = in[sx - src->left];
        }
    }
    if (same) HostDisposeBlock(copy.baseAddr);
}

}  // extern "C"
