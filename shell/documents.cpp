// documents.cpp: documents open by reference: opening, closing, and reading and writing in pieces.
#include "shell/documents.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zor::shell {

int32_t DocumentTable::Open(const std::string& path, bool create, int32_t mode, int32_t owner, std::string& error) {
    int flags = O_RDWR;
    if (!create && mode == DocumentWrite) flags = O_WRONLY;
    if (!create && mode == DocumentRead) flags = O_RDONLY;
    if (create) flags |= O_CREAT | O_TRUNC;
    // Never waits in the open (a FIFO would); only regular files are documents.
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        error = std::strerror(errno);
        return 0;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "not a document";
        ::close(fd);
        return 0;
    }
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (next_ == INT32_MAX) {
        error = "too many documents opened";
        ::close(fd);
        return 0;
    }
    const int32_t reference = next_++;
    open_[reference] = Document{fd, owner};
    return reference;
}

int DocumentTable::FileOf(int32_t reference, std::string& error) const {
    const auto found = open_.find(reference);
    if (found != open_.end()) return found->second.fd;
    error = reference >= 1 && reference < next_ ? "document " + std::to_string(reference) + " is closed"
                                                : std::to_string(reference) + " is no document reference";
    return -1;
}

bool DocumentTable::Close(int32_t reference, std::string& error) {
    const int fd = FileOf(reference, error);
    if (fd < 0) return false;
    open_.erase(reference);
    // A close interrupted by a signal has still released the descriptor.
    if (::close(fd) == 0 || errno == EINTR) return true;
    error = std::strerror(errno);
    return false;
}

void DocumentTable::CloseAll(int32_t owner) {
    for (auto at = open_.begin(); at != open_.end();) {
        if (owner == kEveryOwner || at->second.owner == owner) {
            (void)::close(at->second.fd);
            at = open_.erase(at);
        } else {
            ++at;
        }
    }
}

bool WritePacket(int fd, const std::string& bytes, std::string& error) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? std::strerror(errno) : "the write moved nothing";
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

namespace {

// Reads at most count bytes, going on after short reads until the file ends; the count read or -1.
ssize_t ReadSome(int fd, char* into, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd, into + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

bool ReadPacket(int fd, int32_t count, std::string& bytes, std::string& error) {
    bytes.resize(count > 0 ? static_cast<size_t>(count) : 0);
    const ssize_t n = ReadSome(fd, bytes.data(), bytes.size());
    if (n < 0) {
        error = std::strerror(errno);
        bytes.clear();
        return false;
    }
    bytes.resize(static_cast<size_t>(n));
    return true;
}

bool ReadPacketUntil(int fd, const std::string& stop, size_t most, std::string& bytes, int64_t& taken, std::string& error) {
    // Reads ahead in blocks, then sets the file's position just past what it takes.
    constexpr size_t kBlock = 8192;
    const size_t limit = most + (stop.empty() ? 0 : stop.size() - 1);  // room to find a stop after `most` bytes
    std::string ahead;
    size_t searched = 0;  // where the next search for the stop starts
    size_t found = std::string::npos;
    bool ended = false;
    while (found == std::string::npos && !ended && ahead.size() < limit) {
        const size_t old = ahead.size();
        const size_t want = std::min(kBlock, limit - old);
        ahead.resize(old + want);
        const ssize_t n = ReadSome(fd, ahead.data() + old, want);
        if (n < 0) {
            error = std::strerror(errno);
            return false;
        }
        ahead.resize(old + static_cast<size_t>(n));
        ended = static_cast<size_t>(n) < want;
        if (!stop.empty()) {
            found = ahead.find(stop, searched);
            if (ahead.size() >= stop.size()) searched = ahead.size() - stop.size() + 1;
        }
    }
    size_t keep = ahead.size();
    size_t take = keep;
    if (found != std::string::npos && found <= most) {
        keep = found;
        take = found + stop.size();
    } else if (keep > most) {
        keep = take = most;
    }
    if (take < ahead.size() && ::lseek(fd, -static_cast<off_t>(ahead.size() - take), SEEK_CUR) < 0) {
        error = std::strerror(errno);
        return false;
    }
    bytes.assign(ahead, 0, keep);
    taken = static_cast<int64_t>(take);
    return true;
}

}  // namespace zor::shell
