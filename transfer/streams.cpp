// streams.cpp: files and pictures over TCP streams (commands 12, 13 and 40).
//
// Each command loops inside its call, yielding to the host on every pass, and reads the stream's
// state afresh after every chunk: during a yield the host may accept a connection, close or release
// the very stream being served.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "net/net.h"
#include "text/text.h"
#include "transfer/raw_file.h"
#include "transfer/transfer.h"

namespace zor::transfer {
namespace {

// The chunk every transfer carries its data in: one handle for the whole transfer, disposed of at
// the end (whichever handle the conversions left in it).
struct TransferChunk {
    TextBlock text{0, nullptr};
    TransferChunk() { text.handle = HostNewHandle(0); }
    TransferChunk(const TransferChunk&) = delete;
    TransferChunk& operator=(const TransferChunk&) = delete;
    ~TransferChunk() {
        if (text.handle != nullptr) HostDisposeHandle(text.handle);
    }
};

// The most bytes a chunk may hold before conversion so that what the conversion makes still fits a
// text: a text result that would not fit is cut, which would lose file data.
int32_t ChunkLimit(int32_t flags) { return text::LongestToConvert(flags); }

// Sends one converted chunk from its locked handle; 0 or -1.
int16_t SendChunk(net::StreamRecord** entry, TextBlock& text) {
    const int8_t state = HostGetHandleState(text.handle);
    HostLockHandle(text.handle);
    const int16_t status = net::SendBlock(entry, text);
    HostSetHandleState(text.handle, state);
    return status;
}

}  // namespace

// TcpSendFile: reads the range [start, end) of the file chunk by chunk; each chunk is converted,
// sent, and followed by a poll of the stream; a send error or a stream no longer established ends
// the transfer without a result.
void TcpSendFile(frame::CommandCall& call) {
    net::StreamRecord** entry = call.entry;
    const net::StreamHold hold = net::HoldStream(entry);
    const FilePath path = FileNameFromText(frame::TextArg(call, 2));
    const int32_t flags = frame::IntArg(call, 3);
    int64_t chunk = frame::IntArg(call, 4) > 0 ? frame::IntArg(call, 4) : kDefaultSendChunk;
    if (chunk > kLargestChunk) chunk = kLargestChunk;  // the chunk's 16-bit count would wrap
    if (chunk > ChunkLimit(flags)) chunk = ChunkLimit(flags);

    TransferChunk buffer;
    if (buffer.text.handle == nullptr) {
        frame::SetIntResult(call, HostMemoryError());
        return;
    }
    (void)net::QueueOrSend(entry, nullptr, 0);  // whatever the stream still holds goes first

    const int fd = OpenFileToRead(path.bytes);
    RawFileCloser file(fd);
    int32_t status = fd >= 0 ? 0 : -1;
    const int64_t size = fd >= 0 ? RawFileSize(fd) : 0;
    if (size < 0) status = -1;

    // The range, clamped in this order.
    int64_t start = frame::IntArg(call, 5);
    int64_t end = frame::IntArg(call, 6);
    if (end == 0) end = size;
    if (start < 0) start = 0;
    if (end < start) end = start;
    if (end > size) end = size;
    if (start > end) start = end;
    int64_t remaining = end - start;
    if (status == 0 && start != 0 && HostSystemCallTable()->lseek(fd, start, SEEK_SET) < 0) status = -1;
    if (status != 0) {
        frame::SetIntResult(call, status);
        return;
    }

    // Without conversions the chunks go from the file to the socket directly, where the system
    // allows it; the chunk loop, its yields and its state checks stay as they are. A chunk then needs
    // no text, so the caller's chunk size is not cut to what a text holds.
    bool direct = flags == 0;
    if (direct && frame::IntArg(call, 4) > kLargestChunk) chunk = frame::IntArg(call, 4);
    // Over a range of several chunks the peer's close is kept from raising SIGPIPE once for the
    // whole range instead of once for every piece sent from the file.
    std::optional<net::QuietPipe> quiet;
    if (direct && remaining > chunk) quiet.emplace();
    int64_t offset = start;
    int64_t n = 0;
    net::StreamWatch watch;
    do {
        if (chunk > remaining) chunk = remaining;
        if (direct) {
            const int32_t sent = net::HeldStream(hold) != nullptr
                                     ? net::SendFromFile(entry, fd, offset, static_cast<int32_t>(chunk))
                                     : net::kFileSendFailed;
            if (sent == net::kFileSendImpossible) {
                // This file cannot be sent that way (nothing went): copy it through the chunk.
                direct = false;
                if (chunk > kLargestChunk) chunk = kLargestChunk;
                if (HostSystemCallTable()->lseek(fd, offset, SEEK_SET) < 0) {
                    frame::SetIntResult(call, -1);
                    return;
                }
            } else if (sent == net::kFileReadFailed) {
                frame::SetIntResult(call, -1);  // as for a read error of the copying loop
                return;
            } else {
                n = sent > 0 ? sent : 0;
                status = sent < 0 ? -1 : 0;
            }
        }
        if (!direct) {
            HostSetHandleSize(buffer.text.handle, static_cast<int32_t>(chunk));
            if (HostMemoryError() != HostNoErr) {
                frame::SetIntResult(call, HostMemoryError());
                return;
            }
            n = ReadFull(fd, *buffer.text.handle, static_cast<size_t>(chunk));
            if (n < 0) {
                // A read error would end the transfer as if the file had: the peer would take the
                // bytes sent so far for the whole file. Say so.
                frame::SetIntResult(call, -1);
                return;
            }
            status = 0;
            if (n > 0) {
                buffer.text.length = static_cast<int16_t>(n);
                if (n != chunk) HostSetHandleSize(buffer.text.handle, static_cast<int32_t>(n));
                if (!text::ApplyConversionFlags(buffer.text, flags)) {
                    // Sending the chunk unconverted would hand the peer the wrong bytes: stop and say so.
                    frame::SetIntResult(call, -1);
                    return;
                }
                // A stream released during a yield is gone for good, whatever now holds its entry.
                status = net::HeldStream(hold) != nullptr ? SendChunk(entry, buffer.text) : -1;
            }
        }
        if (n > 0) {
            remaining -= n;
            if (status == 0 && net::HeldStream(hold) == nullptr) status = -1;
            if (status == 0) {
                const int16_t s = net::StateAfterPass(entry, n == chunk, watch);
                status = (s >= net::StreamEstablished && s < net::StreamClosed) ? 0 : s;
            }
        }
        HostYield();
        if (HostCancelRequested() != 0) status = -1;  // the host gave up: as for a send error
    } while (n != 0 && status == 0 && remaining > 0);
}

// TcpReceiveFile: writes what the stream receives into the file until the stream is no longer
// established (peer closed, failed, still listening or connecting) or stays silent longer than the
// idle time-out; the stream is released in every case that got as far as opening the file. A stream
// that failed, or was released during a yield, ends the file short: that is reported.
void TcpReceiveFile(frame::CommandCall& call) {
    net::StreamRecord** entry = call.entry;
    const net::StreamHold hold = net::HoldStream(entry);
    const FilePath path = FileNameFromText(frame::TextArg(call, 2));
    const int32_t flags = frame::IntArg(call, 3);
    const bool append = frame::IntArg(call, 4) == 1;
    const int32_t idleSeconds = frame::IntArg(call, 5);

    TransferChunk buffer;
    if (buffer.text.handle == nullptr) {
        frame::SetIntResult(call, HostMemoryError());
        return;
    }
    const int fd = OpenFileToWrite(path.bytes, O_RDWR, append);
    if (fd < 0) {
        frame::SetIntResult(call, -1);
        return;
    }
    RawFileCloser file(fd);

    // Silence is measured as the ticks since the last data, so the limit holds across the counter's wrap.
    const int32_t receiveLimit = ChunkLimit(flags) < kReceiveChunk ? ChunkLimit(flags) : kReceiveChunk;
    const uint64_t idleTicks = idleSeconds > 0 ? static_cast<uint64_t>(idleSeconds) * 60 : 0;
    uint32_t lastActivity = HostTicks();
    bool failed = false;  // a write failed, or the stream failed or went before the peer closed it
    bool idle = false;    // the last pass found nothing: the next yield sleeps until data comes
    net::StreamWatch watch;
    // Without conversions the stream is read ahead and the file written behind, up to 64 KiB at a
    // time, in the one chunk kept at that size and locked for the whole transfer. Each pass still
    // takes at most 16,384 bytes of what was read, yields, and polls the stream, so the host gets
    // control as often as before; the system is called once a piece rather than once a pass. The
    // chunk holds `filled` bytes read and not yet written, of which passes have taken `taken`.
    const bool plain = flags == 0;
    int32_t filled = 0, taken = 0;
    if (plain) {
        HostSetHandleSize(buffer.text.handle, kReceiveAhead);
        if (HostMemoryError() != HostNoErr) {
            frame::SetIntResult(call, HostMemoryError());
            return;
        }
        HostLockHandle(buffer.text.handle);
    }
    for (;;) {
        if (idle) {
            // Nothing has arrived: sleep until data comes or the idle time is up, a tick at most
            // between looks.
            const net::StreamRecord* stream = net::HeldStream(hold);
            const uint32_t silent = HostTicks() - lastActivity;
            const uint32_t left = idleTicks == 0 ? net::kNoTimeLimit
                                  : silent > idleTicks ? 0
                                                       : static_cast<uint32_t>(idleTicks - silent + 1);
            HostYieldWaiting(stream != nullptr ? stream->socket : net::kNoSocket, POLLIN | POLLPRI, left);
        } else {
            HostYield();
        }
        // Released during the yield (its entry may hold another stream now), or the host gave up:
        // the file is incomplete.
        if (net::HeldStream(hold) == nullptr || HostCancelRequested() != 0) {
            failed = true;
            break;
        }
        int32_t count = 0;  // the bytes this pass has for the file
        if (plain) {
            if (taken == filled) {
                // All that was read has been taken: write it, then read the next piece. The file is
                // thus whole before any wait for more.
                const bool lost = filled > 0 && WriteAll(fd, *buffer.text.handle, static_cast<size_t>(filled)) != 0;
                filled = taken = 0;
                if (lost) {
                    failed = true;
                    break;
                }
                filled = std::max(net::ReceiveInto(entry, *buffer.text.handle, kReceiveAhead), int32_t{0});
            }
            count = std::min(filled - taken, kReceiveChunk);
            taken += count;
            // The stream's last receive count tells what this pass took, as a receive of its own would.
            net::StreamRecord* stream = net::HeldStream(hold);
            if (count > 0 && stream != nullptr) stream->lastReceiveCount = count;
        } else {
            (void)net::ReceiveBlock(entry, buffer.text, static_cast<int16_t>(receiveLimit));
            // A chunk that could not be converted leaves the file wrong: stop and say so.
            if (buffer.text.length > 0 && !text::ApplyConversionFlags(buffer.text, flags)) {
                failed = true;
                break;
            }
            count = buffer.text.length;
        }
        idle = count <= 0;
        if (!idle) {
            lastActivity = HostTicks();
            // A chunk that could not be written leaves the file incomplete: stop and say so.
            if (!plain) {
                if (WriteAll(fd, *buffer.text.handle, static_cast<size_t>(count)) != 0) {
                    failed = true;
                    break;
                }
                HostSetHandleSize(buffer.text.handle, 0);
                buffer.text.length = 0;
            }
        } else if (idleTicks > 0 && static_cast<uint32_t>(HostTicks() - lastActivity) > idleTicks) {
            (void)net::ReleaseStream(entry);
            break;
        }
        if (net::HeldStream(hold) == nullptr) {
            failed = true;
            break;
        }
        const int16_t state = net::StateAfterPass(entry, count == receiveLimit, watch);
        if (state != net::StreamEstablished) {
            // The peer's close ends the file; a failed stream (an abort, urgent data) cut it short.
            failed = state == net::StreamFailed;
            break;
        }
    }
    // Whatever was read goes into the file, even what no pass took before the stream went.
    if (filled > 0 && WriteAll(fd, *buffer.text.handle, static_cast<size_t>(filled)) != 0) failed = true;
    const int closed = file.Close();
    if (net::HeldStream(hold) != nullptr) (void)net::ReleaseStream(entry);
    if (failed || closed != 0) frame::SetIntResult(call, -1);
}

// TcpSendPicture: the explicit range when one is given (end included), else the whole GIF data, else
// the JPEG stream. The range never reaches outside the data. The picture stays locked while its
// bytes are sent from its own storage; its lock state is restored afterwards.
void TcpSendPicture(frame::CommandCall& call) {
    int32_t result = -1;
    const HostHandle picture = frame::HasArg(call, 2) ? frame::PictureArg(call, 2) : nullptr;
    if (picture == nullptr || *picture == nullptr) {
        frame::SetIntResult(call, result);
        return;
    }
    const int32_t size = HostGetHandleSize(picture);
    int32_t start = frame::IntArg(call, 3);
    int32_t end = frame::IntArg(call, 4);
    if (start != 0 || end != 0) {
        if (end == 0) end = size - 1;
    } else if (IsGifData(picture)) {
        end = size - 1;
    } else {
        const JpegBounds jpeg = JpegRange(picture);
        start = jpeg.start;
        end = jpeg.end;
    }
    if (end == 0) {
        frame::SetIntResult(call, result);  // neither GIF nor a complete JPEG stream after offset 0
        return;
    }
    if (start < 0) start = 0;
    if (end > size - 1) end = size - 1;

    const net::StreamHold hold = net::HoldStream(call.entry);
    const int8_t state = HostGetHandleState(picture);
    HostLockHandle(picture);
    int16_t status = 0;
    while (end > start && status == 0) {
        if (net::HeldStream(hold) == nullptr) {
            status = -1;  // released during a yield: nothing more goes to whatever holds its entry
            break;
        }
        int32_t n = end - start + 1;
        if (n > kPicturePiece) {
            n %= kPicturePiece;  // the first piece carries the remainder, every later one 32000
            if (n == 0) n = kPicturePiece;
        }
        status = net::SendBytes(call.entry, *picture + start, n);
        start += n;
    }
    result = status;
    HostSetHandleState(picture, state);
    frame::SetIntResult(call, result);
}

}  // namespace zor::transfer
