// fuzz_support.h: what the fuzz targets share: a private working folder for the targets that work on
// files (the host's file names are relative to the working directory), emptied after every input,
// and the checks that nothing was leaked.
#ifndef ZOR_FUZZ_SUPPORT_H
#define ZOR_FUZZ_SUPPORT_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "zor/host_files.h"
#include "zor/host_toolbox.h"

namespace zor::fuzz {

// The private folder, made under the temporary folder at first use and removed at exit.
inline const std::string& ScratchFolder() {
    static std::string folder;
    if (!folder.empty()) return folder;
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zor-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    folder = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    HostSetDurableFlush(false);
    return folder;
}

// For the life of one input: works inside the private folder, then empties it and goes back (the
// caller's relative paths, such as corpus folders, keep their meaning between inputs).
class InScratchFolder {
public:
    InScratchFolder() : saved_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (saved_ < 0 || chdir(ScratchFolder().c_str()) != 0) std::abort();
    }
    ~InScratchFolder() {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(".", ignored))
            std::filesystem::remove_all(entry.path(), ignored);
        if (fchdir(saved_) != 0) std::abort();
        close(saved_);
    }
    InScratchFolder(const InScratchFolder&) = delete;
    InScratchFolder& operator=(const InScratchFolder&) = delete;

private:
    int saved_;
};

// A counted string holding `s` (at most 255 bytes).
struct Counted {
    unsigned char bytes[256] = {0};
    explicit Counted(std::string_view s) {
        const size_t n = s.size() > 255 ? 255 : s.size();
        bytes[0] = static_cast<unsigned char>(n);
        std::memcpy(bytes + 1, s.data(), n);
    }
    operator const unsigned char*() const { return bytes; }
};

// Stops the run when the input left a host allocation or an open fork behind.
inline void CheckNothingLeft(int64_t allocationsBefore) {
    if (HostLiveAllocations() != allocationsBefore || HostOpenForkCount() != 0) __builtin_trap();
}

// Whole file contents, or "<none>" when it cannot be read.
inline std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<none>";
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Writes a whole file.
inline void WriteFileBytes(const std::string& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
}

}  // namespace zor::fuzz

#endif  // ZOR_FUZZ_SUPPORT_H
