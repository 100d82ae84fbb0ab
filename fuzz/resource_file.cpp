// resource_file.cpp: fuzzes the resource-file reader with arbitrary file bytes.
#include <cstdint>
#include <cstring>

#include "host/resources.h"
#include "zor/host_toolbox.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const unsigned char kNames[][9] = {{7, 'M', 'a', 'c', '2', 'I', 'S', 'O'}, {1, 'a'}, {0}};
    for (const auto& name : kNames) {
        for (uint32_t type : {HostResourceType("ZORc"), HostResourceType("TEST"), 0u}) {
            size_t offset = 0, length = 0;
            if (zor::host::FindResource(data, size, type, name, offset, length)) {
                if (offset > size || length > size - offset) __builtin_trap();
                volatile uint8_t sum = 0;
                for (size_t i = 0; i < length; ++i) sum = sum + data[offset + i];
            }
        }
    }
    return 0;
}
