// send_receive.cpp: moving bytes over established TCP streams: the pending-output queue, sending
// in pieces with a yield between them, receiving what has arrived, and the stream's addresses.
#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>

#include "net/net.h"
#include "net/sockets.h"
#include "net/tls.h"

namespace zor::net {
namespace {

// sentCount plus n, wrapping as the counters do past 2 GiB.
int32_t WrappedSum(int32_t count, ssize_t n) {
    return static_cast<int32_t>(static_cast<uint32_t>(count) + static_cast<uint32_t>(n));
}

// Locks a handle for as long as its bytes are read across yields, then restores its lock state.
class HandleLock {
public:
    explicit HandleLock(HostHandle h) : handle_(h), state_(h != nullptr ? HostGetHandleState(h) : 0) {
        if (handle_ != nullptr) HostLockHandle(handle_);
    }
    ~HandleLock() {
        if (handle_ != nullptr) HostSetHandleState(handle_, state_);
    }
    HandleLock(const HandleLock&) = delete;
    HandleLock& operator=(const HandleLock&) = delete;

private:
    HostHandle handle_;
    int8_t state_;
};

// Sends n bytes from p in pieces of at most kSendPiece, yielding after each pass (sleeping on the
// socket when it is full). The stream is read
// afresh through its hold on every pass (the event hook may give it a new socket during a yield),
// and the loop ends with -1 once the stream it started with is gone, whatever now holds its entry.
// `count` adds the bytes to the stream's sentCount and to the bytes-sent counter. 0 or -1.
int16_t SendLoop(const StreamHold& hold, const char* p, int32_t n, bool count) {
    while (n > 0) {
        StreamRecord* stream = HeldStream(hold);
        if (stream == nullptr || stream->socket == kNoSocket) return -1;
        const ssize_t sent = StreamSend(stream, p, static_cast<size_t>(std::min(n, kSendPiece)));
        if (sent < 0) {
            if (errno != EINTR && sockets::LastError() != sockets::kWouldBlock) return -1;
            // The peer has not taken the last pieces yet: sleep until the socket takes more.
            HostYieldWaiting(stream->socket, POLLOUT, kNoTimeLimit);
        } else {
            p += sent;
            n -= static_cast<int32_t>(sent);
            if (count) {
                stream->sentCount = WrappedSum(stream->sentCount, sent);
                CountEvent(CounterBytesOut, static_cast<uint32_t>(sent));
            }
            HostYield();
        }
        if (HostCancelRequested() != 0) return -1;  // the host gave up on the send: as for a broken connection
    }
    return 0;
}

// Appends n bytes to the stream's pending output; false when memory ran out (nothing appended).
bool AppendPending(StreamRecord* stream, const char* bytes, int32_t n) {
    TextBlock& pending = stream->pendingOutput;
    if (pending.handle == nullptr) {
        pending.handle = HostNewHandle(0);
        if (pending.handle == nullptr) return false;
    }
    HostSetHandleSize(pending.handle, pending.length + n);
    if (HostMemoryError() != HostNoErr) return false;
    HostCopyBytes(bytes, *pending.handle + pending.length, n);
    pending.length = static_cast<int16_t>(pending.length + n);
    return true;
}

// One recv of at most size bytes into buffer, with its effects on the stream: the peer's close
// moves it to closed, an abort to failed, a reset to closed; the counters count what came. The bytes
// received, 0 when nothing had arrived or the peer has closed, or -1.
int32_t ReceiveNow(StreamRecord* stream, char* buffer, int32_t size) {
    ssize_t r;
    do {
        r = stream->socket != kNoSocket ? StreamReceive(stream, buffer, static_cast<size_t>(size)) : -1;
    } while (r < 0 && errno == EINTR);
    if (r > 0) {
        CountEvent(CounterBytesIn, static_cast<uint32_t>(r));
        stream->lastReceiveCount = static_cast<int32_t>(r);
        return static_cast<int32_t>(r);
    }
    if (r == 0) {
        (void)UpdateStreamState(stream, StreamClosed);  // the peer has closed
        return 0;
    }
    const int32_t err = stream->socket != kNoSocket ? sockets::LastError() : sockets::kOtherError;
    if (err == sockets::kWouldBlock) return 0;  // nothing has arrived
    if (err == sockets::kConnAborted) (void)UpdateStreamState(stream, StreamFailed);
    if (err == sockets::kConnReset) (void)UpdateStreamState(stream, StreamClosed);
    return -1;
}

}  // namespace

int32_t ValidLength(const TextBlock& text) {
    if (text.handle == nullptr || text.length <= 0) return 0;
    const int32_t size = HostGetHandleSize(text.handle);
    return text.length < size ? text.length : size;
}

int16_t QueueOrSend(StreamRecord** entry, TextBlock* text, int16_t push) {
    const StreamHold hold = HoldStream(entry);
    StreamRecord* stream = *entry;
    if (stream == nullptr) return -1;
    // A negative push would neither send nor queue the text when nothing is pending, losing it:
    // it means "send now", like 0.
    if (push < 0) push = 0;
    int32_t n = text != nullptr ? ValidLength(*text) : 0;
    if (n == 0) push = 0;  // an empty or absent text sends what is pending, now
    if (n > 0 && (push > 0 || stream->pendingOutput.length > 0)) {
        if (stream->pendingOutput.handle != nullptr && stream->pendingOutput.length + n > kPendingLimit) {
            (void)FlushPending(entry);
            stream = HeldStream(hold);  // the flush yielded
            if (stream == nullptr) return -1;
        }
        if (!AppendPending(stream, *text->handle, n)) return -1;
        n = 0;
    }
    const int16_t pending = stream->pendingOutput.length;
    if (push != 0) {
        if (push > 255 && pending >= push) push = 0;
        if (pending > kPushThreshold) push = 0;
    }
    if (push != 0) return pending;
    int16_t result = 0;
    if (pending > 0) result = FlushPending(entry);
    if (n > 0) result = HeldStream(hold) != nullptr ? SendBlock(entry, *text) : -1;
    return result;
}

// The flush takes the pending bytes' handle out of the record for as long as it sends them: when
// the stream is released during a yield, its release does not dispose of the handle being read
// (the flush does, after), and a text queued meanwhile starts a handle of its own.
int16_t FlushPending(StreamRecord** entry) {
    const StreamHold hold = HoldStream(entry);
    StreamRecord* stream = *entry;
    if (stream == nullptr) return -1;
    TextBlock taken = stream->pendingOutput;
    stream->pendingOutput = TextBlock{0, nullptr};
    int16_t result = 0;
    if (taken.handle != nullptr && taken.length > 0) {
        HandleLock lock(taken.handle);
        result = SendLoop(hold, *taken.handle, taken.length, true);
    }
    if (taken.handle == nullptr) return result;
    stream = HeldStream(hold);
    if (stream != nullptr && stream->pendingOutput.handle == nullptr) {
        HostSetHandleSize(taken.handle, 0);  // emptied, and kept for the next queued text
        stream->pendingOutput.handle = taken.handle;
    } else {
        HostDisposeHandle(taken.handle);
    }
    return result;
}

int16_t SendBlock(StreamRecord** entry, const TextBlock& text) {
    const int32_t n = ValidLength(text);
    if (n == 0 || *entry == nullptr) return 0;
    HandleLock lock(text.handle);
    return SendLoop(HoldStream(entry), *text.handle, n, true);
}

int16_t SendBytes(StreamRecord** entry, const void* data, int32_t length) {
    const StreamHold hold = HoldStream(entry);
    StreamRecord* stream = *entry;
    if (stream == nullptr) return -1;
    if (stream->pendingOutput.length > 0) (void)FlushPending(entry);
    return SendLoop(hold, static_cast<const char*>(data), length, false);
}

uint32_t BytesAvailable(StreamRecord** entry) {
    StreamRecord* stream = *entry;
    if (stream == nullptr || stream->socket == kNoSocket) return 0;
    const int32_t decoded = TlsDecodedBytes(stream);  // a stream in TLS: the plain bytes waiting
    if (decoded >= 0) return static_cast<uint32_t>(decoded);
    int available = 0;
    if (ioctl(stream->socket, FIONREAD, &available) != 0 || available < 0) return 0;
    return static_cast<uint32_t>(available);
}

int32_t ReceiveBlock(StreamRecord** entry, TextBlock& text, int16_t maxLength) {
    const StreamHold hold = HoldStream(entry);
    StreamRecord* stream = *entry;
    if (stream == nullptr) return -1;
    if (stream->pendingOutput.length > 0) (void)FlushPending(entry);
    stream = HeldStream(hold);  // the flush yielded: the entry may hold another stream now
    if (stream == nullptr) return -1;
    // A plain stream asks for the most a receive may take: recv gives what has arrived up to that,
    // as sizing by FIONREAD first would, one system call sooner. A stream in TLS sizes by the plain
    // bytes its session holds.
    const uint32_t available = stream->tls != nullptr ? BytesAvailable(entry) : 0;
    int32_t size = available < 1 || available > static_cast<uint32_t>(kReceiveLimit) ? kReceiveLimit
                                                                                     : static_cast<int32_t>(available);
    if (maxLength >= 1 && maxLength < size) size = maxLength;
    if (text.handle == nullptr) {
        text.handle = HostNewHandle(size);
        if (text.handle == nullptr) {
            text.length = 0;
            return -1;
        }
    }
    const int8_t saved = HostGetHandleState(text.handle);
    HostUnlockHandle(text.handle);
    HostSetHandleSize(text.handle, size);
    if (HostMemoryError() != HostNoErr) {
        text.length = 0;
        HostSetHandleSize(text.handle, 0);
        HostSetHandleState(text.handle, saved);
        return -1;
    }
    text.length = static_cast<int16_t>(size);
    HostLockHandle(text.handle);

    const int32_t result = ReceiveNow(stream, *text.handle, size);
    if (result > 0) {
        if (result != size) {
            text.length = static_cast<int16_t>(result);
            HostSetHandleSize(text.handle, result);
        }
    } else {
        text.length = 0;
        HostSetHandleSize(text.handle, 0);
    }
    HostSetHandleState(text.handle, saved);
    return result;
}

int32_t ReceiveInto(StreamRecord** entry, char* buffer, int32_t size) {
    const StreamHold hold = HoldStream(entry);
    StreamRecord* stream = *entry;
    if (stream == nullptr) return -1;
    if (stream->pendingOutput.length > 0) {
        (void)FlushPending(entry);
        stream = HeldStream(hold);  // the flush yielded: the entry may hold another stream now
        if (stream == nullptr) return -1;
    }
    return ReceiveNow(stream, buffer, size);
}

// The pieces go out as SendLoop's do; sendfile moves `offset` and leaves the file's position alone.
int32_t SendFromFile(StreamRecord** entry, int fd, int64_t& offset, int32_t count) {
    const StreamHold hold = HoldStream(entry);
    int32_t sent = 0;
    while (sent < count) {
        StreamRecord* stream = HeldStream(hold);
        if (stream == nullptr || stream->socket == kNoSocket) return kFileSendFailed;
        off_t at = static_cast<off_t>(offset);
        // A stream in TLS sends through its session: its bytes are copied there.
        const ssize_t n = stream->tls != nullptr ? (errno = EINVAL, -1)
                          : sockets::SendFileQuietly(stream->socket, fd, &at, static_cast<size_t>(std::min(count - sent, kSendPiece)));
        if (n == 0) break;  // the file ended early
        if (n < 0) {
            const int error = errno;
            // The system sends only from files it can map this way: the caller copies instead.
            if (sent == 0 && (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP)) return kFileSendImpossible;
            if (error == EIO) return kFileReadFailed;
            if (error != EINTR && sockets::MapError(error) != sockets::kWouldBlock) return kFileSendFailed;
            // The peer has not taken the last pieces yet: sleep until the socket takes more.
            if (error != EINTR) HostYieldWaiting(stream->socket, POLLOUT, kNoTimeLimit);
        } else {
            offset += n;
            sent += static_cast<int32_t>(n);
            stream->sentCount = WrappedSum(stream->sentCount, n);
            CountEvent(CounterBytesOut, static_cast<uint32_t>(n));
            HostYield();
        }
        if (HostCancelRequested() != 0) return kFileSendFailed;  // the host gave up: as for a broken connection
    }
    return sent;
}

StreamAddressInfo StreamAddresses(StreamRecord** entry) {
    StreamAddressInfo info{};
    StreamRecord* stream = *entry;
    if (stream == nullptr) return info;
    const int32_t state = UpdateStreamState(stream, StreamIdle);
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (state > StreamListening && stream->socket != kNoSocket &&
        getpeername(stream->socket, reinterpret_cast<sockaddr*>(&a), &length) == 0 && a.sin_family == AF_INET) {
        info.remoteAddress = ntohl(a.sin_addr.s_addr);
        info.remotePort = ntohs(a.sin_port);
    }
    a = sockaddr_in{};
    length = sizeof a;
    if (stream->socket != kNoSocket && getsockname(stream->socket, reinterpret_cast<sockaddr*>(&a), &length) == 0 &&
        a.sin_family == AF_INET) {
        info.localAddress = ntohl(a.sin_addr.s_addr);
        info.localPort = ntohs(a.sin_port);
    }
    return info;
}

}  // namespace zor::net
