// socket_table.cpp: shared listening sockets, lingering, socket events, the network counters and
// the cached local address.
//
// A SocketEntry moves between four conditions:
//   free       no socket
//   listening  socket set, users >= 1, keepOpen clear (one stream has ever used it)
//   shared     socket set, users >= 1, keepOpen set   (two streams were attached at once)
//   lingering  socket set, users 0, expiry != 0       (only from shared)
// free -> listening (JoinListener creates it); listening -> shared (a second stream joins);
// listening -> free (its only user leaves); shared -> lingering (the last user leaves);
// lingering -> shared (a stream joins); lingering -> free (CloseLingeringListeners after expiry).
#include <sys/socket.h>

#include <cassert>

#include "net/net.h"
#include "net/sockets.h"
#include "net/tls.h"

namespace zor::net {
namespace {

SocketEntry g_table[kSocketTableSize];     // entry number n is g_table[n - 1]
void* g_eventWindow = nullptr;             // where socket events go; null when polling only
int32_t g_nextExpiryCheck = 0;             // 0 when nothing lingers, else the tick of the next pass
uint32_t g_cachedLocalAddress = 0;         // local address of the first established outgoing connection
uint32_t g_counters[kNetCounterCount];     // NetCounters
uint32_t g_runNumber = 0;                  // start-ups and shutdowns so far (RunNumber)

// "a is before b" on the wrapping tick scale.
bool TickBefore(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b)) < 0; }

void Unsubscribe(int32_t socket) {
    if (g_eventWindow != nullptr) (void)HostAsyncSelect(socket, g_eventWindow, 0, 0);
}

// Cancels the entry's subscription, closes its socket and frees it.
void FreeEntry(SocketEntry& e) {
    Unsubscribe(e.socket);
    (void)sockets::CloseSocket(e.socket);
    e = SocketEntry{};
}

}  // namespace

SocketEntry* SocketEntryAt(int number) {
    return number >= 1 && number <= kSocketTableSize ? &g_table[number - 1] : nullptr;
}

void* EventWindow() { return g_eventWindow; }
void SetEventWindow(void* window) { g_eventWindow = window; }
uint32_t CachedLocalAddress() { return g_cachedLocalAddress; }
void SetCachedLocalAddress(uint32_t address) { g_cachedLocalAddress = address; }

// Start-up runs this first; it sets the event window afterwards only on the event path, so a start in
// polling-only mode never inherits the window of an earlier start.
void ResetSocketTable() {
    for (SocketEntry& e : g_table) e = SocketEntry{};
    g_nextExpiryCheck = 0;
    g_eventWindow = nullptr;
}

void ResetNetCounters() {
    for (uint32_t& c : g_counters) c = 0;
}

void CountEvent(int index, uint32_t amount) { g_counters[index] += amount; }

uint32_t ReadCounter(int32_t selector) {
    // -6 reads counter 0, ..., -18 counter 12; -1 to -5 read nothing.
    const int32_t index = -selector - 6;
    if (index < 0 || index >= kNetCounterCount) return 0;
    return g_counters[index];
}

void StartSockets() { ++g_runNumber; }
void StopSockets() {
    ReleaseTlsContexts();
    ++g_runNumber;
}
uint32_t RunNumber() { return g_runNumber; }

