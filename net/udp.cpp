// udp.cpp: UDP streams: a datagram socket on a local port, sending and receiving single datagrams.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include "net/net.h"
#include "net/sockets.h"

namespace zor::net {

StreamRecord* CreateUdpStream(uint16_t localPort) {
    StreamRecord* stream = NewStreamRecord();
    if (stream == nullptr) return nullptr;
    stream->socket = sockets::NewSocket(SOCK_DGRAM);
    if (stream->socket == kNoSocket) {
        HostDisposeBlock(stream);
        return nullptr;
    }
    sockets::SetNonBlocking(stream->socket);
    const sockaddr_in local = sockets::MakeAddress(INADDR_ANY, localPort);
    if (bind(stream->socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        (void)sockets::CloseSocket(stream->socket);
        HostDisposeBlock(stream);
        return nullptr;
    }
    stream->kind = StreamUdp;
    return stream;
}

int32_t DestroyUdpStream(StreamRecord** entry) {
    StreamRecord* stream = *entry;
    if (stream == nullptr) return -1;
    // A TCP stream may be on a listener's waiting list or hold pending output: it is released the
    // whole way, as TcpRelease does, so that no list keeps a freed record.
    if (stream->kind != StreamUdp) return ReleaseStream(entry);
    (void)sockets::CloseSocket(stream->socket);
    HostDisposeBlock(stream);
    *entry = nullptr;
    return 0;
}

int32_t SendDatagram(StreamRecord** entry, const char* bytes, int16_t length, uint32_t address, uint16_t port) {
    StreamRecord* stream = *entry;
    if (stream == nullptr || stream->kind != StreamUdp || stream->socket == kNoSocket) return -1;
    const sockaddr_in to = sockets::MakeAddress(address, port);
    static const char kNothing = 0;
    const size_t n = length > 0 && bytes != nullptr ? static_cast<size_t>(length) : 0;
    const ssize_t sent = ::sendto(stream->socket, n > 0 ? bytes : &kNothing, n, MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent < 0 ? -1 : 0;
}

int32_t ReceiveDatagram(StreamRecord** entry, TextBlock& text, uint32_t& address, uint16_t& port, int32_t timeout) {
    const StreamHold hold = HoldStream(entry);
    // Only a datagram socket is read: on a TCP stream recvfrom would discard the peer's bytes.
    if (*entry == nullptr || (*entry)->kind != StreamUdp) return -1;
    if (text.handle == nullptr) {
        text.handle = HostNewHandle(0);
        if (text.handle == nullptr) {
            text.length = 0;
            return -1;
        }
    }
    // The deadline is compared by difference, so the tick counter's wrap cannot end the wait early,
    // and a negative time-out ends it at the first pass that finds nothing.
    const bool hasDeadline = timeout != 0;
    const uint32_t deadline = HostTicks() + static_cast<uint32_t>(60 * static_cast<int64_t>(ClampTimeout(timeout)));
    int32_t result = -1;
    for (;;) {
        StreamRecord* stream = HeldStream(hold);  // read afresh: the host may run between passes
        if (stream == nullptr || stream->socket == kNoSocket) break;
        HostSetHandleSize(text.handle, kDatagramLimit);
        if (HostMemoryError() != HostNoErr) break;
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        // MSG_TRUNC makes recvfrom report the datagram's whole length, so one that did not fit is
        // seen (and refused) rather than cut.
        const ssize_t n = ::recvfrom(stream->socket, *text.handle, kDatagramLimit, MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n >= 0) {
            if (n > kDatagramLimit) break;
            text.length = static_cast<int16_t>(n);
            HostSetHandleSize(text.handle, static_cast<int32_t>(n));
            address = ntohl(from.sin_addr.s_addr);
            port = ntohs(from.sin_port);
            result = 0;
            break;
        }
        if (errno != EINTR && sockets::LastError() != sockets::kWouldBlock) break;
        // Nothing yet: sleep until a datagram comes or the time-out, a tick at most between looks.
        HostYieldWaiting(stream->socket, POLLIN, hasDeadline ? TicksUntil(deadline) : kNoTimeLimit);
        if (HostCancelRequested() != 0) break;  // as when time is up: no datagram
        if (hasDeadline && static_cast<int32_t>(HostTicks() - deadline) >= 0) break;
    }
    if (result != 0) {
        text.length = 0;
        HostSetHandleSize(text.handle, 0);
    }
    return result;
}

}  // namespace zor::net
