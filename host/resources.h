// resources.h: finding a named resource in the bytes of a resource file (also used by the fuzzer).
#ifndef ZOR_HOST_RESOURCES_H
#define ZOR_HOST_RESOURCES_H

#include <cstddef>
#include <cstdint>

namespace zor::host {

// Finds the resource of `type` whose name equals the counted string `name`; on success sets the
// offset and length of its data within `file`. Never reads outside file[0..size).
bool FindResource(const unsigned char* file, size_t size, uint32_t type, const unsigned char* name,
                  size_t& offset, size_t& length);

}  // namespace zor::host

#endif  // ZOR_HOST_RESOURCES_H