int32_t JoinListener(StreamRecord* stream, uint16_t port, uint32_t localAddress) {
    for (int n = 1; n <= kSocketTableSize; ++n) {
        SocketEntry& e = g_table[n - 1];
        if (e.socket == kNoSocket || static_cast<uint16_t>(e.port) != port || e.localAddress != localAddress) continue;
        if (e.socket != stream->socket) {
            (void)sockets::CloseSocket(stream->socket);
            stream->socket = e.socket;
        }
        if (++e.users > 1) e.keepOpen = 1;
        e.expiry = 0;
        stream->nextWaiting = nullptr;
        if (e.lastWaiting == nullptr)
            e.firstWaiting = stream;
        else
            e.lastWaiting->nextWaiting = stream;
        e.lastWaiting = stream;
        stream->entryNumber = static_cast<int16_t>(n);
        return 0;
    }
    for (int n = 1; n <= kSocketTableSize; ++n) {
        SocketEntry& e = g_table[n - 1];
        if (e.socket != kNoSocket) continue;
        const sockaddr_in address = sockets::MakeAddress(localAddress, port);
        if (bind(stream->socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return sockets::LastError();
        if (listen(stream->socket, 100) != 0) return sockets::LastError();
        e = SocketEntry{stream->socket, 1, localAddress, port, stream, stream, 0, 0};
        if (g_eventWindow != nullptr)
            (void)HostAsyncSelect(stream->socket, g_eventWindow, kSocketEventMessage, kEventAccept);
        stream->nextWaiting = nullptr;
        stream->entryNumber = static_cast<int16_t>(n);
        return 0;
    }
    // Every entry listens for another port and address: a stream attached to nothing would never
    // receive a connection, so the caller is told to give it up.
    return sockets::kOtherError;
}

int32_t DetachListener(StreamRecord* stream) {
    SocketEntry* e = SocketEntryAt(stream->entryNumber);
    assert(e != nullptr);
    StreamRecord* previous = nullptr;
    for (StreamRecord* s = e->firstWaiting; s != nullptr; previous = s, s = s->nextWaiting) {
        if (s != stream) continue;
        if (previous == nullptr)
            e->firstWaiting = s->nextWaiting;
        else
            previous->nextWaiting = s->nextWaiting;
        if (e->lastWaiting == s) e->lastWaiting = previous;
        break;
    }
    stream->nextWaiting = nullptr;
    stream->entryNumber = 0;
    if (--e->users != 0) return 0;
    if (e->keepOpen != 0) {
        e->expiry = static_cast<int32_t>(HostTicks() + kLingerTicks);
        if (e->expiry == 0) e->expiry = 1;  // 0 means "not lingering"
        if (g_nextExpiryCheck == 0) g_nextExpiryCheck = e->expiry;
    } else {
        FreeEntry(*e);
    }
    e->firstWaiting = e->lastWaiting = nullptr;
    return 1;
}

void CloseLingeringListeners() {
    if (g_nextExpiryCheck == 0) return;  // nothing lingers: no need to read the clock
    const int32_t now = static_cast<int32_t>(HostTicks());
    if (!TickBefore(g_nextExpiryCheck, now)) return;
    g_nextExpiryCheck = 0;
    for (SocketEntry& e : g_table) {
        if (e.expiry == 0) continue;
        if (TickBefore(e.expiry, now))
            FreeEntry(e);
        else
            g_nextExpiryCheck = e.expiry;
    }
    if (g_nextExpiryCheck != 0) g_nextExpiryCheck = static_cast<int32_t>(static_cast<uint32_t>(now) + kLingerTicks);
}

void AcceptPending() {
    for (SocketEntry& e : g_table) {
        while (e.socket != kNoSocket && e.firstWaiting != nullptr) {
            const int32_t accepted = sockets::AcceptConnection(e.socket);
            if (accepted == kNoSocket) break;
            StreamRecord* s = e.firstWaiting;
            const int32_t emptied = DetachListener(s);
            s->socket = accepted;
            s->state = StreamEstablished;
            s->sentCount = s->lastReceiveCount = 0;
            CountEvent(CounterAccepted, 1);
            if (emptied == 1) break;
        }
    }
}

int32_t WinsockEventHook(void* window, HostEventMessage* message) {
    if (g_eventWindow == nullptr || window != g_eventWindow || message == nullptr ||
        message->message != kSocketEventMessage)
        return 1;
    AcceptPending();
    return 0;
}

void CloseAllListeners() {
    for (SocketEntry& e : g_table)
        if (e.socket != kNoSocket) FreeEntry(e);
    g_nextExpiryCheck = 0;
}

}  // namespace zor::net
