// tls.cpp: TLS sessions over TCP streams (OpenSSL 3, loaded at the first TLS command).
//
// Divisions: the library (OpenSSL's functions, found when a TLS command first needs them); the socket
// underneath (a BIO that sends with MSG_NOSIGNAL); the two contexts (client: the system's trust store;
// server: the loaded credentials); the stream's byte paths; the handshake; the end of a session; the
// commands.
#include "net/tls.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "net/sockets.h"

namespace zor::net {

// One stream's session.
struct TlsSession {
    SSL* ssl;    // the OpenSSL session, reading and writing the stream's socket
    bool ready;  // the handshake has completed; until then the byte paths answer "not yet"
};

namespace {

// ---- The library -----------------------------------------------------------------------------------
// The plug-in does not link OpenSSL: loading libcrypto and libssl costs every host's start several
// milliseconds, and only the TLS commands use them. The first TLS command that needs a session or a
// context opens libssl (which brings libcrypto) and finds every function below; when the library or a
// function is missing, the TLS commands fail as for a stream that cannot take TLS, and the rest of
// the plug-in works as before. The library is never closed: OpenSSL registers its own exit handlers.
// Macros of OpenSSL's headers are written out as the functions they call (SSL_CTX_set_mode is an
// SSL_CTX_ctrl, SSL_set_tlsext_host_name an SSL_ctrl, BIO_set_retry_read a BIO_set_flags ...).

#define ZOR_OPENSSL_FUNCTIONS(F)                                                                              \
    F(BIO_get_data) F(BIO_set_data) F(BIO_set_init) F(BIO_set_flags) F(BIO_clear_flags) F(BIO_get_new_index)  \
    F(BIO_meth_new) F(BIO_meth_free) F(BIO_meth_set_write) F(BIO_meth_set_read) F(BIO_meth_set_ctrl)          \
    F(BIO_meth_set_create) F(BIO_new) F(ERR_clear_error) F(ERR_peek_error) F(X509_VERIFY_PARAM_set1_host)      \
    F(X509_VERIFY_PARAM_set1_ip_asc) F(X509_NAME_oneline) F(X509_get_subject_name) F(X509_free)               \
    F(TLS_client_method) F(TLS_server_method) F(SSL_CTX_new) F(SSL_CTX_free) F(SSL_CTX_ctrl)                  \
    F(SSL_CTX_set_default_verify_paths) F(SSL_CTX_use_certificate_chain_file) F(SSL_CTX_use_PrivateKey_file)   \
    F(SSL_CTX_check_private_key) F(SSL_new) F(SSL_free) F(SSL_ctrl) F(SSL_set_bio) F(SSL_set_accept_state)    \
    F(SSL_set_connect_state) F(SSL_set_verify) F(SSL_get0_param) F(SSL_do_handshake) F(SSL_get_error)         \
    F(SSL_get_verify_result) F(SSL_read) F(SSL_write) F(SSL_peek) F(SSL_pending) F(SSL_shutdown)              \
    F(SSL_get_shutdown) F(SSL_get_version) F(SSL_get_current_cipher) F(SSL_CIPHER_get_name)                   \
    F(SSL_get1_peer_certificate)

// OpenSSL's functions the plug-in calls, each typed by its declaration in OpenSSL's headers.
struct OpenSsl {
#define ZOR_OPENSSL_POINTER(name) decltype(&::name) name;  // the function, once found
    ZOR_OPENSSL_FUNCTIONS(ZOR_OPENSSL_POINTER)
#undef ZOR_OPENSSL_POINTER
};

// Where loading stands.
enum LibraryState : int32_t {
    LibraryNotTried = 0,  // no TLS command has needed the library yet
    LibraryLoaded = 1,    // every function was found: g_ssl is filled
    LibraryMissing = 2,   // the library or one of its functions is missing: TLS cannot be used
};

constexpr const char* kSslLibrary = "libssl.so.3";  // Debian's libssl3; it brings libcrypto.so.3

OpenSsl g_ssl{};                                    // filled once, when the library is loaded
LibraryState g_libraryState = LibraryNotTried;      // where loading stands
const char* g_libraryName = kSslLibrary;            // the library to load (a test may name another)

template <typename Fn>
bool FindFunction(void* library, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(dlsym(library, name));
    return fn != nullptr;
}

// Whether OpenSSL is there to use, loading it at the first call. Every use of g_ssl is behind this
// (or behind a session or context, which only exist once it is loaded).
bool OpenSslLoaded() {
    if (g_libraryState != LibraryNotTried) return g_libraryState == LibraryLoaded;
    g_libraryState = LibraryMissing;
    void* library = dlopen(g_libraryName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return false;
    OpenSsl found{};
    bool all = true;
#define ZOR_OPENSSL_FIND(name) all = all && FindFunction(library, #name, found.name);
    ZOR_OPENSSL_FUNCTIONS(ZOR_OPENSSL_FIND)
#undef ZOR_OPENSSL_FIND
    if (!all) return false;  // an unusable library stays loaded: closing it would run its exit handlers early
    g_ssl = found;
    g_libraryState = LibraryLoaded;
    return true;
}

// ---- The socket underneath -------------------------------------------------------------------------
// OpenSSL's own socket BIO writes with write(2), which raises SIGPIPE when the peer has gone; this one
// sends with MSG_NOSIGNAL, as every send of the plug-in does. The descriptor is the BIO's data.

int SocketOf(BIO* b) { return static_cast<int>(reinterpret_cast<intptr_t>(g_ssl.BIO_get_data(b))); }

int BioWrite(BIO* b, const char* bytes, int n) {
    g_ssl.BIO_clear_flags(b, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
    ssize_t r;
    do {
        r = ::send(SocketOf(b), bytes, static_cast<size_t>(n), MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) g_ssl.BIO_set_flags(b, BIO_FLAGS_WRITE | BIO_FLAGS_SHOULD_RETRY);
    return static_cast<int>(r);
}

int BioRead(BIO* b, char* bytes, int n) {
    g_ssl.BIO_clear_flags(b, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
    ssize_t r;
    do {
        r = ::recv(SocketOf(b), bytes, static_cast<size_t>(n), 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) g_ssl.BIO_set_flags(b, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);
    return static_cast<int>(r);
}

long BioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* b) {
    g_ssl.BIO_set_init(b, 1);
    return 1;
}

BIO_METHOD* g_socketMethod = nullptr;  // made at the first session, freed with the contexts

BIO* NewSocketBio(int32_t socket) {
    if (g_socketMethod == nullptr) {
        g_socketMethod = g_ssl.BIO_meth_new(g_ssl.BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zor stream socket");
        if (g_socketMethod == nullptr) return nullptr;
        g_ssl.BIO_meth_set_write(g_socketMethod, BioWrite);
        g_ssl.BIO_meth_set_read(g_socketMethod, BioRead);
        g_ssl.BIO_meth_set_ctrl(g_socketMethod, BioControl);
        g_ssl.BIO_meth_set_create(g_socketMethod, BioCreate);
    }
    BIO* b = g_ssl.BIO_new(g_socketMethod);
    if (b != nullptr) g_ssl.BIO_set_data(b, reinterpret_cast<void*>(static_cast<intptr_t>(socket)));
    return b;
}

// ---- Contexts --------------------------------------------------------------------------------------
SSL_CTX* g_client = nullptr;  // made at the first client handshake: the system's trust store
SSL_CTX* g_server = nullptr;  // made by LoadServerCredentials

SSL_CTX* NewContext(const SSL_METHOD* method) {
    SSL_CTX* context = g_ssl.SSL_CTX_new(method);
    if (context == nullptr) return nullptr;
    (void)g_ssl.SSL_CTX_ctrl(context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    // A send may be taken in part, and retried from a buffer that moved (handles are relocatable).
    (void)g_ssl.SSL_CTX_ctrl(context, SSL_CTRL_MODE, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER,
                             nullptr);
    return context;
}

SSL_CTX* ClientContext() {
    if (g_client != nullptr) return g_client;
    g_client = NewContext(g_ssl.TLS_client_method());
    // OpenSSL's default places, which honour SSL_CERT_FILE and SSL_CERT_DIR.
    if (g_client != nullptr) (void)g_ssl.SSL_CTX_set_default_verify_paths(g_client);
    return g_client;
}

// ---- Byte paths ------------------------------------------------------------------------------------
// The errno of a session operation that did not complete.
int SessionErrno(SSL* ssl, int r) {
    switch (g_ssl.SSL_get_error(ssl, r)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            return EAGAIN;
        case SSL_ERROR_ZERO_RETURN:
            return 0;  // close_notify: a clean end
        case SSL_ERROR_SYSCALL:
            return errno == ECONNRESET || errno == EPIPE ? ECONNRESET : ECONNABORTED;
        default:
            return ECONNABORTED;  // bad records, or the end of the connection without close_notify
    }
}

bool IsAddress(const char* name) {
    in_addr a{};
    return inet_pton(AF_INET, name, &a) == 1;
}

// The status of a handshake that failed.
int32_t HandshakeFailure(SSL* ssl, int r, bool client) {
    const int error = g_ssl.SSL_get_error(ssl, r);
    const unsigned long reason = ERR_GET_REASON(g_ssl.ERR_peek_error());
    if (client) {
        switch (g_ssl.SSL_get_verify_result(ssl)) {
            case X509_V_OK:
                break;
            case X509_V_ERR_HOSTNAME_MISMATCH:
            case X509_V_ERR_IP_ADDRESS_MISMATCH:
                return TlsNameMismatch;
            case X509_V_ERR_CERT_HAS_EXPIRED:
            case X509_V_ERR_CERT_NOT_YET_VALID:
                return TlsExpired;
            default:
                return TlsUntrusted;
        }
    }
    if (error == SSL_ERROR_ZERO_RETURN || error == SSL_ERROR_SYSCALL ||
        (error == SSL_ERROR_SSL && reason == SSL_R_UNEXPECTED_EOF_WHILE_READING))
        return TlsPeerClosed;
    return TlsHandshakeFailed;
}

bool TicksPast(uint32_t now, uint32_t deadline) { return static_cast<int32_t>(now - deadline) > 0; }

void FreeSession(TlsSession* session) {
    g_ssl.SSL_free(session->ssl);
    HostDisposeBlock(session);
}

}  // namespace

ssize_t StreamSend(StreamRecord* stream, const char* bytes, size_t n) {
    if (stream->tls == nullptr) return ::send(stream->socket, bytes, n, MSG_NOSIGNAL);
    if (!stream->tls->ready) {
        errno = EAGAIN;
        return -1;
    }
    g_ssl.ERR_clear_error();
    const int r = g_ssl.SSL_write(stream->tls->ssl, bytes, static_cast<int>(n));
    if (r > 0) return r;
    const int error = SessionErrno(stream->tls->ssl, r);
    errno = error != 0 ? error : ECONNRESET;  // the peer ended the session: nothing more goes out
    g_ssl.ERR_clear_error();
    return -1;
}

ssize_t StreamReceive(StreamRecord* stream, char* bytes, size_t n) {
    if (stream->tls == nullptr) return ::recv(stream->socket, bytes, n, 0);
    if (!stream->tls->ready) {
        errno = EAGAIN;
        return -1;
    }
    // A record holds at most 16 KiB: read on while records are ready, so one receive takes what has
    // arrived up to n bytes, as a plain receive does.
    ssize_t taken = 0;
    int r;
    do {
        g_ssl.ERR_clear_error();
        r = g_ssl.SSL_read(stream->tls->ssl, bytes + taken, static_cast<int>(n - static_cast<size_t>(taken)));
        if (r > 0) taken += r;
    } while (r > 0 && static_cast<size_t>(taken) < n);
    if (taken > 0) {
        g_ssl.ERR_clear_error();  // a failure after some bytes shows at the next receive
        return taken;
    }
    const int error = SessionErrno(stream->tls->ssl, r);
    g_ssl.ERR_clear_error();
    if (error == 0) return 0;
    errno = error;
    return -1;
}

int32_t TlsDecodedBytes(StreamRecord* stream) {
    if (stream->tls == nullptr) return -1;
    if (!stream->tls->ready) return 0;
    SSL* ssl = stream->tls->ssl;
    int held = g_ssl.SSL_pending(ssl);
    if (held == 0 && sockets::PollNow(stream->socket, POLLIN) > 0) {
        // A record has arrived: decode it without taking its bytes (a failure shows at the receive).
        char byte;
        g_ssl.ERR_clear_error();
        (void)g_ssl.SSL_peek(ssl, &byte, 1);
        g_ssl.ERR_clear_error();
        held = g_ssl.SSL_pending(ssl);
    }
    return held > 0 ? held : 0;
}

bool TlsPeerEnded(StreamRecord* stream) {
    if (stream->tls == nullptr || !stream->tls->ready) return false;
    SSL* ssl = stream->tls->ssl;
    if (g_ssl.SSL_pending(ssl) > 0) return false;
    if ((g_ssl.SSL_get_shutdown(ssl) & SSL_RECEIVED_SHUTDOWN) != 0) return true;  // close_notify came before
    const int ready = sockets::PollNow(stream->socket, POLLIN);
    if (ready < 0 || (ready & POLLNVAL) != 0) return true;
    if ((ready & (POLLIN | POLLHUP | POLLERR)) == 0) return false;  // nothing new on the socket
    // Something came: a record to decode, or the end. Peek without taking a byte.
    char byte;
    g_ssl.ERR_clear_error();
    const int r = g_ssl.SSL_peek(ssl, &byte, 1);
    const int error = r > 0 ? SSL_ERROR_NONE : g_ssl.SSL_get_error(ssl, r);
    g_ssl.ERR_clear_error();
    return r <= 0 && error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
}

// The handshake, yielding while it waits. The session is on the stream from the start, so that a
// close or a release during a yield ends it (the loop then finds it gone).
int32_t StartTls(StreamRecord** entry, const unsigned char* serverName, int32_t flags) {
    const StreamHold hold = HoldStream(entry);
    StreamRecord* stream = *entry;
    if (stream == nullptr || stream->kind != StreamTcp || stream->tls != nullptr) return TlsNotPossible;
    if (UpdateStreamState(stream, StreamIdle) != StreamEstablished) return TlsNotPossible;
    const bool server = (flags & kTlsServer) != 0;
    const bool verify = (flags & kTlsNoVerify) == 0;
    char name[256] = {};
    const size_t nameLength = serverName != nullptr ? serverName[0] : 0;
    if (nameLength > 0) std::memcpy(name, serverName + 1, nameLength);
    if (std::strlen(name) != nameLength) return TlsNotPossible;         // a NUL inside the name
    if (!server && verify && nameLength == 0) return TlsNotPossible;  // any trusted certificate would pass
    if (!OpenSslLoaded()) return TlsNotPossible;                      // the stream stays as it is, in plain text

    // Whatever was queued in plain text goes first (the command that announced the handshake).
    if (stream->pendingOutput.length > 0 && FlushPending(entry) != 0) return TlsPeerClosed;
    stream = HeldStream(hold);
    if (stream == nullptr || stream->tls != nullptr || stream->socket == kNoSocket) return TlsNotPossible;

    SSL_CTX* context = server ? g_server : ClientContext();
    if (context == nullptr) return server ? TlsNoCredentials : TlsNoMemory;
    auto* session = static_cast<TlsSession*>(HostNewBlockClear(sizeof(TlsSession)));
    if (session == nullptr) return TlsNoMemory;
    session->ssl = g_ssl.SSL_new(context);
    BIO* bio = session->ssl != nullptr ? NewSocketBio(stream->socket) : nullptr;
    if (bio == nullptr) {
        if (session->ssl != nullptr) g_ssl.SSL_free(session->ssl);
        HostDisposeBlock(session);
        return TlsNoMemory;
    }
    SSL* ssl = session->ssl;
    g_ssl.SSL_set_bio(ssl, bio, bio);
    if (server) {
        g_ssl.SSL_set_accept_state(ssl);
    } else {
        g_ssl.SSL_set_connect_state(ssl);
        if (name[0] != '\0' && !IsAddress(name)) (void)g_ssl.SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, name);
        if (verify) {
            g_ssl.SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
            X509_VERIFY_PARAM* param = g_ssl.SSL_get0_param(ssl);
            (void)(IsAddress(name) ? g_ssl.X509_VERIFY_PARAM_set1_ip_asc(param, name)
                                   : g_ssl.X509_VERIFY_PARAM_set1_host(param, name, 0));
        } else {
            g_ssl.SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
        }
    }
    stream->tls = session;

    const int32_t seconds = (flags >> kTlsTimeoutShift) & 0xFF;
    const uint32_t deadline = HostTicks() + 60u * static_cast<uint32_t>(seconds != 0 ? seconds : kTlsDefaultTimeout);
    int32_t status = TlsUp;
    for (;;) {
        g_ssl.ERR_clear_error();
        const int r = g_ssl.SSL_do_handshake(ssl);
        if (r == 1) break;
        const int error = g_ssl.SSL_get_error(ssl, r);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            status = HandshakeFailure(ssl, r, !server);
            break;
        }
        const uint32_t now = HostTicks();
        if (TicksPast(now, deadline)) {
            status = TlsCancelled;
            break;
        }
        HostYieldWaiting(stream->socket, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline - now);
        stream = HeldStream(hold);
        if (stream == nullptr || stream->tls != session) return TlsNotPossible;  // closed or released meanwhile
        if (HostCancelRequested() != 0) {
            status = TlsCancelled;
            break;
        }
    }
    g_ssl.ERR_clear_error();
    if (status == TlsUp) {
        session->ready = true;
        return TlsUp;
    }
    // Nothing more goes over this connection: the stream fails as a broken connection does.
    stream->tls = nullptr;
    FreeSession(session);
    stream->state = StreamFailed;
    return status;
}

void EndTls(StreamRecord* stream, bool notify) {
    if (stream == nullptr || stream->tls == nullptr) return;
    TlsSession* session = stream->tls;
    stream->tls = nullptr;
    if (notify && session->ready && stream->socket != kNoSocket) {
        g_ssl.ERR_clear_error();
        (void)g_ssl.SSL_shutdown(session->ssl);  // our close_notify; the peer's is not waited for
        g_ssl.ERR_clear_error();
    }
    FreeSession(session);
}

int32_t LoadServerCredentials(const char* certificateFile, const char* keyFile) {
    if (!OpenSslLoaded()) return -1;
    SSL_CTX* context = NewContext(g_ssl.TLS_server_method());
    if (context == nullptr) return TlsNoMemory;
    int32_t status = 0;
    g_ssl.ERR_clear_error();
    if (g_ssl.SSL_CTX_use_certificate_chain_file(context, certificateFile) != 1 ||
        g_ssl.SSL_CTX_use_PrivateKey_file(context, keyFile, SSL_FILETYPE_PEM) != 1 ||
        g_ssl.SSL_CTX_check_private_key(context) != 1)
        status = ERR_GET_LIB(g_ssl.ERR_peek_error()) == ERR_LIB_SYS ? -43 : -1;
    g_ssl.ERR_clear_error();
    if (status != 0) {
        g_ssl.SSL_CTX_free(context);
        return status;
    }
    g_ssl.SSL_CTX_free(g_server);  // sessions made from it hold their own reference
    g_server = context;
    return 0;
}

void ReleaseTlsContexts() {
    if (g_libraryState != LibraryLoaded) return;  // nothing was made
    g_ssl.SSL_CTX_free(g_client);
    g_ssl.SSL_CTX_free(g_server);
    g_client = g_server = nullptr;
    // The BIO method outlives its BIOs only if a session is still open; none is after shutdown.
    g_ssl.BIO_meth_free(g_socketMethod);
    g_socketMethod = nullptr;
}

bool SetTlsLibrary(const char* name) {
    if (g_libraryState == LibraryLoaded) return false;
    g_libraryName = name != nullptr ? name : kSslLibrary;
    g_libraryState = LibraryNotTried;
    return true;
}

// ---- Commands --------------------------------------------------------------------------------------
namespace {

// A file name of a text argument as a path: its bytes, or empty when they do not make one.
void PathOfText(const TextBlock& text, char (&path)[1024]) {
    path[0] = '\0';
    const int32_t n = ValidLength(text);
    if (n == 0 || n >= static_cast<int32_t>(sizeof path) || std::memchr(*text.handle, '\0', static_cast<size_t>(n)) != nullptr)
        return;
    std::memcpy(path, *text.handle, static_cast<size_t>(n));
    path[n] = '\0';
}

// A counted string of at most 255 bytes.
void SetCounted(unsigned char* out, const char* text) {
    const size_t n = text != nullptr ? std::min<size_t>(std::strlen(text), 255) : 0;
    out[0] = static_cast<unsigned char>(n);
    if (n > 0) std::memcpy(out + 1, text, n);
}

}  // namespace

// TcpStartTls (ref, server name, flags).
void TcpStartTls(frame::CommandCall& call) {
    frame::SetIntResult(call, StartTls(call.entry, frame::StringArg(call, 2), frame::IntArg(call, 3)));
}

// TlsServerCredentials (certificate file, key file).
void TlsServerCredentials(frame::CommandCall& call) {
    char certificate[1024];
    char key[1024];
    PathOfText(frame::TextArg(call, 1), certificate);
    PathOfText(frame::TextArg(call, 2), key);
    frame::SetIntResult(call, certificate[0] == '\0' || key[0] == '\0' ? -43 : LoadServerCredentials(certificate, key));
}

// TcpTlsInfo (ref, version out, cipher out, peer subject out): 0, or -1 for a stream not in TLS
// (the outputs are then empty).
void TcpTlsInfo(frame::CommandCall& call) {
    StreamRecord* stream = *call.entry;
    unsigned char* version = frame::StringArg(call, 2);
    unsigned char* cipher = frame::StringArg(call, 3);
    unsigned char* peer = frame::StringArg(call, 4);
    version[0] = cipher[0] = peer[0] = 0;
    if (stream->tls == nullptr || !stream->tls->ready) {
        frame::SetIntResult(call, -1);
        return;
    }
    SSL* ssl = stream->tls->ssl;
    SetCounted(version, g_ssl.SSL_get_version(ssl));
    SetCounted(cipher, g_ssl.SSL_CIPHER_get_name(g_ssl.SSL_get_current_cipher(ssl)));
    X509* certificate = g_ssl.SSL_get1_peer_certificate(ssl);
    if (certificate != nullptr) {
        char subject[256];
        if (g_ssl.X509_NAME_oneline(g_ssl.X509_get_subject_name(certificate), subject, sizeof subject) != nullptr)
            SetCounted(peer, subject);
        g_ssl.X509_free(certificate);
    }
    frame::SetIntResult(call, 0);
}

}  // namespace zor::net
