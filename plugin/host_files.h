// host_files.h: the host toolbox's Macintosh-style file operations on POSIX files with AppleDouble sidecars.
#ifndef ZOR_HOST_FILES_H
#define ZOR_HOST_FILES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // ZOR_HOST_FILES_H
