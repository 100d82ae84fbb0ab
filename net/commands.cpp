// commands.cpp: the network commands: reading their arguments, calling the stream operations and
// writing their results. Commands whose argument 1 is a StreamRef get it resolved by the dispatcher.
#include "net/net.h"
#include "text/text.h"

namespace zor::net {

using plugin::CommandCall;

namespace {

// Gives a new stream the lowest free StreamRef; a stream that finds none is released at once, so
// that neither its socket nor its record outlives the call. The StreamRef, or 0.
int32_t HandOut(CommandCall& call, StreamRecord* stream) {
    if (stream == nullptr) return 0;
    const int32_t ref = plugin::AllocateStreamRef(call.globals, stream);
    if (ref == 0) (void)ReleaseStream(&stream);
    return ref;
}

// "now is past deadline" on the wrapping tick scale.
bool TicksPast(uint32_t now, uint32_t deadline) { return static_cast<int32_t>(now - deadline) > 0; }

}  // namespace

// TcpOpen (host, remote port, buffer size, -, reuse, local port, local address). The reuse argument
// is not used: every open makes a new stream, and the entry it names is left as it is.
void TcpOpen(CommandCall& call) {
    plugin::SetIntResult(call, 0);
    StreamRecord* stream =
        OpenStream(plugin::StringArg(call, 1), static_cast<uint16_t>(plugin::ShortArg(call, 2)), plugin::IntArg(call, 3),
                   static_cast<uint16_t>(plugin::ShortArg(call, 6)), static_cast<uint32_t>(plugin::IntArg(call, 7)));
    plugin::SetIntResult(call, HandOut(call, stream));
}

// TcpListen (-, -, local port, buffer size, -, reuse, local address); reuse as for TcpOpen.
void TcpListen(CommandCall& call) {
    plugin::SetIntResult(call, 0);
    StreamRecord* stream = ListenStream(static_cast<uint16_t>(plugin::ShortArg(call, 3)), plugin::IntArg(call, 4),
                                        static_cast<uint32_t>(plugin::IntArg(call, 7)));
    plugin::SetIntResult(call, HandOut(call, stream));
}

void TcpClose(CommandCall& call) {
    (void)QueueOrSend(call.entry, nullptr, 0);
    plugin::SetIntResult(call, CloseStream(call.entry));
}

// TcpRelease (ref, keep count): a keep-count of 0 gives the reference back to the open count.
void TcpRelease(CommandCall& call) {
    const int16_t result = ReleaseStream(call.entry);
    if (plugin::IntArg(call, 2) == 0) plugin::FreeStreamRef(call.globals, call.entry);
    plugin::SetIntResult(call, result);
}

// TcpState (ref or counter selector -18..-1, selector).
void TcpState(CommandCall& call) {
    if (call.entry == nullptr) {
        plugin::SetIntResult(call, static_cast<int32_t>(ReadCounter(plugin::IntArg(call, 1))));
        return;
    }
    plugin::SetIntResult(call, StreamState(call.entry, plugin::IntArg(call, 2)));
}

// TcpSend (ref, text, push, conversion flags).
void TcpSend(CommandCall& call) {
    TextBlock& text = plugin::TextArg(call, 2);
    const int32_t flags = plugin::IntArg(call, 4);
    // A text that could not be converted for want of memory is not sent as it stands: the peer
    // would take it for the converted one.
    if (flags != 0 && !text::ApplyConversionFlags(text, flags)) {
        plugin::SetIntResult(call, -1);
        return;
    }
    plugin::SetIntResult(call, QueueOrSend(call.entry, &text, plugin::ShortArg(call, 3)));
}

// TcpReceive (ref, text out, maximum length, conversion flags): the count before conversion. When a
// conversion step runs out of memory the text keeps the bytes as received and the result is -1, so
// the caller does not take them for converted ones.
void TcpReceive(CommandCall& call) {
    TextBlock& text = plugin::TextArg(call, 2);
    int32_t received = ReceiveBlock(call.entry, text, plugin::ShortArg(call, 3));
    const int32_t flags = plugin::IntArg(call, 4);
    if (flags != 0 && received > 0 && !text::ApplyConversionFlags(text, flags)) received = -1;
    plugin::SetIntResult(call, received);
}

void TcpBytesAvailable(CommandCall& call) {
    plugin::SetIntResult(call, static_cast<int32_t>(BytesAvailable(call.entry)));
}

// TcpStreamInfo (ref, remote address out, remote port out, local port out, -1 out, local address out).
void TcpStreamInfo(CommandCall& call) {
    const StreamAddressInfo info = StreamAddresses(call.entry);
    plugin::SetIntArg(call, 2, static_cast<int32_t>(info.remoteAddress));
    plugin::SetShortArg(call, 3, static_cast<int16_t>(info.remotePort));
    plugin::SetShortArg(call, 4, static_cast<int16_t>(info.localPort));
    plugin::SetIntArg(call, 5, -1);
    plugin::SetIntArg(call, 6, static_cast<int32_t>(info.localAddress));
    plugin::SetIntResult(call, 0);
}

// TcpWaitState (ref, target, time-out seconds): polls and yields until the state reaches the target
// (0 means established; a negative target waits for the time-out), the stream goes, or time is up.
void TcpWaitState(CommandCall& call) {
    const int32_t timeout = plugin::IntArg(call, 3);
    const uint32_t deadline = HostTicks() + 60u * static_cast<uint32_t>(timeout > 0 ? timeout : 0);
    int16_t target = static_cast<int16_t>(plugin::IntArg(call, 2));
    if (target == 0) target = StreamEstablished;
    int16_t r;
    for (;;) {
        r = StreamState(call.entry, 0);
        HostYield();
        if (r < 0) break;
        if (target > 0 && r >= target) break;
        if (timeout > 0 && TicksPast(HostTicks(), deadline)) break;
    }
    plugin::SetIntResult(call, r);
}

// LocalAddress (address out, 5 out, -1 out).
void LocalAddress(CommandCall& call) {
    plugin::SetIntArg(call, 1, static_cast<int32_t>(LocalHostAddress()));
    plugin::SetIntArg(call, 2, 5);
    plugin::SetIntArg(call, 3, -1);
    plugin::SetIntResult(call, 0);
}

// AddressToName (address, mode): mode 1 the name only, 2 the dotted text only, else either.
void AddressToName(CommandCall& call) {
    AddressToText(static_cast<uint32_t>(plugin::IntArg(call, 1)), plugin::IntArg(call, 2), plugin::StringResult(call));
}

void NameToAddress(CommandCall& call) {
    plugin::SetIntResult(call, static_cast<int32_t>(ResolveName(plugin::StringArg(call, 1))));
}

void UdpOpen(CommandCall& call) {
    plugin::SetIntResult(call, HandOut(call, CreateUdpStream(static_cast<uint16_t>(plugin::IntArg(call, 1)))));
}

// UdpClose (ref): the reference is given back whatever the close gave.
void UdpClose(CommandCall& call) {
    const int32_t result = DestroyUdpStream(call.entry);
    plugin::FreeStreamRef(call.globals, call.entry);
    plugin::SetIntResult(call, result);
}

// UdpSend (ref, datagram, address, port, -).
void UdpSend(CommandCall& call) {
    const TextBlock& text = plugin::TextArg(call, 2);
    int32_t result;
    if (text.handle != nullptr) {
        const int8_t saved = HostGetHandleState(text.handle);
        HostLockHandle(text.handle);
        result = SendDatagram(call.entry, *text.handle, static_cast<int16_t>(ValidLength(text)),
                              static_cast<uint32_t>(plugin::IntArg(call, 3)), static_cast<uint16_t>(plugin::IntArg(call, 4)));
        HostSetHandleState(text.handle, saved);
    } else {
        result = SendDatagram(call.entry, nullptr, 0, static_cast<uint32_t>(plugin::IntArg(call, 3)),
                              static_cast<uint16_t>(plugin::IntArg(call, 4)));
    }
    plugin::SetIntResult(call, result);
}

// UdpReceive (ref, datagram out, sender address out, sender port out, -, time-out seconds).
void UdpReceive(CommandCall& call) {
    uint32_t address = 0;
    uint16_t port = 0;
    const int32_t result = ReceiveDatagram(call.entry, plugin::TextArg(call, 2), address, port, plugin::IntArg(call, 6));
    if (result == 0) {
        plugin::SetIntArg(call, 3, static_cast<int32_t>(address));
        plugin::SetIntArg(call, 4, port);
    }
    plugin::SetIntResult(call, result);
}

void UdpMaxDatagramSize(CommandCall& call) { plugin::SetIntResult(call, kMaxDatagramSize); }

}  // namespace zor::net
