// raw_file.h: the transfer rooms' raw file calls, made through the host's system-call table.
#ifndef ZOR_TRANSFER_RAW_FILE_H
#define ZOR_TRANSFER_RAW_FILE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace zor::transfer {

// Opens a file through the system-call table (retrying when a signal interrupts it); the descriptor,
// or -1 with errno set.
int OpenRawFile(const char* path, int flags);

// Opens a file to read it whole, or a range of it: regular files only, and never waiting (a FIFO
// would block the open, a device may never end). The descriptor, or -1 with errno set (ENOENT for
// what is no regular file).
int OpenFileToRead(const char* path);

// Opens a file to write, made when missing (`access` O_WRONLY or O_RDWR; `append` keeps the contents
// and writes at the end, otherwise the file is emptied). A file without write permission bits is
// locked, as the file model has it, whoever runs the host: EACCES, and the file is left as it is.
// The open never waits (a FIFO without a reader: ENXIO). The descriptor, or -1 with errno set.
int OpenFileToWrite(const char* path, int access, bool append);

// Writes every byte, going on after short writes; 0, or the errno of the write that failed.
[[nodiscard]] int WriteAll(int fd, const void* data, size_t count);

// Reads until count bytes have come or the file ends; the number read, or -1 with errno set.
[[nodiscard]] ssize_t ReadFull(int fd, void* data, size_t count);

// The size of an open file, or -1 with errno set.
[[nodiscard]] int64_t RawFileSize(int fd);

// Closes the descriptor; 0, or the errno of the close that failed.
int CloseRawFile(int fd);

// Closes a descriptor when it goes out of scope, unless it was closed or let go first.
class RawFileCloser {
public:
    explicit RawFileCloser(int fd) : fd_(fd) {}
    RawFileCloser(const RawFileCloser&) = delete;
    RawFileCloser& operator=(const RawFileCloser&) = delete;
    ~RawFileCloser() {
        if (fd_ >= 0) CloseRawFile(fd_);
    }
    // Closes now; 0, or the errno of the close.
    int Close() {
        const int fd = fd_;
        fd_ = -1;
        return fd >= 0 ? CloseRawFile(fd) : 0;
    }

private:
    int fd_;
};

}  // namespace zor::transfer

#endif  // ZOR_TRANSFER_RAW_FILE_H
