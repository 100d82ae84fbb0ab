// host_drawing.h: the host toolbox's offscreen drawing of host pictures into 8-bit images.
#ifndef ZOR_HOST_DRAWING_H
#define ZOR_HOST_DRAWING_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // ZOR_HOST_DRAWING_H
