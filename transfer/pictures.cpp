// pictures.cpp: picture data read in place: the GIF test, the JPEG stream's bounds, the picture's
// frame, and whole files written from and read into handles (commands 47, 57 and 58).
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "transfer/raw_file.h"
#include "transfer/transfer.h"

namespace zor::transfer {
namespace {

constexpr unsigned char kJpegStart[2] = {0xFF, 0xD8};
constexpr unsigned char kJpegEnd[2] = {0xFF, 0xD9};
constexpr unsigned char kGifSignature[4] = {'G', 'I', 'F', '8'};

// The data size of a picture handle, 0 for a null one.
int32_t DataSize(HostHandle picture) {
    if (picture == nullptr || *picture == nullptr) return 0;
    return HostGetHandleSize(picture);
}

// A signed 16-bit field of the picture header, in the machine's byte order.
int32_t HeaderField(HostHandle picture, int32_t offset) {
    int16_t value;
    std::memcpy(&value, *picture + offset, sizeof value);
    return value;
}

}  // namespace

bool IsGifData(HostHandle picture) {
    return DataSize(picture) >= 4 && std::memcmp(*picture, kGifSignature, sizeof kGifSignature) == 0;
}

JpegBounds JpegRange(HostHandle picture) {
    JpegBounds bounds{-1, 0};
    if (DataSize(picture) == 0) return bounds;
    bounds.start = HostSearchHandle(picture, 0, kJpegStart, 2, nullptr, 0);
    if (bounds.start <= 0) return bounds;  // none, or one at offset 0 (the header's place)
    const int32_t end = HostSearchHandle(picture, bounds.start, kJpegEnd, 2, nullptr, 0);
    if (end < 0) {
        bounds.start = 0;
        return bounds;
    }
    bounds.end = end + 1;  // the D9 byte: start to end, both included, is the whole stream
    return bounds;
}

// Data shorter than the header (or no handle at all) report their size and a zero frame.
void PictureInfo(frame::CommandCall& call) {
    const HostHandle picture = frame::PictureArg(call, 1);
    const int32_t size = DataSize(picture);
    const bool whole = size >= kPictureHeaderSize;
    for (int n = 2; n <= 5; ++n) {
        if (frame::HasArg(call, n)) frame::SetIntArg(call, n, whole ? HeaderField(picture, 2 * (n - 1)) : 0);
    }
    if (frame::HasArg(call, 6)) frame::SetIntArg(call, 6, IsGifData(picture) ? 1 : 0);
    frame::SetIntResult(call, size);
}

// Writes the GIF data whole, or the JPEG stream alone; data that hold neither (or a null handle,
// which holds nothing) are written as they are.
void PictureToFile(frame::CommandCall& call) {
    const HostHandle picture = frame::PictureArg(call, 1);
    const int32_t size = DataSize(picture);
    int32_t first = 0;
    int32_t count = size;
    if (!IsGifData(picture)) {
        JpegBounds jpeg = JpegRange(picture);
        if (jpeg.start < 0) jpeg.start = 0;
        if (jpeg.end != jpeg.start) {
            first = jpeg.start;
            count = jpeg.end - jpeg.start + 1;
        }
    }
    const FilePath path = FileNameFromText(frame::TextArg(call, 2));

    int32_t result = 0;
    const int fd = OpenFileToWrite(path.bytes, O_WRONLY, false);
    if (fd < 0) {
        result = errno;
    } else {
        RawFileCloser file(fd);
        if (count > 0) result = WriteAll(fd, *picture + first, static_cast<size_t>(count));
        const int closed = file.Close();
        if (result == 0) result = closed;  // a close can be the first to report a lost write
    }
    frame::SetIntResult(call, result);
}

// A file that cannot be opened or read, that is no regular file (a folder, a device, a FIFO), or
// that does not fit in memory, gives no handle. A file that shrinks while it is read gives the bytes
// that were there.
void FileToPicture(frame::CommandCall& call) {
    HostHandle result = nullptr;
    const FilePath path = FileNameFromText(frame::TextArg(call, 1));
    const int fd = OpenFileToRead(path.bytes);
    if (fd >= 0) {
        RawFileCloser file(fd);
        const int64_t size = RawFileSize(fd);
        if (size >= 0 && size <= INT32_MAX) result = HostNewHandle(static_cast<int32_t>(size));
        if (result != nullptr && size > 0) {
            const ssize_t got = ReadFull(fd, *result, static_cast<size_t>(size));
            if (got < 0) {
                HostDisposeHandle(result);  // the bytes were never read: no handle rather than garbage
                result = nullptr;
            } else if (got < size) {
                HostSetHandleSize(result, static_cast<int32_t>(got));
            }
        }
    }
    frame::SetPictureResult(call, result);
}

}  // namespace zor::transfer
