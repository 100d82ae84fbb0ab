// host_drawing.h: the host toolbox's offscreen drawing of host pictures into 8-bit images.
//
// Divisions: records (colour table, pixel map, ports and devices); drawing targets; offscreens;
// colours and drawing; picture decoding (a function over bytes, also driven by the fuzz target).
//
// A host picture is a handle of picture data: a 10-byte header (16-bit size, then the frame top,
// left, bottom, right, all in the machine's byte order) and the image. Data that begin with "GIF8"
// are a GIF file as they stand; otherwise the image is a PNG file right behind the header or a JPEG
// stream (FF D8 ... FF D9) somewhere after it. Anything else draws nothing.
#ifndef ZOR_HOST_DRAWING_H
#define ZOR_HOST_DRAWING_H

#include <stdbool.h>
#include <stdint.h>

#include "zor/zor.h"

#ifdef __cplusplus
extern "C" {
#endif

struct HostRect;

// ---- Records ----------------------------------------------------------------------------------------
// One colour of a table: 16-bit components, the 8-bit value repeated in both bytes.
typedef struct HostColorSpec {
    uint16_t value;  // the entry's index
    uint16_t red;
    uint16_t green;
    uint16_t blue;
} HostColorSpec;

// A colour table as a handle holds it: seed, flags, size, then the entries.
typedef struct HostColorTable {
    int32_t seed;             // identifies the table's contents
    int16_t flags;            // 0: entries are indexed by position
    int16_t size;             // number of entries minus one (255 for an 8-bit table)
    HostColorSpec table[256]; // entry i is the colour of pixel value i
} HostColorTable;

// The pixel map of an offscreen.
typedef struct HostPixelMap {
    uint8_t* baseAddr;        // pixel storage, or null once the owner released it
    int16_t rowBytes;         // 0x8000 (a pixel map) | the stride when it fits 14 bits, else 0x8000
    int16_t pixelSize;        // bits per pixel: 8
    int16_t top, left, bottom, right;  // bounds; row top is the storage's first row
    int32_t rowStride;        // the true stride in bytes: row y starts at baseAddr + (y - top) * rowStride
    HostColorTable** colorTable;       // handle of the 256-entry colour table
    int32_t pinCount;         // HostPinPixels calls not yet undone
} HostPixelMap;
typedef HostPixelMap** HostPixelMapHandle;

// A drawing port: the screen's or an offscreen's. An offscreen is a port.
typedef struct HostPortRecord* HostPort;
typedef HostPort HostOffscreen;
// A graphics device; the layer has one, the main screen's.
typedef struct HostDeviceRecord* HostDevice;

// Status numbers of the drawing operations.
enum {
    HostCDepthErr = -157,  // a depth other than 8 asked of HostNewOffscreen
};

// Old-style colour numbers for HostSetForegroundColor and HostSetBackgroundColor.
enum {
    HostBlackColor = 33,
    HostWhiteColor = 30,
    HostRedColor = 205,
    HostGreenColor = 341,
    HostBlueColor = 409,
    HostCyanColor = 273,
    HostMagentaColor = 137,
    HostYellowColor = 69,
};

// Transfer modes of HostCopyPixels; every mode copies pixel values (both maps share one table).
enum { HostSrcCopy = 0, HostDitherCopy = 64 };

// ---- Drawing targets --------------------------------------------------------------------------------
void HostGetDrawTarget(HostPort* port);
// Later drawing goes to `port` (0 means the screen's port); `device` is accepted and remembered.
void HostSetDrawTarget(HostPort port, HostDevice device);
HostDevice HostMainScreenDevice(void);

// ---- Offscreens -------------------------------------------------------------------------------------
// Makes an offscreen of `bounds` with `depth` bits per pixel (only 8) and the system colour table
// (colorTable 0; any other table is refused with HostParamErr). The pixels start white (index 0).
// 0, or a status: HostCDepthErr, HostParamErr (an empty or bad rectangle, a device or flags given),
// HostMemFullErr.
int16_t HostNewOffscreen(HostOffscreen* offscreen, int16_t depth, const struct HostRect* bounds,
                         HostHandle colorTable, HostDevice device, int32_t flags);
HostPixelMapHandle HostOffscreenPixelMap(HostOffscreen offscreen);
// Releases the offscreen and its pixel storage (unless the storage's address was cleared).
// Disposing of the current drawing target makes the screen's port current.
void HostDisposeOffscreen(HostOffscreen offscreen);
// Storage of the layer's offscreens never moves; pinning is counted and answers true.
bool HostPinPixels(HostPixelMapHandle pixels);
void HostUnpinPixels(HostPixelMapHandle pixels);

// ---- Colours and drawing ----------------------------------------------------------------------------
// The standard 8-bit system colour table (index 0 white, the 6x6x6 cube, ramps of red, green, blue
// and grey, index 255 black); the layer owns the handle.
HostColorTable** HostSystemColorTable(void);
// The table index nearest to an 8-bit colour (through a precomputed inverse table, 5 bits a
// component; the table's own colours map to themselves).
uint8_t HostNearestColorIndex(uint8_t red, uint8_t green, uint8_t blue);

void HostSetForegroundColor(int32_t colorNumber);
void HostSetBackgroundColor(int32_t colorNumber);
// Fills the rectangle (clipped to the target) with the background colour.
void HostClearRect(const struct HostRect* rect);
// Draws the picture scaled into the rectangle (clipped to the target), each pixel mapped to the
// nearest table colour; partly transparent pixels are blended over what is there. A picture the
// layer cannot decode draws nothing. Afterwards HostMemoryError() is HostMemFullErr when the picture
// was not drawn for want of memory, HostNoErr otherwise.
void HostRenderPicture(HostHandle picture, const struct HostRect* rect);
// Transfers pixel values from one map to another, scaling the source rectangle onto the destination
// rectangle; both are clipped to their maps. The same map over the same rectangle changes nothing.
void HostCopyPixels(HostPixelMapHandle source, HostPixelMapHandle destination,
                    const struct HostRect* sourceRect, const struct HostRect* destinationRect,
                    int16_t mode);

// ---- Picture decoding -------------------------------------------------------------------------------
// A decoded picture: width x height pixels, four bytes each (red, green, blue, alpha), rows packed.
typedef struct HostDecodedPicture {
    int32_t width;
    int32_t height;
    uint8_t* rgba;  // null when nothing was decoded
} HostDecodedPicture;

// Largest image the layer decodes, in pixels.
enum { HostMaxDecodedPixels = 64 * 1024 * 1024 };

// Decodes picture data (the bytes of a picture handle, header included). 0 and the pixels, or
// HostParamErr (not a picture the layer knows, or a damaged one) with `out` empty, or
// HostMemFullErr. Reads nothing outside data[0..size).
int16_t HostDecodePicture(const void* data, int32_t size, HostDecodedPicture* out);
void HostReleaseDecodedPicture(HostDecodedPicture* picture);
// The size of the image picture data hold, read from the image's header without decoding it: 0 and
// the size, or a status as HostDecodePicture gives it (HostParamErr also for an image larger than
// the layer decodes), with both sizes 0.
int16_t HostPictureImageSize(const void* data, int32_t size, int32_t* width, int32_t* height);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // ZOR_HOST_DRAWING_H
