// stream_commands.cpp: fuzzes random sequences of stream commands through RozoZIvav against peers on
// 127.0.0.1 (plain sockets of this process), with a host whose yield runs commands of its own: it
// releases, closes and opens streams while a send, a wait or a transfer is in progress.
//
// Input: operations of 4 bytes (code, a, b, c). A code with bit 7 set is not run at once but queued
// for the host's next yield, which runs one queued operation per yield (and the one after it too
// when bit 6 is set: a release and an open in one yield). Every stream sends only one
// upper-case letter of its own (its tag), whatever the conversions make of the rest; a peer that
// receives another stream's letter has been given bytes that crossed connections. The host may also
// stop the plug-in (and free its global record) in the middle of a command. Descriptor 0 holds
// a datagram of the harness that no command may read or close. Nothing may be left behind: handles,
// descriptors.
//
// Built with ZOR_FUZZ_PROCESSES (replay_stream_commands_processes) the same inputs run under zor-host's
// Scheduler as the wait hook: the queued operations belong to a second process, which runs them when
// the first gives way inside a command, as a script's process does; its own commands give way in turn,
// so both may be inside commands at once. The host's clock stays manual: a wait gives way and comes
// back, and the yields move the clock on.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "support/descriptors.h"
#include "zor/zor.h"

#ifdef ZOR_FUZZ_PROCESSES
#include "shell/processes.h"
#endif

