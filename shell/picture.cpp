// picture.cpp: image files as host pictures (GIF as it is; JPEG and PNG behind the picture header).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "shell/host.h"

namespace zor::shell {
namespace {

constexpr off_t kLargestImageFile = INT32_MAX - 10;  // a handle's size, less the picture header

uint32_t BigEndian16(const unsigned char* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
uint32_t BigEndian32(const unsigned char* p) { return BigEndian16(p) << 16 | BigEndian16(p + 2); }

// PNG: the signature, then the IHDR chunk, whose first fields are the width and the height.
bool PngSize(const std::string& data, uint32_t& width, uint32_t& height) {
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (data.size() < 24 || std::memcmp(data.data(), kSignature, 8) != 0) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    if (std::memcmp(p + 12, "IHDR", 4) != 0) return false;
    width = BigEndian32(p + 16);
    height = BigEndian32(p + 20);
    return true;
}

// JPEG: walks the marker segments from FF D8 to the first start-of-frame (C0 to CF but C4, C8 and
// CC), whose fields are precision, height, width.
bool JpegSize(const std::string& data, uint32_t& width, uint32_t& height) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const size_t size = data.size();
    if (size < 4 || p[0] != 0xFF || p[1] != 0xD8) return false;
    size_t at = 2;
    while (at + 4 <= size) {
        if (p[at] != 0xFF) return false;
        const unsigned char marker = p[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // markers without a segment
            at += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) return false;  // image data before any frame header
        const uint32_t length = BigEndian16(p + at + 2);
        if (length < 2) return false;
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            if (at + 9 > size || length < 7) return false;
            height = BigEndian16(p + at + 5);
            width = BigEndian16(p + at + 7);
            return true;
        }
        at += 2 + length;
    }
    return false;
}

// Reads a whole image file: a regular file only (a folder, a device or a FIFO is refused without
// waiting on it), and no larger than a picture handle holds behind its header.
bool ReadImageFile(const std::string& path, std::string& bytes, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat status;
    if (fstat(fd, &status) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        error = "cannot open " + path + ": not a regular file";
    } else if (status.st_size > kLargestImageFile) {
        error = path + " is too large for a picture";
    } else {
        try {
            bytes.resize(static_cast<size_t>(status.st_size));
            size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    error = "cannot read " + path + ": " + std::strerror(errno);
                    break;
                }
                if (n == 0) break;  // the file shrank while it was read
                done += static_cast<size_t>(n);
            }
            bytes.resize(done);
        } catch (const std::bad_alloc&) {
            error = "out of memory for " + path;
        }
    }
    close(fd);
    return error.empty();
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& error, size_t most) {
    bytes.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    if (!ok) error = std::strerror(errno);
    if (ok && S_ISDIR(st.st_mode)) {
        error = "it is a directory";
        ok = false;
    }
    char buffer[65536];
    while (ok && bytes.size() <= most) {
        const size_t left = most - bytes.size();  // what may still come before the file is too long
        const size_t want = left < sizeof buffer ? left + 1 : sizeof buffer;
        const ssize_t n = read(fd, buffer, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::strerror(errno);
            ok = false;
        }
        if (n <= 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return ok;
}

bool PictureFromImageFile(const std::string& path, std::string& data, std::string& error) {
    std::string bytes;
    error.clear();
    if (!ReadImageFile(path, bytes, error)) return false;
    if (bytes.size() >= 6 && (bytes.compare(0, 6, "GIF87a") == 0 || bytes.compare(0, 6, "GIF89a") == 0)) {
        data = std::move(bytes);
        return true;
    }
    uint32_t width = 0, height = 0;
    if (!PngSize(bytes, width, height) && !JpegSize(bytes, width, height)) {
        error = path + " is not a GIF, JPEG or PNG image";
        return false;
    }
    if (width > 32767 || height > 32767) {
        error = path + ": an image of " + std::to_string(width) + " x " + std::to_string(height) +
                " does not fit a picture frame";
        return false;
    }
    // The size field holds the low 16 bits of the whole picture's size, as picture data always has.
    const int16_t header[5] = {
        static_cast<int16_t>(static_cast<uint16_t>((bytes.size() + 10) & 0xFFFF)),
        0, 0, static_cast<int16_t>(height), static_cast<int16_t>(width),
    };
    data.assign(reinterpret_cast<const char*>(header), sizeof header);
    data += bytes;
    return true;
}

}  // namespace zor::shell
