// raw_file.cpp: file names from texts, and raw file calls through the host's system-call table.
#include "transfer/raw_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "transfer/transfer.h"

namespace zor::transfer {

FilePath FileNameFromText(const TextBlock& name) {
    FilePath path{};
    if (name.handle == nullptr || *name.handle == nullptr) return path;
    const int32_t count = name.length;
    if (count < 0 || count > kLongestPath || count > HostGetHandleSize(name.handle)) return path;
    if (std::memchr(*name.handle, '\0', static_cast<size_t>(count)) != nullptr) return path;
    std::memcpy(path.bytes, *name.handle, static_cast<size_t>(count));
    path.bytes[count] = '\0';
    return path;
}

int OpenRawFile(const char* path, int flags) {
    int fd;
    do {
        fd = HostSystemCallTable()->open(path, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int WriteAll(int fd, const void* data, size_t count) {
    const auto* p = static_cast<const char*>(data);
    while (count > 0) {
        const ssize_t n = HostSystemCallTable()->write(fd, p, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;  // a write that moves nothing would never end
        p += n;
        count -= static_cast<size_t>(n);
    }
    return 0;
}

ssize_t ReadFull(int fd, void* data, size_t count) {
    auto* p = static_cast<char*>(data);
    size_t done = 0;
    while (done < count) {
        const ssize_t n = HostSystemCallTable()->read(fd, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int64_t RawFileSize(int fd) {
    struct stat status;
    if (HostSystemCallTable()->fstat(fd, &status) != 0) return -1;
    return static_cast<int64_t>(status.st_size);
}

int CloseRawFile(int fd) {
    // A close interrupted by a signal has still released the descriptor on Linux: never retry it.
    if (HostSystemCallTable()->close(fd) == 0 || errno == EINTR) return 0;
    return errno;
}

}  // namespace zor::transfer
