// sockets.h: the socket layer under the networking rooms: BSD sockets made to answer the way the
// stream code expects (non-blocking, zero-time-out polls, the four error numbers it interprets).
#ifndef ZOR_NET_SOCKETS_H
#define ZOR_NET_SOCKETS_H

#include <netinet/in.h>

#include <cstdint>

#include "net/net.h"

namespace zor::net::sockets {

// The error numbers the stream code interprets; every other failure is kOtherError.
inline constexpr int32_t kWouldBlock = 10035;     // EWOULDBLOCK, EAGAIN, EINPROGRESS
inline constexpr int32_t kConnAborted = 10053;    // ECONNABORTED
inline constexpr int32_t kConnReset = 10054;      // ECONNRESET, EPIPE
inline constexpr int32_t kIsConnected = 10056;    // EISCONN
inline constexpr int32_t kOtherError = 10000;     // anything else

// The mapped number of errno as the last call left it.
int32_t LastError();
int32_t MapError(int error);

// A socket of the type (SOCK_STREAM or SOCK_DGRAM), close-on-exec; kNoSocket when none could be made.
int32_t NewSocket(int type);
void SetNonBlocking(int32_t socket);
// 0, or -1 when close failed.
int CloseSocket(int32_t socket);
// Small sends leave at once instead of waiting for the peer's acknowledgement of earlier ones
// (TCP_NODELAY): the pending output already gathers small texts, and a send with push 0 means now.
void SendAtOnce(int32_t socket);
// A connection waiting on a listening socket, non-blocking, close-on-exec and sending at once;
// kNoSocket when none.
int32_t AcceptConnection(int32_t listener);
// poll with a zero time-out: the returned events, 0 when none, -1 when poll failed.
int PollNow(int32_t socket, short events);
// sendfile through the host's system-call table without the SIGPIPE a peer's close would raise
// (sendfile has no MSG_NOSIGNAL): the signal is held for the call and taken back when it came.
ssize_t SendFileQuietly(int32_t socket, int fd, off_t* offset, size_t count);
// The pending error of a socket (SO_ERROR), 0 when none.
int PendingError(int32_t socket);

// IPv4 socket address of a host-order address and port.
sockaddr_in MakeAddress(uint32_t address, uint16_t port);

}  // namespace zor::net::sockets

#endif  // ZOR_NET_SOCKETS_H
