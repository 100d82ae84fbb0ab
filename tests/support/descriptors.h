// descriptors.h: how many descriptors this process holds, for tests and fuzz targets that check
// nothing is left open (header-only: fuzz targets link no test library).
#ifndef ZOR_TEST_DESCRIPTORS_H
#define ZOR_TEST_DESCRIPTORS_H

#include <dirent.h>

namespace zor::test {

// Open descriptors, not counting the one this count reads through; -1 when it cannot be read.
inline int OpenDescriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;
}

}  // namespace zor::test

#endif  // ZOR_TEST_DESCRIPTORS_H
