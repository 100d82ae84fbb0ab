// files.h: temporary folders and whole-file reads and writes for the tests.
#ifndef ZOR_TESTS_FILES_H
#define ZOR_TESTS_FILES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zor::test {

// A fresh folder made with mkdtemp under /tmp (or under `base`, such as /dev/shm for tests that make
// thousands of small files), removed with everything in it at the end.
struct TempDir {
    std::string path;
    explicit TempDir(const char* base = "/tmp");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(std::string_view leaf) const { return path + "/" + std::string(leaf); }
    std::string operator/(std::string_view leaf) const { return File(leaf); }
};

std::string ReadFile(const std::string& path);  // empty when it cannot be read
void WriteFile(const std::string& path, std::string_view bytes);
bool FileExists(const std::string& path);
// Bytes from a fixed generator, so failures reproduce.
std::string PatternBytes(size_t count, uint32_t seed);

}  // namespace zor::test

#endif  // ZOR_TESTS_FILES_H
