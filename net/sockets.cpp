// sockets.cpp: the BSD socket calls the stream code makes, with their errors mapped.
#include "net/sockets.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zor::net::sockets {
namespace {

// poll through the host's system-call table, again when a signal interrupted it.
int Poll(pollfd& p, int timeout) {
    int n;
    do {
        n = HostSystemCallTable()->poll(&p, 1, timeout);
    } while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace

int32_t MapError(int error) {
    switch (error) {
        case EWOULDBLOCK:
#if EAGAIN != EWOULDBLOCK
        case EAGAIN:
#endif
        case EINPROGRESS:
            return kWouldBlock;
        case ECONNABORTED:
            return kConnAborted;
        case ECONNRESET:
        case EPIPE:
            return kConnReset;
        case EISCONN:
            return kIsConnected;
        default:
            return kOtherError;
    }
}

int32_t LastError() { return MapError(errno); }

int32_t NewSocket(int type) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    return fd < 0 ? kNoSocket : fd;
}

void SetNonBlocking(int32_t socket) {
    const int flags = fcntl(socket, F_GETFL);
    if (flags >= 0) (void)fcntl(socket, F_SETFL, flags | O_NONBLOCK);
}

int CloseSocket(int32_t socket) {
    if (socket == kNoSocket) return -1;
    return ::close(socket) == 0 ? 0 : -1;
}

int32_t AcceptConnection(int32_t listener) {
    int fd;
    do {
        fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? kNoSocket : fd;
}

int PollNow(int32_t socket, short events) {
    pollfd p{socket, events, 0};
    const int n = Poll(p, 0);
    if (n < 0) return -1;
    return n == 0 ? 0 : p.revents;
}

int PendingError(int32_t socket) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(address);
    return a;
}

}  // namespace zor::net::sockets
