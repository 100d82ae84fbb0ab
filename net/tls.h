// tls.h: TLS sessions over TCP streams: the one way a stream's bytes reach its socket, the handshake,
// the credentials server-side streams present, and what a session agreed.
//
// A stream in TLS keeps its states and its commands: every send, receive, count of bytes waiting and
// close of the stream goes through StreamSend, StreamReceive, TlsDecodedBytes and EndTls below, so
// the plain-text paths above them (the push queue, conversions, file and picture transfers) are the
// same for both kinds of stream.
#ifndef ZOR_NET_TLS_H
#define ZOR_NET_TLS_H

#include <sys/types.h>

#include <cstdint>

#include "net/net.h"

namespace zor::net {

// What TcpStartTls reports.
enum TlsStatus : int32_t {
    TlsUp = 0,               // the session is up
    TlsNotPossible = -1,     // no stream, not established, already in TLS, or no server name to check
    TlsHandshakeFailed = -2, // the peer does not speak TLS 1.2 or later, or broke the handshake
    TlsUntrusted = -3,       // the peer's certificate chain does not lead to a trusted authority
    TlsNameMismatch = -4,    // the certificate is not for the server name given
    TlsPeerClosed = -5,      // the peer closed or reset the connection during the handshake
    TlsCancelled = -6,       // the host cancelled the command, or the handshake time-out passed
    TlsNoCredentials = -7,   // a server-side handshake with no TlsServerCredentials loaded
    TlsExpired = -8,         // the certificate has expired or is not valid yet
    TlsNoMemory = -108,      // memory ran out
};

// TcpStartTls flags.
inline constexpr int32_t kTlsServer = 1;          // bit 0: the stream is the server side
inline constexpr int32_t kTlsNoVerify = 2;        // bit 1: no certificate checks (tests, private networks)
inline constexpr int32_t kTlsTimeoutShift = 8;    // bits 8-15: handshake time-out in seconds, 0 = default
inline constexpr int32_t kTlsDefaultTimeout = 30; // seconds

// Sends at most n plain bytes: through the stream's session when it has one, else a plain send
// (MSG_NOSIGNAL). Like send(2): the bytes taken, or -1 with errno set: EAGAIN when the socket must
// become ready first (a session still in its handshake, too), ECONNRESET when the connection broke,
// ECONNABORTED when the session failed.
ssize_t StreamSend(StreamRecord* stream, const char* bytes, size_t n);
// Receives at most n plain bytes, as recv(2) does: 0 at the peer's clean end (close_notify in TLS),
// -1 with errno EAGAIN when nothing is ready, ECONNABORTED for a session ended without close_notify
// or broken by bad records, ECONNRESET for a reset.
ssize_t StreamReceive(StreamRecord* stream, char* bytes, size_t n);
// Plain bytes a stream in TLS holds decoded, decoding one arrived record when it holds none;
// -1 for a plain stream.
int32_t TlsDecodedBytes(StreamRecord* stream);
// Whether the peer's end has shown on a stream in TLS that holds no plain bytes: its close_notify,
// the connection's end without one, a reset or broken records (the receive then reports which). A
// record still arriving is no end; a plain stream, or a session in its handshake, gives false.
bool TlsPeerEnded(StreamRecord* stream);
// Whether the stream's bytes go through a session (a byte-for-byte path such as sendfile must not
// be taken then).
inline bool StreamHasTls(const StreamRecord* stream) { return stream != nullptr && stream->tls != nullptr; }

// Runs the handshake on an established stream, yielding while it waits; one of TlsStatus. A failed
// handshake leaves the stream failed (20) with no session.
[[nodiscard]] int32_t StartTls(StreamRecord** entry, const unsigned char* serverName, int32_t flags);
// Ends a stream's session: with `notify`, a close_notify goes to the peer first (one non-blocking
// try). Frees the session; a plain stream is left as it is.
void EndTls(StreamRecord* stream, bool notify);
// Loads the certificate chain and key every server-side handshake presents from then on; 0, -43
// when a file cannot be read, -1 when they are not a certificate and its key.
[[nodiscard]] int32_t LoadServerCredentials(const char* certificateFile, const char* keyFile);
// Frees the TLS contexts (shutdown; sessions still open keep theirs alive).
void ReleaseTlsContexts();
// OpenSSL is loaded from libssl.so.3 when a TLS command first needs it; without it (or with one of
// its functions missing) TcpStartTls gives TlsNotPossible and leaves the stream as it was, and
// TlsServerCredentials gives -1. Tests name a library to load instead (null: libssl.so.3 again);
// the name can change only while OpenSSL is not loaded yet. Whether it changed.
[[nodiscard]] bool SetTlsLibrary(const char* name);

void TcpStartTls(frame::CommandCall& call);          // 101
void TlsServerCredentials(frame::CommandCall& call); // 102
void TcpTlsInfo(frame::CommandCall& call);           // 103

}  // namespace zor::net

#endif  // ZOR_NET_TLS_H
