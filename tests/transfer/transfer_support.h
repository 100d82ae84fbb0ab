// transfer_support.h: what the transfer tests share: a scratch folder, whole-file reads and writes,
// reproducible bytes, a python3 runner, and a count of open descriptors.
#ifndef ZOR_TESTS_TRANSFER_SUPPORT_H
#define ZOR_TESTS_TRANSFER_SUPPORT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "support/plugin_host.h"

namespace zor::test {

// A fresh folder under /tmp, removed with everything in it at the end.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::string Path(std::string_view leaf) const { return path_ + "/" + std::string(leaf); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string ReadWholeFile(const std::string& path);  // empty when missing
void WriteWholeFile(const std::string& path, std::string_view bytes);
bool FileExists(const std::string& path);
// Bytes from a fixed generator, so failures reproduce.
std::string PatternBytes(size_t count, uint32_t seed);

// Runs /usr/bin/python3 with a script and arguments; its standard output. Fails the test on a
// non-zero exit status.
std::string RunPython(const std::string& script, std::initializer_list<std::string> args = {});

// Descriptors this process holds open: files left open show here.
int OpenDescriptorCount();

}  // namespace zor::test

#endif  // ZOR_TESTS_TRANSFER_SUPPORT_H
