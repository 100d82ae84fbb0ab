// net.h: the networking subsystem: stream records, shared listeners, sending, receiving, UDP, names.
//
// Divisions: the stream record and its states; the socket table (shared listeners, lingering,
// socket events, counters); the TCP stream lifecycle; sending and receiving; UDP; names and
// addresses; start-up and shutdown; the command procedures. Operations that can free a stream take
// the address of its StreamTable entry (StreamRecord**), so that they can empty it.
#ifndef ZOR_NET_NET_H
#define ZOR_NET_NET_H

#include <cstdint>

#include "frame/frame.h"

namespace zor::net {

struct TlsSession;

// ---- Stream record and states -------------------------------------------------------------------
enum StreamStateNumber : int32_t {
    StreamIdle = 0,          // record made, nothing started (inside open and listen; UDP streams)
    StreamListening = 2,     // waiting for an incoming connection on a shared listening socket
    StreamConnecting = 6,    // outgoing connection attempt in progress
    StreamEstablished = 8,   // connection open in both directions
    StreamClosed = 14,       // closed by TcpClose, or the peer closed or reset the connection
    StreamFailed = 20,       // connect failed, exceptional condition, or connection aborted
};

enum StreamKind : int16_t { StreamTcp = 0, StreamUdp = 1 };

// "No socket" in the records: a value no descriptor can have, so that no path ever closes, reads or
// polls a descriptor the plug-in did not open (descriptor 0 is the host's standard input, or a file).
inline constexpr int32_t kNoSocket = -1;

// One TCP or UDP stream; allocated zero-filled with HostNewBlockClear, freed with HostDisposeBlock.
struct StreamRecord {
    int32_t socket;              // the connection's socket (a listener's: the shared one); kNoSocket = none
    int16_t entryNumber;         // SocketEntry (1..128) the stream waits on; 0 when not waiting
    int32_t state;               // one of StreamStateNumber; never decreases
    int32_t sentCount;           // bytes sent by SendBlock since the stream became established
    int32_t lastReceiveCount;    // size of the last receive that returned data
    int16_t kind;                // StreamTcp or StreamUdp
    TextBlock pendingOutput;     // bytes queued by TcpSend and not yet sent (handle null until needed)
    StreamRecord* nextWaiting;   // link in the waiting list of the stream's SocketEntry
    uint32_t serial;             // this stream's number among all streams made (never 0): its identity
    TlsSession* tls;             // the TLS session its bytes go through (net/tls.h); null for a plain stream
};

// A stream as a command or a loop found it: its table entry and its record's serial number. During
// a yield the host may release the stream and open another, which then gets the same (lowest free)
// reference and entry; the hold tells the two apart, so that nothing of one stream goes to the other.
// The host may also stop the plug-in during a yield and free the global record the entry lies in:
// the hold then belongs to an earlier run, and its entry is never read again.
struct StreamHold {
    StreamRecord** entry;  // the StreamTable entry the stream was reached through
    uint32_t serial;       // its record's serial number then; 0 when the entry held no stream
    uint32_t run;          // the plug-in's run (RunNumber) the hold was made in
};
StreamHold HoldStream(StreamRecord** entry);
// The held stream's record while the entry still holds that very stream; null once it is gone.
StreamRecord* HeldStream(const StreamHold& hold);

// ---- Socket table, events, counters -------------------------------------------------------------
inline constexpr int kSocketTableSize = 128;       // SocketEntry numbers 1..128
inline constexpr uint32_t kLingerTicks = 1800;     // a once-shared listener outlives its streams this long
inline constexpr uint32_t kSocketEventMessage = 14566;  // window message number of socket events
inline constexpr int32_t kEventAccept = 8;         // FD_ACCEPT
inline constexpr int kNetCounterCount = 13;

// One shared listening socket.
struct SocketEntry {
    int32_t socket = kNoSocket;  // the listening socket; kNoSocket when the entry is free
    int32_t users;               // streams attached to the entry
    uint32_t localAddress;       // address bound to, host order, as the host program gave it
    int32_t port;                // port bound to (16 bits); 0 when free
    StreamRecord* firstWaiting;  // oldest stream waiting for a connection
    StreamRecord* lastWaiting;   // newest
    int32_t expiry;              // while lingering: the tick after which it may be closed; else 0
    int32_t keepOpen;            // set once two streams have shared it: it lingers when left
};

// The counters TcpState reads for selectors -6 to -12.
enum NetCounter : int {
    CounterOpens = 0,        // TcpOpen calls that got a record
    CounterConnected = 1,    // outgoing connections seen to become established
    CounterAccepted = 2,     // incoming connections accepted
    CounterClosed = 3,       // TcpClose calls that closed a socket
    CounterReleased = 4,     // releases of a stream not closed
    CounterBytesIn = 5,      // bytes received by ReceiveBlock
    CounterBytesOut = 6,     // bytes sent by SendBlock
};

// Attaches a fresh TCP stream to the entry for (port, localAddress); 0 or a socket error number.
[[nodiscard]] int32_t JoinListener(StreamRecord* stream, uint16_t port, uint32_t localAddress);
// Detaches a waiting stream; 1 when the entry has no users left, else 0.
int32_t DetachListener(StreamRecord* stream);
// Closes lingering listeners whose time has come (called at every stream poll).
void CloseLingeringListeners();
// Accepts queued connections for every entry with waiting streams.
void AcceptPending();
void CountEvent(int index, uint32_t amount);
uint32_t ReadCounter(int32_t selector);  // selector -18..-1
// This machine's address as first seen on an established outgoing connection; 0 until then.
uint32_t CachedLocalAddress();
void SetCachedLocalAddress(uint32_t address);
void* EventWindow();
// The entry of a number 1..128 (tests and the stream operations).
SocketEntry* SocketEntryAt(int number);

// ---- TCP stream lifecycle -----------------------------------------------------------------------
// A zero-filled record with no socket and a new serial number; null when memory ran out.
StreamRecord* NewStreamRecord();
// The socket buffers: an ask from 8192 (or less) to 32766 bytes is set as asked, at least 8192; the
// largest ask, 32767 or more, leaves them to the system, which grows them with the connection.
inline constexpr int32_t kSmallestSocketBuffer = 8192;  // what an ask of 0 or less gets
inline constexpr int32_t kLargestSocketBuffer = 32767;  // an ask this large or larger: the system's own sizing
StreamRecord* CreateTcpStream(int32_t bufferSize);
StreamRecord* OpenStream(const unsigned char* hostName, uint16_t remotePort, int32_t bufferSize,
                         uint16_t localPort, uint32_t localAddress);
StreamRecord* ListenStream(uint16_t localPort, int32_t bufferSize, uint32_t localAddress);
// Polls the stream after raising its state to `floor`; its state, or -1 for no stream.
int32_t UpdateStreamState(StreamRecord* stream, int16_t floor);
[[nodiscard]] int16_t CloseStream(StreamRecord** entry);
// Releases the stream of a table entry and empties the entry; 0 or -1.
[[nodiscard]] int16_t ReleaseStream(StreamRecord** entry);
// Selector 0: the polled state; 14: the last receive's size; 17: bytes sent (low 16 bits).
int16_t StreamState(StreamRecord** entry, int32_t selector);
// What a transfer loop keeps to poll its stream sparingly (StateAfterPass).
struct StreamWatch {
    bool polled = false;    // the socket has been polled during the loop
    uint32_t polledAt = 0;  // the tick of the last poll
};
// The stream's state after a pass of a transfer loop, as StreamState (entry, 0) gives it, read after
// every pass. A pass that moved a whole piece has just shown the connection working, so while passes
// do, the socket itself is polled (for an exceptional condition) only once a tick; any other pass,
// and any stream not established, polls.
int16_t StateAfterPass(StreamRecord** entry, bool whole, StreamWatch& watch);

// ---- Sending and receiving ----------------------------------------------------------------------
inline constexpr int32_t kSendPiece = 65536;       // the most bytes one send call is offered
inline constexpr int32_t kReceiveLimit = 32000;    // bytes per receive
inline constexpr int32_t kPendingLimit = 32000;    // PendingOutput never grows past this
inline constexpr int32_t kPushThreshold = 4096;    // PendingOutput longer than this goes out

// The bytes of a text that may be read: its length, but never more than its handle holds (0 for a
// negative length or no handle).
int32_t ValidLength(const TextBlock& text);
// Queues or sends a text (null: none); the bytes left pending, 0 after a send, or -1.
int16_t QueueOrSend(StreamRecord** entry, TextBlock* text, int16_t push);
// Sends the stream's pending output and empties it; 0 or -1 (also when the stream went meanwhile).
[[nodiscard]] int16_t FlushPending(StreamRecord** entry);
[[nodiscard]] int16_t SendBlock(StreamRecord** entry, const TextBlock& text);
[[nodiscard]] int16_t SendBytes(StreamRecord** entry, const void* data, int32_t length);
int32_t ReceiveBlock(StreamRecord** entry, TextBlock& text, int16_t maxLength);

// What SendFromFile gives besides a byte count.
inline constexpr int32_t kFileSendFailed = -1;       // the stream failed, went, or the host gave up
inline constexpr int32_t kFileSendImpossible = -2;   // the system cannot send from this file: nothing sent
inline constexpr int32_t kFileReadFailed = -3;       // reading the file failed
// Sends up to `count` bytes of the open file `fd` from `offset` straight from the file, without
// copying them through a buffer, in pieces as SendBlock makes them (a yield after each); `offset`
// moves past what was sent, the file's own position does not. Counted as SendBlock counts. The
// bytes sent (fewer than count only when the file ended), or one of the values above.
[[nodiscard]] int32_t SendFromFile(StreamRecord** entry, int fd, int64_t& offset, int32_t count);
// Holds SIGPIPE back from the calling thread for as long as it lives, so that a run of sends from a
// file (sendfile has no MSG_NOSIGNAL) needs no signal calls of its own for each piece; a SIGPIPE a
// peer's close raised meanwhile is taken back at the end, unless the thread held the signal already.
class QuietPipe {
public:
    QuietPipe();
    ~QuietPipe();
    QuietPipe(const QuietPipe&) = delete;
    QuietPipe& operator=(const QuietPipe&) = delete;

private:
    bool unblock_;  // this hold blocked the signal, so it takes back what came and unblocks it
};
// Receives into `size` bytes at `buffer` what has arrived, in one call, as ReceiveBlock does (the
// same result, counts and state changes) but without sizing a text first: for loops that keep one
// buffer for every pass.
int32_t ReceiveInto(StreamRecord** entry, char* buffer, int32_t size);
uint32_t BytesAvailable(StreamRecord** entry);
struct StreamAddressInfo {
    uint32_t remoteAddress;  // host order; 0 when not connected
    uint16_t remotePort;
    uint16_t localPort;
    uint32_t localAddress;
};
StreamAddressInfo StreamAddresses(StreamRecord** entry);

// The longest time-out in seconds a wait honours: longer ones are cut to it, since their deadline
// would pass the reach of the wrapping tick scale (about 414 days) and end the wait at once.
inline constexpr int32_t kLongestTimeout = INT32_MAX / 60;
inline int32_t ClampTimeout(int32_t seconds) { return seconds < kLongestTimeout ? seconds : kLongestTimeout; }
// What a waiting loop with no time-out of its own tells HostYieldWaiting.
inline constexpr uint32_t kNoTimeLimit = UINT32_MAX;
// The ticks from now until `deadline` on the wrapping tick scale; 0 once it has come.
inline uint32_t TicksUntil(uint32_t deadline) {
    const int32_t left = static_cast<int32_t>(deadline - HostTicks());
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

// ---- UDP ----------------------------------------------------------------------------------------
inline constexpr int32_t kDatagramLimit = 2048;    // longest datagram received
inline constexpr int32_t kMaxDatagramSize = 548;   // what UdpMaxDatagramSize reports

StreamRecord* CreateUdpStream(uint16_t localPort);
int32_t DestroyUdpStream(StreamRecord** entry);
int32_t SendDatagram(StreamRecord** entry, const char* bytes, int16_t length, uint32_t address, uint16_t port);
int32_t ReceiveDatagram(StreamRecord** entry, TextBlock& text, uint32_t& address, uint16_t& port, int32_t timeout);

// ---- Names and addresses ------------------------------------------------------------------------
uint32_t LocalHostAddress();
uint32_t ResolveName(const unsigned char* name);                  // counted string; 0 when unknown
void AddressToText(uint32_t address, int32_t mode, unsigned char* text);  // counted string out

// ---- Used by start-up and shutdown ----------------------------------------------------------------
void ResetSocketTable();   // frees all listening-socket entries
void ResetNetCounters();   // zeroes the network counters
void StartSockets();       // starts the socket layer
void StopSockets();        // stops it
// Counts start-ups and shutdowns: a loop that yields compares it (through its StreamHold) to learn
// that the plug-in was stopped meanwhile and its global record may be freed.
uint32_t RunNumber();
void SetEventWindow(void* window);  // the window socket events are delivered to, or null
void CloseAllListeners();  // cancels subscriptions and closes every listening socket
// The event hook installed at start-up: 0 when it consumed the message, 1 when the host should.
int32_t WinsockEventHook(void* window, HostEventMessage* message);

// ---- Commands -----------------------------------------------------------------------------------
void TcpOpen(frame::CommandCall& call);            // 2
void TcpListen(frame::CommandCall& call);          // 3
void TcpClose(frame::CommandCall& call);           // 4
void TcpRelease(frame::CommandCall& call);         // 5
void TcpState(frame::CommandCall& call);           // 6
void TcpSend(frame::CommandCall& call);            // 7
void TcpReceive(frame::CommandCall& call);         // 8
void TcpBytesAvailable(frame::CommandCall& call);  // 9
void TcpStreamInfo(frame::CommandCall& call);      // 10
void TcpWaitState(frame::CommandCall& call);       // 11
void LocalAddress(frame::CommandCall& call);       // 14
void AddressToName(frame::CommandCall& call);      // 15
void NameToAddress(frame::CommandCall& call);      // 16
void UdpOpen(frame::CommandCall& call);            // 41
void UdpClose(frame::CommandCall& call);           // 42
void UdpSend(frame::CommandCall& call);            // 43
void UdpReceive(frame::CommandCall& call);         // 44
void UdpMaxDatagramSize(frame::CommandCall& call); // 45
void TcpWaitData(frame::CommandCall& call);        // 100

}  // namespace zor::net

#endif  // ZOR_NET_NET_H
