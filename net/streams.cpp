// streams.cpp: the TCP stream lifecycle: making, opening, listening, polling, closing, releasing.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cassert>

#include "net/net.h"
#include "net/sockets.h"
#include "net/tls.h"

namespace zor::net {
namespace {

void DontLinger(int32_t socket) {
    linger l{0, 0};
    (void)setsockopt(socket, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

// Remembers this machine's address from the first outgoing connection seen established.
void CacheLocalAddress(int32_t socket) {
    if (CachedLocalAddress() != 0) return;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) == 0 && local.sin_family == AF_INET)
        SetCachedLocalAddress(ntohl(local.sin_addr.s_addr));
}

uint32_t g_lastSerial = 0;  // serial number of the last stream record made

}  // namespace

StreamRecord* NewStreamRecord() {
    auto* stream = static_cast<StreamRecord*>(HostNewBlockClear(sizeof(StreamRecord)));
    if (stream == nullptr) return nullptr;
    stream->socket = kNoSocket;
    if (++g_lastSerial == 0) g_lastSerial = 1;  // 0 is "no stream"
    stream->serial = g_lastSerial;
    return stream;
}

StreamHold HoldStream(StreamRecord** entry) {
    const StreamRecord* stream = entry != nullptr ? *entry : nullptr;
    return StreamHold{entry, stream != nullptr ? stream->serial : 0, RunNumber()};
}

StreamRecord* HeldStream(const StreamHold& hold) {
    // Once the plug-in has been stopped the entry may lie in freed memory: it is not read. Otherwise
    // a record at the entry is alive (entries are emptied when their record is freed), so reading
    // its serial is safe even when it is another stream's, made at the freed record's address.
    if (hold.run != RunNumber()) return nullptr;
    StreamRecord* stream = hold.entry != nullptr ? *hold.entry : nullptr;
    return stream != nullptr && hold.serial != 0 && stream->serial == hold.serial ? stream : nullptr;
}

StreamRecord* CreateTcpStream(int32_t bufferSize) {
    StreamRecord* stream = NewStreamRecord();
    if (stream == nullptr) return nullptr;
    stream->socket = sockets::NewSocket(SOCK_STREAM);
    if (stream->socket == kNoSocket) {
        HostDisposeBlock(stream);
        return nullptr;
    }
    // A buffer set by size stays that size for good: 32 KiB (64 KiB as the system counts it) makes a
    // sender wait for its reader every few pieces. The largest ask therefore sets nothing, and the
    // system's own sizing grows both buffers as far as the connection's pace needs.
    if (bufferSize < kLargestSocketBuffer) {
        const int size = std::max<int32_t>(bufferSize, kSmallestSocketBuffer);
        (void)setsockopt(stream->socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        (void)setsockopt(stream->socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockets::SetNonBlocking(stream->socket);
    const int on = 1;
    (void)setsockopt(stream->socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockets::SendAtOnce(stream->socket);
    stream->kind = StreamTcp;
    stream->state = StreamIdle;
    return stream;
}

StreamRecord* OpenStream(const unsigned char* hostName, uint16_t remotePort, int32_t bufferSize,
                         uint16_t localPort, uint32_t localAddress) {
    StreamRecord* stream = CreateTcpStream(bufferSize);
    if (stream == nullptr) return nullptr;
    const sockaddr_in remote = sockets::MakeAddress(ResolveName(hostName), remotePort);
    CountEvent(CounterOpens, 1);
    int32_t err = 0;
    if (localPort != 0 || localAddress != 0) {
        const sockaddr_in local = sockets::MakeAddress(localAddress, localPort);
        if (bind(stream->socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
            err = sockets::LastError();
    }
    if (err == 0 &&
        HostSystemCallTable()->connect(stream->socket, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0)
        err = sockets::LastError();
    if (err == 0) {
        (void)UpdateStreamState(stream, StreamEstablished);
    } else if (err == sockets::kWouldBlock || err == sockets::kIsConnected) {
        (void)UpdateStreamState(stream, StreamConnecting);
    } else {
        (void)ReleaseStream(&stream);
        return nullptr;
    }
    return stream;
}

StreamRecord* ListenStream(uint16_t localPort, int32_t bufferSize, uint32_t localAddress) {
    StreamRecord* stream = CreateTcpStream(bufferSize);
    if (stream == nullptr) return nullptr;
    stream->entryNumber = 0;
    if (JoinListener(stream, localPort, localAddress) != 0) {
        (void)ReleaseStream(&stream);  // still idle: its own socket is closed
        return nullptr;
    }
    (void)UpdateStreamState(stream, StreamListening);  // may take a connection already queued
    return stream;
}

static_assert(StreamIdle < StreamListening && StreamListening < StreamConnecting &&
                  StreamConnecting < StreamEstablished && StreamEstablished < StreamClosed && StreamClosed < StreamFailed,
              "states are numbered in the order a stream passes them");

// The moves a poll makes (the state never decreases):
//   any -> floor        when the state is below the floor
//   2 -> 8              a connection was accepted on the listening socket
//   6 -> 8              the socket became writable with no pending error
//   6 -> 20             the connect failed (pending error)
//   8 -> 20             an exceptional condition (urgent data) or a failed poll
int32_t UpdateStreamState(StreamRecord* stream, int16_t floor) {
    if (stream == nullptr) return -1;
    if (stream->state < floor) stream->state = floor;
    [[maybe_unused]] const int32_t raised = stream->state;
    CloseLingeringListeners();
    switch (stream->state) {
        case StreamListening: {
            const int32_t accepted = sockets::AcceptConnection(stream->socket);
            if (accepted != kNoSocket) {
                (void)DetachListener(stream);
                stream->socket = accepted;
                stream->state = StreamEstablished;
                stream->sentCount = stream->lastReceiveCount = 0;
                CountEvent(CounterAccepted, 1);
            }
            break;
        }
        case StreamConnecting: {
            const int ready = sockets::PollNow(stream->socket, POLLOUT);
            if (ready < 0 || (ready & (POLLERR | POLLNVAL)) != 0 ||
                ((ready & (POLLOUT | POLLHUP)) != 0 && sockets::PendingError(stream->socket) != 0)) {
                stream->state = StreamFailed;
            } else if ((ready & POLLOUT) != 0) {
                stream->state = StreamEstablished;
                CountEvent(CounterConnected, 1);
                CacheLocalAddress(stream->socket);
            }
            break;
        }
        case StreamEstablished: {
            const int ready = sockets::PollNow(stream->socket, POLLPRI);
            if (ready < 0 || (ready & (POLLPRI | POLLNVAL)) != 0) stream->state = StreamFailed;
            break;
        }
        default:
            break;
    }
    assert(stream->state >= raised);  // a poll only ever moves a stream forward
    if (floor == StreamEstablished) stream->sentCount = stream->lastReceiveCount = 0;
    return stream->state;
}

int16_t CloseStream(StreamRecord** entry) {
    const StreamHold hold = HoldStream(entry);
    StreamRecord* stream = *entry;
    if (stream == nullptr || stream->state == StreamListening) return 0;
    (void)FlushPending(entry);
    stream = HeldStream(hold);  // the flush yielded: the stream may be gone, its entry another's
    if (stream == nullptr) return -1;
    CountEvent(CounterClosed, 1);
    int err = -1;  // a stream closed before has no socket left to close
    EndTls(stream, true);  // close_notify first: the peer can tell this end from a cut connection
    if (stream->socket != kNoSocket) {
        DontLinger(stream->socket);
        err = sockets::CloseSocket(stream->socket);
    }
    stream->socket = kNoSocket;
    (void)UpdateStreamState(stream, StreamClosed);
    return err == 0 ? 0 : -1;
}

int16_t ReleaseStream(StreamRecord** entry) {
    StreamRecord* stream = *entry;
    if (stream == nullptr) return 0;
    // Before its socket closes: after the peer's end, ours; otherwise the stream is cut.
    EndTls(stream, stream->state == StreamClosed);
    int err = 0;
    if (stream->state == StreamListening) {
        if (stream->entryNumber != 0) (void)DetachListener(stream);
        CountEvent(CounterReleased, 1);
    } else if (stream->state == StreamClosed) {
        if (stream->socket != kNoSocket) err = sockets::CloseSocket(stream->socket);
    } else {
        CountEvent(CounterReleased, 1);
        if (stream->socket != kNoSocket) err = sockets::CloseSocket(stream->socket);
    }
    if (stream->pendingOutput.handle != nullptr) HostDisposeHandle(stream->pendingOutput.handle);
    HostDisposeBlock(stream);
    *entry = nullptr;
    return err == 0 ? 0 : -1;
}

int16_t StreamState(StreamRecord** entry, int32_t selector) {
    StreamRecord* stream = entry != nullptr ? *entry : nullptr;
    if (stream == nullptr || stream->kind != StreamTcp) return -1;
    switch (selector) {
        case 0:
            return static_cast<int16_t>(UpdateStreamState(stream, StreamIdle));
        case 14:
            return static_cast<int16_t>(stream->lastReceiveCount);
        case 17:
            return static_cast<int16_t>(stream->sentCount);
        default:
            return -1;
    }
}

int16_t StateAfterPass(StreamRecord** entry, bool whole, StreamWatch& watch) {
    const StreamRecord* stream = entry != nullptr ? *entry : nullptr;
    const uint32_t now = HostTicks();
    if (whole && watch.polled && now == watch.polledAt && stream != nullptr && stream->kind == StreamTcp &&
        stream->state == StreamEstablished)
        return StreamEstablished;
    watch.polled = true;
    watch.polledAt = now;
    return StreamState(entry, 0);
}

}  // namespace zor::net
