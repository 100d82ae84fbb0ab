// sockets.cpp: the BSD socket calls the stream code makes, with their errors mapped.
#include "net/sockets.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
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

thread_local int t_quietPipes = 0;  // QuietPipe holds alive on this thread

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

void SendAtOnce(int32_t socket) {
    const int on = 1;
    (void)setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int32_t AcceptConnection(int32_t listener) {
    int fd;
    do {
        fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return kNoSocket;
    SendAtOnce(fd);
    return fd;
}

int PollNow(int32_t socket, short events) {
    pollfd p{socket, events, 0};
    const int n = Poll(p, 0);
    if (n < 0) return -1;
    return n == 0 ? 0 : p.revents;
}

ssize_t SendFileQuietly(int32_t socket, int fd, off_t* offset, size_t count) {
    if (t_quietPipes > 0) return HostSystemCallTable()->sendfile(socket, fd, offset, count);  // held already
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    (void)pthread_sigmask(SIG_BLOCK, &pipe, &old);
    const ssize_t n = HostSystemCallTable()->sendfile(socket, fd, offset, count);
    const int error = errno;
    // A SIGPIPE the caller already held is the caller's; one that came now is this call's.
    if (n < 0 && error == EPIPE && sigismember(&old, SIGPIPE) == 0) {
        const timespec now = {0, 0};
        while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    (void)pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return n;
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

namespace zor::net {

QuietPipe::QuietPipe() : unblock_(false) {
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    if (pthread_sigmask(SIG_BLOCK, &pipe, &old) == 0) unblock_ = sigismember(&old, SIGPIPE) == 0;
    ++sockets::t_quietPipes;
}

QuietPipe::~QuietPipe() {
    --sockets::t_quietPipes;
    if (!unblock_) return;  // the thread held the signal before: whatever is pending is its own
    sigset_t pipe, pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) != 0) {
        const timespec now = {0, 0};
        while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    (void)pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
}

}  // namespace zor::net
