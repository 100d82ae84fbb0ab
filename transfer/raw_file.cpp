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
    unsigned char counted[256];
    counted[0] = static_cast<unsigned char>(count);
    std::memcpy(counted + 1, *name.handle, static_cast<size_t>(count));
    // The host layer refuses an empty name and one holding a NUL byte; the path stays empty then.
    if (HostDiskPath(0, 0, counted, path.bytes, sizeof path.bytes) != HostNoErr) path.bytes[0] = '\0';
    return path;
}

int OpenRawFile(const char* path, int flags) {
    int fd;
    do {
        fd = HostSystemCallTable()->open(path, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

namespace {

// An existing file opened to write: refused (closed, errno set) when it is locked, emptied unless
// the writing appends. Only regular files are locked or emptied.
bool FitForWriting(int fd, bool append) {
    struct stat status;
    int error = 0;
    if (HostSystemCallTable()->fstat(fd, &status) != 0) error = errno;
    else if (S_ISREG(status.st_mode) && (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) error = EACCES;
    else if (!append && S_ISREG(status.st_mode) && HostSystemCallTable()->ftruncate(fd, 0) != 0) error = errno;
    if (error == 0) return true;
    CloseRawFile(fd);
    errno = error;
    return false;
}

}  // namespace

int OpenFileToRead(const char* path) {
    const int fd = OpenRawFile(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat status;
    int error = 0;
    if (HostSystemCallTable()->fstat(fd, &status) != 0) error = errno;
    else if (!S_ISREG(status.st_mode)) error = ENOENT;
    if (error == 0) return fd;  // O_NONBLOCK changes nothing for a regular file
    CloseRawFile(fd);
    errno = error;
    return -1;
}

int OpenFileToWrite(const char* path, int access, bool append) {
    const int keep = access | O_NONBLOCK | (append ? O_APPEND : 0);
    // A file made now is not locked, whatever the process's umask gave it.
    int fd = OpenRawFile(path, keep | O_CREAT | O_EXCL);
    if (fd < 0 && errno == EEXIST) {
        fd = OpenRawFile(path, keep);
        if (fd < 0 && errno == ENOENT) fd = OpenRawFile(path, keep | O_CREAT);  // a link to no file yet
        else if (fd >= 0 && !FitForWriting(fd, append)) return -1;
    }
    // Writes wait as they always did: a reader of a FIFO may be slow.
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
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
