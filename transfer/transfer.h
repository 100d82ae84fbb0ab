// transfer.h: stream transfers: files and byte ranges of files sent and received over TCP streams,
// picture data sent over TCP or written to a file, and whole files read into handles.
//
// Every raw file call goes through the host's system-call table (HostSystemCallTable), so a test
// can make an open, read or write fail; the platform's error code is errno. Every loop that waits
// on the network yields to the host on each pass.
#ifndef ZOR_TRANSFER_TRANSFER_H
#define ZOR_TRANSFER_TRANSFER_H

#include <cstdint>

#include "frame/frame.h"
#include "text/text.h"

namespace zor::transfer {

// ---- Sizes -----------------------------------------------------------------------------------------
inline constexpr int32_t kDefaultSendChunk = 16384;   // TcpSendFile's chunk when the caller gives 0 or less
inline constexpr int32_t kLargestChunk = 32767;        // a chunk's count is a TextBlock's signed 16-bit count
inline constexpr int32_t kReceiveChunk = 16384;        // TcpReceiveFile takes at most this much per pass
inline constexpr int32_t kReceiveAhead = 65536;        // and reads the stream this far ahead without conversions
inline constexpr int32_t kPicturePiece = 32000;        // TcpSendPicture's pieces, the first one the remainder
inline constexpr int32_t kPictureHeaderSize = 10;      // 16-bit size, then top, left, bottom, right
inline constexpr int32_t kLongestPath = 254;           // characters of a file name text
inline constexpr int32_t kHtmlGrowth = text::kHtmlGrowth;  // the most bytes HTML encoding makes of one byte

// ---- File names ------------------------------------------------------------------------------------
inline constexpr int32_t kLongestDiskPath = 1024;  // bytes of a name's path on disk (UTF-8 is longer)

// A file name text turned into the path of the file it names, as the host's file layer finds it: the
// same file FileExists and the conversions find under that name (a Mac Roman name, a UTF-8 path).
struct FilePath {
    char bytes[kLongestDiskPath + 1];  // the path, NUL-terminated; empty when the name is unusable
};

// The path a file name text names, when the handle is set and the count lies in 1 to 254. Otherwise,
// and when the count exceeds the handle's size or the characters hold a NUL byte (which would name
// another file), or name a sidecar, the path is empty and opening it fails.
FilePath FileNameFromText(const TextBlock& name);

// ---- Picture data ----------------------------------------------------------------------------------
// A JPEG stream inside picture data: start is the offset of its FF D8 marker, end the offset of the
// D9 byte of the first FF D9 after it (both included).
struct JpegBounds {
    int32_t start;  // offset of FF D8; 0 or -1 when there is none after offset 0
    int32_t end;    // offset of the closing D9; 0 when there is no complete stream after offset 0
};

// Finds the JPEG stream: FF D8 not found or found at offset 0 gives (that offset, 0); FF D8 with no
// FF D9 after it gives (0, 0).
JpegBounds JpegRange(HostHandle picture);

// True when the data begin with "GIF8".
bool IsGifData(HostHandle picture);

// ---- Commands --------------------------------------------------------------------------------------
// 12: sends a file, or the byte range [start, end) of it, chunk by chunk, converting each chunk.
// Arguments: StreamRef, file name, conversion flags, chunk size, start, end. Result: -1 when the file
// cannot be opened or positioned or a read of it fails, the memory status when the chunk cannot be
// made; otherwise none.
void TcpSendFile(frame::CommandCall& call);
// 13: writes everything the stream receives into a file until the connection ends or stays idle too
// long, then releases the stream. Arguments: StreamRef, file name, conversion flags, append flag,
// idle time-out in seconds. Result: -1 when the file cannot be opened, a write to it fails, or the
// stream failed (or was released meanwhile) before its peer closed it; the bytes written stay.
void TcpReceiveFile(frame::CommandCall& call);
// 40: sends a picture's GIF data, its JPEG stream, or an explicit byte range of it (end included).
// Arguments: StreamRef, picture (optional), start, end. Result: 0, or -1.
void TcpSendPicture(frame::CommandCall& call);
// 47: the picture's data size; outputs frame top, left, bottom, right and the GIF flag.
void PictureInfo(frame::CommandCall& call);
// 57: writes a picture's GIF data or JPEG stream (else its whole data) to a new file.
// Result: 0, or the platform's error code.
void PictureToFile(frame::CommandCall& call);
// 58: reads a whole file into a new handle. Result: the handle, or 0.
void FileToPicture(frame::CommandCall& call);

}  // namespace zor::transfer

#endif  // ZOR_TRANSFER_TRANSFER_H
