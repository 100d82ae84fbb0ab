// commands.cpp: the network commands: reading their arguments, calling the stream operations and
// writing their results. Commands whose argument 1 is a StreamRef get it resolved by the dispatcher.
#include <poll.h>
#include <sys/socket.h>

#include "net/net.h"
#include "net/sockets.h"
#include "net/tls.h"
#include "text/text.h"

namespace zor::net {

using frame::CommandCall;

namespace {

// Gives a new stream the lowest free StreamRef; a stream that finds none is released at once, so
// that neither its socket nor its record outlives the call. The StreamRef, or 0.
int32_t HandOut(CommandCall& call, StreamRecord* stream) {
    if (stream == nullptr) return 0;
    const int32_t ref = frame::AllocateStreamRef(call.globals, stream);
    if (ref == 0) (void)ReleaseStream(&stream);
    return ref;
}

// "now is past deadline" on the wrapping tick scale.
bool TicksPast(uint32_t now, uint32_t deadline) { return static_cast<int32_t>(now - deadline) > 0; }

// Yields until something may have moved the stream on from its state (a connection to accept, the
// connect's outcome, urgent data) or `ticks` have passed. A socket whose connection is already broken
// would end every sleep at once, and a closed or failed stream has nothing left to wait on: the wait
// is then on time alone.
void AwaitStateChange(const StreamRecord* stream, uint32_t ticks) {
    int32_t socket = stream != nullptr ? stream->socket : kNoSocket;
    int16_t events = 0;
    switch (stream != nullptr ? stream->state : StreamIdle) {
        case StreamListening:
            events = POLLIN;
            break;
        case StreamConnecting:
            events = POLLOUT;
            break;
        case StreamEstablished:
            events = POLLPRI;
            break;
        default:
            socket = kNoSocket;
            break;
    }
    if (socket != kNoSocket && (sockets::PollNow(socket, events) & (POLLERR | POLLHUP | POLLNVAL)) != 0)
        socket = kNoSocket;
    HostYieldWaiting(socket, socket != kNoSocket ? events : 0, ticks);
}

// The length of the next piece, at most `limit` of the n bytes at p, of a text converted piece by
// piece. It ends after a space or a line feed in its second half when there is one, else before an
// "&" among its last bytes and never between CR and LF: no CR LF pair, "& " pair or entity that a
// conversion looks at is cut in two.
int32_t PieceLength(const char* p, int32_t n, int32_t limit) {
    if (n <= limit) return n;
    for (int32_t end = limit; end > limit / 2; --end)
        if (p[end - 1] == ' ' || p[end - 1] == '\n') return end;
    int32_t end = limit;
    for (int32_t i = limit - 1; i > limit - 12; --i) {
        if (p[i] == '&') {
            end = i;
            break;
        }
    }
    if (p[end - 1] == '\r' && p[end] == '\n') --end;
    return end;
}

// Sends a text whose conversion could grow past what a text holds: piece by piece, each converted
// on its own and queued or sent with the push given, so that every converted byte goes out. The
// host's text is left as it was. The last piece's result, or -1 (also when the stream went).
int16_t SendInPieces(StreamRecord** entry, const TextBlock& text, int16_t push, int32_t flags) {
    const StreamHold hold = HoldStream(entry);
    const int32_t limit = text::LongestToConvert(flags);
    int16_t result = 0;
    for (int32_t done = 0; result >= 0 && done < ValidLength(text);) {
        if (HeldStream(hold) == nullptr) return -1;
        const int32_t length = PieceLength(*text.handle + done, ValidLength(text) - done, limit);
        TextBlock piece = text::NewText(*text.handle + done, length);
        if (piece.length != length || !text::ApplyConversionFlags(piece, flags))
            result = -1;  // memory ran out: nothing unconverted is sent in the piece's place
        else
            result = QueueOrSend(entry, &piece, push);
        if (piece.handle != nullptr) HostDisposeHandle(piece.handle);
        done += length;
    }
    return result;
}

}  // namespace

// TcpOpen (host, remote port, buffer size, -, reuse, local port, local address). The reuse argument
// is not used: every open makes a new stream, and the entry it names is left as it is.
void TcpOpen(CommandCall& call) {
    frame::SetIntResult(call, 0);
    StreamRecord* stream =
        OpenStream(frame::StringArg(call, 1), static_cast<uint16_t>(frame::ShortArg(call, 2)), frame::IntArg(call, 3),
                   static_cast<uint16_t>(frame::ShortArg(call, 6)), static_cast<uint32_t>(frame::IntArg(call, 7)));
    frame::SetIntResult(call, HandOut(call, stream));
}

// TcpListen (-, -, local port, buffer size, -, reuse, local address); reuse as for TcpOpen.
void TcpListen(CommandCall& call) {
    frame::SetIntResult(call, 0);
    StreamRecord* stream = ListenStream(static_cast<uint16_t>(frame::ShortArg(call, 3)), frame::IntArg(call, 4),
                                        static_cast<uint32_t>(frame::IntArg(call, 7)));
    frame::SetIntResult(call, HandOut(call, stream));
}

void TcpClose(CommandCall& call) {
    const StreamHold hold = HoldStream(call.entry);
    (void)QueueOrSend(call.entry, nullptr, 0);
    // The flush yielded: a stream released meanwhile is not closed in the place of its successor.
    frame::SetIntResult(call, HeldStream(hold) != nullptr ? CloseStream(call.entry) : -1);
}

// TcpRelease (ref, keep count): a keep-count of 0 gives the reference back to the open count.
void TcpRelease(CommandCall& call) {
    const int16_t result = ReleaseStream(call.entry);
    if (frame::IntArg(call, 2) == 0) frame::FreeStreamRef(call.globals, call.entry);
    frame::SetIntResult(call, result);
}

// TcpState (ref or counter selector -18..-1, selector).
void TcpState(CommandCall& call) {
    if (call.entry == nullptr) {
        frame::SetIntResult(call, static_cast<int32_t>(ReadCounter(frame::IntArg(call, 1))));
        return;
    }
    frame::SetIntResult(call, StreamState(call.entry, frame::IntArg(call, 2)));
}

// TcpSend (ref, text, push, conversion flags). A text the conversion could make longer than a text
// holds is sent in pieces, so that nothing converted is cut.
void TcpSend(CommandCall& call) {
    TextBlock& text = frame::TextArg(call, 2);
    const int32_t flags = frame::IntArg(call, 4);
    if (flags != 0 && ValidLength(text) > text::LongestToConvert(flags)) {
        frame::SetIntResult(call, SendInPieces(call.entry, text, frame::ShortArg(call, 3), flags));
        return;
    }
    // A text that could not be converted for want of memory is not sent as it stands: the peer
    // would take it for the converted one.
    if (flags != 0 && !text::ApplyConversionFlags(text, flags)) {
        frame::SetIntResult(call, -1);
        return;
    }
    frame::SetIntResult(call, QueueOrSend(call.entry, &text, frame::ShortArg(call, 3)));
}

// TcpReceive (ref, text out, maximum length, conversion flags): the count before conversion. With
// conversions it takes no more than they surely fit in a text, so no byte taken is cut. When a
// conversion step runs out of memory the text keeps the bytes as received and the result is -1, so
// the caller does not take them for converted ones.
void TcpReceive(CommandCall& call) {
    TextBlock& text = frame::TextArg(call, 2);
    const int32_t flags = frame::IntArg(call, 4);
    int16_t maximum = frame::ShortArg(call, 3);
    if (flags != 0 && (maximum <= 0 || maximum > text::LongestToConvert(flags)))
        maximum = static_cast<int16_t>(text::LongestToConvert(flags));
    int32_t received = ReceiveBlock(call.entry, text, maximum);
    if (flags != 0 && received > 0 && !text::ApplyConversionFlags(text, flags)) received = -1;
    frame::SetIntResult(call, received);
}

void TcpBytesAvailable(CommandCall& call) {
    frame::SetIntResult(call, static_cast<int32_t>(BytesAvailable(call.entry)));
}

// TcpStreamInfo (ref, remote address out, remote port out, local port out, -1 out, local address out).
void TcpStreamInfo(CommandCall& call) {
    const StreamAddressInfo info = StreamAddresses(call.entry);
    frame::SetIntArg(call, 2, static_cast<int32_t>(info.remoteAddress));
    frame::SetShortArg(call, 3, static_cast<int16_t>(info.remotePort));
    frame::SetShortArg(call, 4, static_cast<int16_t>(info.localPort));
    frame::SetIntArg(call, 5, -1);
    frame::SetIntArg(call, 6, static_cast<int32_t>(info.localAddress));
    frame::SetIntResult(call, 0);
}

// TcpWaitState (ref, target, time-out seconds): polls and yields until the state reaches the target
// (0 means established; a negative target waits for the time-out), the stream goes, or time is up.
void TcpWaitState(CommandCall& call) {
    const int32_t timeout = ClampTimeout(frame::IntArg(call, 3));
    const uint32_t deadline = HostTicks() + 60u * static_cast<uint32_t>(timeout > 0 ? timeout : 0);
    int16_t target = static_cast<int16_t>(frame::IntArg(call, 2));
    if (target == 0) target = StreamEstablished;
    const StreamHold hold = HoldStream(call.entry);
    int16_t r;
    for (;;) {
        r = HeldStream(hold) != nullptr ? StreamState(call.entry, 0) : -1;  // -1 once the stream went
        const bool reached = r < 0 || (target > 0 && r >= target);
        if (reached)
            HostYield();
        else
            AwaitStateChange(HeldStream(hold), timeout > 0 ? TicksUntil(deadline) + 1 : kNoTimeLimit);
        if (reached) break;
        if (timeout > 0 && TicksPast(HostTicks(), deadline)) break;
        if (HostCancelRequested() != 0) break;  // as when time is up: the state as it stands
    }
    frame::SetIntResult(call, r);
}

// TcpWaitData (ref, ticks): waits until the stream has bytes to read, its peer has closed, or the ticks
// pass; between looks it gives way to the host until the socket turns readable or the time left is up.
// The bytes waiting (more than 0); 0 when the ticks passed first, the host asked to cancel, or a
// stream that was listening has just taken a connection (so that a server hands it on at once); -1
// when the stream is gone, failed, or closed with nothing left to read.
void TcpWaitData(CommandCall& call) {
    const int32_t ticks = frame::IntArg(call, 2);
    const uint32_t deadline = HostTicks() + static_cast<uint32_t>(ticks > 0 ? ticks : 0);
    const StreamHold hold = HoldStream(call.entry);
    const bool listening = *call.entry != nullptr && (*call.entry)->state == StreamListening;
    int32_t r = 0;
    for (;;) {
        StreamRecord* stream = HeldStream(hold);
        if (stream == nullptr) {
            r = -1;
            break;
        }
        uint32_t available = BytesAvailable(call.entry);
        if (available > 0) {
            // Bytes are here, but the host's other work gets its turn first: a stream that is never
            // empty must not keep the rest waiting. The host may release the stream meanwhile.
            HostYield();
            available = HeldStream(hold) != nullptr ? BytesAvailable(call.entry) : 0;
            r = HeldStream(hold) == nullptr ? -1 : available > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(available);
            if (r != 0) break;
            continue;
        }
        int16_t state = StreamState(call.entry, 0);
        stream = HeldStream(hold);
        if (state == StreamEstablished && stream != nullptr && stream->tls != nullptr) {
            // In TLS the session tells: the raw socket's bytes may be records, or the close_notify.
            if (TlsPeerEnded(stream)) state = StreamClosed;
            else if (TlsDecodedBytes(stream) > 0) continue;  // a record came meanwhile
        } else if (state == StreamEstablished && stream != nullptr) {
            // Readable with nothing to read: the peer has closed (or reset) its end.
            // A pending error (a reset) is left on the socket for the receive to report.
            const int ready = sockets::PollNow(stream->socket, POLLIN);
            if (ready < 0 || (ready & POLLERR) != 0) {
                state = StreamClosed;
            } else if ((ready & (POLLIN | POLLHUP)) != 0) {
                char byte;
                const ssize_t n = recv(stream->socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
                if (n == 0 || (n < 0 && sockets::LastError() != sockets::kWouldBlock)) state = StreamClosed;
                else if (n > 0) continue;
            }
        }
        if (listening && state == StreamEstablished) break;  // r is 0: a connection, no bytes yet
        if (state < 0 || state >= StreamClosed) {
            // The peer's close can come with its last bytes: look once more before saying none are left.
            const uint32_t last = HeldStream(hold) != nullptr ? BytesAvailable(call.entry) : 0;
            r = last > 0 ? static_cast<int32_t>(last > 0x7FFFFFFFu ? 0x7FFFFFFFu : last) : -1;
            break;
        }
        const uint32_t now = HostTicks();
        if (ticks <= 0 || !TicksPast(deadline, now) || HostCancelRequested() != 0) {
            r = 0;
            break;
        }
        stream = HeldStream(hold);
        HostYieldWaiting(stream != nullptr ? stream->socket : -1, POLLIN, deadline - now);
    }
    frame::SetIntResult(call, r);
}

// LocalAddress (address out, 5 out, -1 out).
void LocalAddress(CommandCall& call) {
    frame::SetIntArg(call, 1, static_cast<int32_t>(LocalHostAddress()));
    frame::SetIntArg(call, 2, 5);
    frame::SetIntArg(call, 3, -1);
    frame::SetIntResult(call, 0);
}

// AddressToName (address, mode): mode 1 the name only, 2 the dotted text only, else either.
void AddressToName(CommandCall& call) {
    AddressToText(static_cast<uint32_t>(frame::IntArg(call, 1)), frame::IntArg(call, 2), frame::StringResult(call));
}

void NameToAddress(CommandCall& call) {
    frame::SetIntResult(call, static_cast<int32_t>(ResolveName(frame::StringArg(call, 1))));
}

void UdpOpen(CommandCall& call) {
    frame::SetIntResult(call, HandOut(call, CreateUdpStream(static_cast<uint16_t>(frame::IntArg(call, 1)))));
}

// UdpClose (ref): the reference is given back whatever the close gave.
void UdpClose(CommandCall& call) {
    const int32_t result = DestroyUdpStream(call.entry);
    frame::FreeStreamRef(call.globals, call.entry);
    frame::SetIntResult(call, result);
}

// UdpSend (ref, datagram, address, port, -).
void UdpSend(CommandCall& call) {
    const TextBlock& text = frame::TextArg(call, 2);
    int32_t result;
    if (text.handle != nullptr) {
        const int8_t saved = HostGetHandleState(text.handle);
        HostLockHandle(text.handle);
        result = SendDatagram(call.entry, *text.handle, static_cast<int16_t>(ValidLength(text)),
                              static_cast<uint32_t>(frame::IntArg(call, 3)), static_cast<uint16_t>(frame::IntArg(call, 4)));
        HostSetHandleState(text.handle, saved);
    } else {
        result = SendDatagram(call.entry, nullptr, 0, static_cast<uint32_t>(frame::IntArg(call, 3)),
                              static_cast<uint16_t>(frame::IntArg(call, 4)));
    }
    frame::SetIntResult(call, result);
}

// UdpReceive (ref, datagram out, sender address out, sender port out, -, time-out seconds).
void UdpReceive(CommandCall& call) {
    uint32_t address = 0;
    uint16_t port = 0;
    const int32_t result = ReceiveDatagram(call.entry, frame::TextArg(call, 2), address, port, frame::IntArg(call, 6));
    if (result == 0) {
        frame::SetIntArg(call, 3, static_cast<int32_t>(address));
        frame::SetIntArg(call, 4, port);
    }
    frame::SetIntResult(call, result);
}

void UdpMaxDatagramSize(CommandCall& call) { frame::SetIntResult(call, kMaxDatagramSize); }

}  // namespace zor::net