namespace {

using zor::test::OpenDescriptors;

struct Op {
    uint8_t code, a, b, c;
};

// A peer's end of a connection, and the letter it may receive.
struct PeerEnd {
    int fd;
    char tag;
};

HostHandle g_globals = nullptr;          // the plug-in's global record for the current input
int g_peerListener = -1;                 // where the plug-in's TcpOpen connects to
int g_peerUdp = -1;                      // a datagram socket the plug-in sends to
int g_peerPort = 0, g_peerUdpPort = 0;
std::vector<PeerEnd> g_ends;             // accepted and connected peer sockets
std::map<int32_t, char> g_tags;          // StreamRef -> the tag of the stream the harness put there
std::map<int32_t, int> g_endOf;          // StreamRef -> index in g_ends of its peer's end
std::map<int, std::pair<int32_t, char>> g_awaited;  // local port of an opened stream -> its ref, tag
std::deque<Op> g_yieldOps;               // operations the host runs during its next yields
int g_depth = 0;                         // yields in progress (only the outermost one runs operations)
int g_pausedYields = 0;                  // while above 0 the peers read nothing
int g_nextTag = 0;
int g_lastListenPort = 0;                // the port of the last TcpListen
int g_lastListenEnd = -1;                // index in g_ends of the peer that connected to it
int g_nextFile = 0;                      // number of the next file TcpSendFile sends

int BoundSocket(int type, int& port);

// Closes a peer's end with a reset: neither side of the connection then waits in TIME_WAIT, which
// would fill the loopback's ports over a long run.
void ResetClose(int fd) {
    linger l{1, 0};
    (void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

char NextTag() { return static_cast<char>('A' + g_nextTag++ % 26); }

int32_t Call(int32_t selector, std::initializer_list<void*> params) {
    std::vector<void*> block(params);
    block.push_back(nullptr);
    void* slot = nullptr;
    int32_t value = 0x5A5A5A5A;
    std::memcpy(&slot, &value, sizeof value);
    RozoZIvav(selector, block.data(), &g_globals, &slot);
    std::memcpy(&value, &slot, sizeof value);
    return value;
}

// A text of n bytes holding the stream's tag, and a few bytes the conversions change.
TextBlock MakeText(int32_t n, char tag) {
    TextBlock text{static_cast<int16_t>(n), HostNewHandle(n)};
    if (text.handle == nullptr) __builtin_trap();
    for (int32_t i = 0; i < n; ++i) (*text.handle)[i] = i % 7 == 3 ? '\r' : i % 11 == 5 ? '&' : tag;
    return text;
}

void Dispose(TextBlock& text) {
    if (text.handle != nullptr) HostDisposeHandle(text.handle);
    text = TextBlock{0, nullptr};
}

int32_t LocalPortOf(int32_t ref) {
    int32_t remote = 0, minusOne = 0, localAddress = 0;
    int16_t remotePort = 0, localPort = 0;
    (void)Call(10, {&ref, &remote, &remotePort, &localPort, &minusOne, &localAddress});
    return static_cast<uint16_t>(localPort);
}

// Takes the connections waiting on the peer's listener; each gets the tag of the stream it came from.
void AcceptAll() {
    for (;;) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const int fd = accept4(g_peerListener, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        const auto awaited = g_awaited.find(ntohs(from.sin_port));
        char tag = 0;  // a connection of a stream already gone: nothing of it is checked
        if (awaited != g_awaited.end()) {
            tag = awaited->second.second;
            if (g_tags.count(awaited->second.first) != 0 && g_tags[awaited->second.first] == tag)
                g_endOf[awaited->second.first] = static_cast<int>(g_ends.size());
            g_awaited.erase(awaited);
        }
        g_ends.push_back(PeerEnd{fd, tag});
    }
}

// The peers read what has arrived (unless paused) and check that only their stream's letter came.
void Drain() {
    AcceptAll();
    if (g_pausedYields > 0) {
        --g_pausedYields;
        return;
    }
    char buffer[65536];
    for (PeerEnd& end : g_ends) {
        if (end.fd < 0) continue;
        const ssize_t n = recv(end.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        for (ssize_t i = 0; i < n; ++i)
            if (buffer[i] >= 'A' && buffer[i] <= 'Z' && end.tag != 0 && buffer[i] != end.tag) __builtin_trap();
    }
    while (recv(g_peerUdp, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {
    }
}

void Forget(int32_t ref) {
    g_tags.erase(ref);
    g_endOf.erase(ref);
}

int32_t RefOf(uint8_t a) { return a % 10; }  // 0 and 9 name no stream most of the time

PeerEnd* EndOf(int32_t ref) {
    const auto found = g_endOf.find(ref);
    return found != g_endOf.end() && g_ends[found->second].fd >= 0 ? &g_ends[found->second] : nullptr;
}

void Run(const Op& op);

// Shutdown, after which the global record is the host's: it frees it at once (commands in progress
// under the yield that did this must not read it again). Every stream of the plug-in is gone.
void StopPlugin() {
    RozoZIvav(ZorSelectorShutDown, nullptr, &g_globals, nullptr);
    if (g_globals != nullptr) {
        HostUnlockHandle(g_globals);
        HostDisposeHandle(g_globals);
        g_globals = nullptr;
    }
    g_tags.clear();
    g_endOf.clear();
    g_awaited.clear();
}

// The host's yield: the peers read, and the next queued operations run (not in a nested yield).
void OnYield(void*) {
    HostAdvanceTicks(20);
    Drain();
#ifdef ZOR_FUZZ_PROCESSES
    return;  // the second process runs them
#endif
    ++g_depth;
    while (g_depth == 1 && !g_yieldOps.empty()) {
        const Op op = g_yieldOps.front();
        g_yieldOps.pop_front();
        Run(op);
        if ((op.code & 0x40) == 0) break;  // bit 6: the next queued operation runs in this yield too
    }
    --g_depth;
}

void Run(const Op& op) {
    const int32_t ref = RefOf(op.a);
    const int16_t pushes[] = {0, 1, 255, 300, -1};
    switch (op.code & 0x1F) {
        case 0: {  // TcpOpen to the peer
            unsigned char name[] = "\x09" "127.0.0.1";
            int16_t remote = static_cast<int16_t>(g_peerPort), local = 0;
            int32_t buffer = op.b * 256, unused = 0, reuse = 0, address = 0;
            const int32_t r = Call(2, {name, &remote, &buffer, &unused, &reuse, &local, &address});
            if (r > 0) {
                Forget(r);
                g_tags[r] = NextTag();
                g_awaited[LocalPortOf(r)] = {r, g_tags[r]};
                AcceptAll();
            }
            break;
        }
        case 1: {  // TcpListen on loopback, and the peer connects to it
            // A port of its own, or (c odd) the port of the last listener: listeners of one port
            // share a socket and take its connections oldest first, so whose peer is whose is not
            // known and that peer's bytes are not checked.
            const bool shared = (op.c & 1) != 0 && g_lastListenPort != 0;
            if (shared && g_lastListenEnd >= 0) g_ends[g_lastListenEnd].tag = 0;
            if (!shared) {
                const int probe = BoundSocket(SOCK_STREAM, g_lastListenPort);  // a port free a moment ago
                if (probe < 0) break;  // no port to be had: the step is skipped
                close(probe);
            }
            int32_t unused = 0, reuse = 0, buffer = op.b * 256, address = 0x7F000001;
            int16_t unusedShort = 0, local = static_cast<int16_t>(g_lastListenPort);
            const int32_t r = Call(3, {&unused, &unusedShort, &local, &buffer, &unused, &reuse, &address});
            if (r > 0) {
                Forget(r);
                g_tags[r] = NextTag();
                const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                if (fd < 0) __builtin_trap();
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(static_cast<uint16_t>(LocalPortOf(r)));
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
                    close(fd);  // no port to connect from: the step is skipped
                    break;
                }
                g_endOf[r] = g_lastListenEnd = static_cast<int>(g_ends.size());
                g_ends.push_back(PeerEnd{fd, shared ? '\0' : g_tags[r]});
            }
            break;
        }
        case 2: {  // TcpSend
            const auto tag = g_tags.find(ref);
            TextBlock text = MakeText(op.b * 130, tag != g_tags.end() ? tag->second : 'z');
            int16_t push = pushes[op.c % 5];
            int32_t flags = op.c >> 3, r = ref;
            (void)Call(7, {&r, &text, &push, &flags});
            Dispose(text);
            break;
        }
        case 3: {  // TcpReceive
            TextBlock text{0, nullptr};
            int16_t maximum = static_cast<int16_t>(op.b * 64);
            int32_t flags = op.c, r = ref;
            (void)Call(8, {&r, &text, &maximum, &flags});
            Dispose(text);
            break;
        }
        case 4: {  // TcpClose
            int32_t r = ref;
            (void)Call(4, {&r});
            break;
        }
        case 5: {  // TcpRelease
            int32_t r = ref, keep = op.b & 1;
            (void)Call(5, {&r, &keep});
            Forget(ref);
            break;
        }
        case 6: {  // the commands that only look
            int32_t r = ref, selector = op.c % 3 == 0 ? 0 : op.c % 3 == 1 ? 14 : 17;
            if (op.b % 3 == 0) (void)Call(6, {&r, &selector});
            if (op.b % 3 == 1) (void)Call(9, {&r});
            if (op.b % 3 == 2) (void)LocalPortOf(r);
            int32_t n = op.c % 4;
            (void)Call(52, {&n});
            break;
        }
        case 7: {  // TcpWaitState, with a time-out the host's clock soon passes
            const int32_t targets[] = {0, 2, 6, 8, 14, 20, -1};
            int32_t r = ref, target = targets[op.b % 7], timeout = 1 + op.c % 3;
            (void)Call(11, {&r, &target, &timeout});
            break;
        }
        case 8: {  // UdpOpen
            int32_t port = 0, unused = 0;
            const int32_t r = Call(41, {&port, &unused, &unused});
            if (r > 0) {
                Forget(r);
                g_tags[r] = NextTag();
            }
            break;
        }
        case 9: {  // UdpSend to the peer, or to the stream itself
            TextBlock text = MakeText(op.b * 9, 'z');
            int32_t r = ref, address = 0x7F000001, port = (op.c & 1) ? g_peerUdpPort : LocalPortOf(ref), unused = 0;
            (void)Call(43, {&r, &text, &address, &port, &unused});
            Dispose(text);
            break;
        }
        case 10: {  // UdpReceive
            TextBlock text{0, nullptr};
            int32_t r = ref, address = 0, port = 0, unused = 0, timeout = 1 + op.c % 2;
            (void)Call(44, {&r, &text, &address, &port, &unused, &timeout});
            Dispose(text);
            break;
        }
        case 11: {  // UdpClose
            int32_t r = ref;
            (void)Call(42, {&r});
            Forget(ref);
            break;
        }
        case 12: {  // TcpSendFile of a file of the stream's letter
            const auto tag = g_tags.find(ref);
            // A file of its own: a transfer run during a yield must not rewrite the one being sent.
            const std::string bytes(static_cast<size_t>(op.b) * 400, tag != g_tags.end() ? tag->second : 'z');
            const std::string path = "sent" + std::to_string(g_nextFile++);
            zor::fuzz::WriteFileBytes(path, bytes.data(), bytes.size());
            TextBlock name = MakeText(0, 'z');
            HostSetHandleSize(name.handle, static_cast<int32_t>(path.size()));
            std::memcpy(*name.handle, path.data(), path.size());
            name.length = static_cast<int16_t>(path.size());
            int32_t r = ref, flags = op.c >> 4, chunk = (op.c & 15) * 1000, start = op.c & 3, end = 0;
            (void)Call(12, {&r, &name, &flags, &chunk, &start, &end});
            Dispose(name);
            break;
        }
        case 13: {  // TcpReceiveFile, ending after a second of silence
            TextBlock name = MakeText(0, 'z');
            HostSetHandleSize(name.handle, 8);
            std::memcpy(*name.handle, "received", 8);
            name.length = 8;
            int32_t r = ref, flags = op.c, append = op.b & 1, idle = 1;
            (void)Call(13, {&r, &name, &flags, &append, &idle});
            Dispose(name);
            if (Call(9, {&r}) == -1) Forget(ref);  // released at its end (not a stream opened since)
            break;
        }
        case 14: {  // the peer sends letters and line ends
            if (PeerEnd* end = EndOf(ref)) {
                const std::string bytes(static_cast<size_t>(op.b) * 50 + 1, op.c % 2 ? '\r' : 'x');
                (void)send(end->fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            break;
        }
        case 15: {  // the peer closes, resets, or sends urgent data
            if (PeerEnd* end = EndOf(ref)) {
                if (op.b % 3 == 2) {
                    (void)send(end->fd, "!", 1, MSG_OOB | MSG_NOSIGNAL | MSG_DONTWAIT);
                } else {
                    if (op.b % 3 == 1) {
                        ResetClose(end->fd);
                        end->fd = -1;
                    } else {
                        // The peer's close as the plug-in sees it; the descriptor is reset at the
                        // end, so that no connection is left waiting out TIME_WAIT.
                        (void)shutdown(end->fd, SHUT_WR);
                    }
                }
            }
            break;
        }
        case 16:  // the peers stop reading for a while
            g_pausedYields = op.b % 32;
            break;
        case 17:  // the host stops the plug-in, frees its record, and (b odd) starts it again
            StopPlugin();
            if ((op.b & 1) != 0) RozoZIvav(ZorSelectorStartUp, nullptr, &g_globals, nullptr);
            break;
        case 18: {  // TcpWaitData, with a time-out the host's clock soon passes
            int32_t r = ref, ticks = op.c % 4 == 0 ? 0 : 1 + op.b % 90;
            (void)Call(100, {&r, &ticks});
            break;
        }
        default:
            break;
    }
}

// A socket bound to a free loopback port (a listener for SOCK_STREAM); -1 when none could be had.
int BoundSocket(int type, int& port) {
    const int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || (type == SOCK_STREAM && listen(fd, 1024) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

int g_sentinel = -1;  // the other end of descriptor 0

#ifdef ZOR_FUZZ_PROCESSES
using zor::shell::ProcessStatus;
using zor::shell::Scheduler;

bool g_inputDone = false;  // the first process has run its operations: the second ends

// The Scheduler's hand-over with the wait's time-out left to the manual clock: the process gives way
// (on its socket, if it has one) and is ready again at the next look.
void ClockedWaitHook(void* context, int32_t socket, int16_t events, uint32_t ticks) {
    const bool awaits = socket >= 0 || ticks > 0;
    static_cast<Scheduler*>(context)->GiveWay(awaits ? ProcessStatus::Waiting : ProcessStatus::Ready, socket, events, 0);
}

// The second process: whenever it has the baton (the first is inside a command, giving way) it runs
// the next queued operation, or two (bit 6); then it gives way.
void RunQueued(Scheduler& scheduler) {
    while (!g_inputDone) {
        while (!g_yieldOps.empty()) {
            const Op op = g_yieldOps.front();
            g_yieldOps.pop_front();
            Run(op);
            if ((op.code & 0x40) == 0) break;
        }
        scheduler.GiveWay(ProcessStatus::Ready, -1, 0, 0);
    }
}
#endif

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_peerListener = BoundSocket(SOCK_STREAM, g_peerPort);
    g_peerUdp = BoundSocket(SOCK_DGRAM, g_peerUdpPort);
    if (g_peerListener < 0 || g_peerUdp < 0) std::abort();
    // Descriptor 0 becomes a datagram socket of the harness holding one datagram.
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, ends) != 0 || dup2(ends[0], 0) != 0) std::abort();
    close(ends[0]);
    g_sentinel = ends[1];
    if (send(g_sentinel, "zero", 4, 0) != 4) std::abort();
    HostSetManualClock(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4 * 64) return 0;
    zor::fuzz::InScratchFolder scratch;
    const int64_t allocations = HostLiveAllocations();
    const int descriptors = OpenDescriptors();
    g_globals = nullptr;
    RozoZIvav(ZorSelectorStartUp, nullptr, &g_globals, nullptr);
    HostSetYieldCallback(OnYield, nullptr);
#ifdef ZOR_FUZZ_PROCESSES
    {
        Scheduler scheduler;
        HostSetWaitHook(ClockedWaitHook, &scheduler);
        g_inputDone = false;
        if (scheduler.Start("queued", [&scheduler] { RunQueued(scheduler); }) == 0) __builtin_trap();
#endif
    for (size_t i = 0; i + 4 <= size; i += 4) {
        const Op op{data[i], data[i + 1], data[i + 2], data[i + 3]};
        if (op.code & 0x80)
            g_yieldOps.push_back(op);
        else
            Run(op);
        Drain();
    }
#ifdef ZOR_FUZZ_PROCESSES
        // What is still queued is dropped; the second process finishes the command it is in, and ends.
        g_yieldOps.clear();
        g_inputDone = true;
        scheduler.AwaitOthers();
    }
#endif
    HostSetYieldCallback(nullptr, nullptr);
    g_yieldOps.clear();
    g_pausedYields = 0;
    Drain();
    // The peers' ends are reset before the plug-in closes its own, so that neither side of any
    // connection is left in TIME_WAIT; then the connections the peer never accepted.
    for (PeerEnd& end : g_ends)
        if (end.fd >= 0) ResetClose(end.fd);
    for (int fd; (fd = accept4(g_peerListener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) ResetClose(fd);
    StopPlugin();
    g_ends.clear();
    g_lastListenPort = 0;
    g_lastListenEnd = -1;

    char zero[8];
    if (recv(0, zero, sizeof zero, MSG_PEEK | MSG_DONTWAIT) != 4) __builtin_trap();  // read or closed
    if (OpenDescriptors() != descriptors) __builtin_trap();
    if (HostLiveAllocations() != allocations) __builtin_trap();
    return 0;
}
