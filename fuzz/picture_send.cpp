// picture_send.cpp: fuzzes TcpSendPicture's choice of range. The input gives the start and end
// arguments, whether the picture is supplied, its lock state, and the picture data; the bytes that
// arrive at the other end of a real connection on 127.0.0.1 must be exactly the range a plain reading
// of the rules picks, the result must match, and the handle's state must be as it was.
//
// Input: start (4 bytes, little-endian), end (4 bytes), flags (1 byte: bit 0 leaves the picture
// out, bit 1 locks it first), then the picture data.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "net/net.h"
#include "frame/frame.h"
#include "transfer/transfer.h"

namespace {

using namespace zor::net;

StreamRecord* g_client = nullptr;    // the sending end
StreamRecord* g_listener = nullptr;  // the receiving end, drained into g_received
HostHandle g_piece = nullptr;        // the receive buffer, made once
std::string g_received;

void Drain() {
    for (;;) {
        if (BytesAvailable(&g_listener) == 0) return;
        TextBlock text{0, g_piece};
        const int32_t n = ReceiveBlock(&g_listener, text, 0);
        if (n <= 0) return;
        g_received.append(*g_piece, static_cast<size_t>(n));
    }
}

// The sender yields while the socket is full: the receiving end is drained then.
void OnYield(void*) { Drain(); }

int32_t Read32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | p[i];
    return static_cast<int32_t>(v);
}

// The rules, read plainly: the bytes that should arrive, or false for result -1 with nothing sent.
bool ExpectedRange(const uint8_t* data, int32_t size, int32_t start, int32_t end, std::string& out) {
    int64_t s = start;
    int64_t e = end;
    if (start != 0 || end != 0) {
        if (e == 0) e = size - 1;
    } else if (size >= 4 && std::memcmp(data, "GIF8", 4) == 0) {
        s = 0;
        e = size - 1;
    } else {
        s = -1;
        for (int32_t i = 0; i + 1 < size; ++i)
            if (data[i] == 0xFF && data[i + 1] == 0xD8) {
                s = i;
                break;
            }
        e = 0;
        if (s > 0) {
            int64_t found = -1;
            for (int64_t i = s; i + 1 < size; ++i)
                if (data[i] == 0xFF && data[i + 1] == 0xD9) {
                    found = i;
                    break;
                }
            if (found < 0) s = 0;
            else e = found + 1;
        }
    }
    if (e == 0) return false;
    if (s < 0) s = 0;
    if (e > size - 1) e = size - 1;
    out.clear();
    if (e > s) out.assign(reinterpret_cast<const char*>(data) + s, static_cast<size_t>(e - s + 1));
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ResetSocketTable();
    g_listener = ListenStream(0, 0, 0x7F000001);
    if (g_listener == nullptr) std::abort();
    const unsigned char name[] = "\x09" "127.0.0.1";
    g_client = OpenStream(name, StreamAddresses(&g_listener).localPort, 0, 0, 0);
    if (g_client == nullptr) std::abort();
    for (int pass = 0; UpdateStreamState(g_client, 0) != StreamEstablished ||
                       UpdateStreamState(g_listener, 0) != StreamEstablished;
         ++pass)
        if (pass > 10000000) std::abort();
    g_piece = HostNewHandle(kReceiveLimit);
    if (g_piece == nullptr) std::abort();
    HostSetYieldCallback(OnYield, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9 || size > (1 << 18) + 9) return 0;
    const int32_t start = Read32(data);
    const int32_t end = Read32(data + 4);
    const uint8_t flags = data[8];
    const uint8_t* bytes = data + 9;
    const auto length = static_cast<int32_t>(size - 9);

    const int64_t before = HostLiveAllocations();
    HostHandle picture = HostNewHandle(length);
    if (picture == nullptr) __builtin_trap();
    if (length > 0) std::memcpy(*picture, bytes, static_cast<size_t>(length));
    if (flags & 2) HostLockHandle(picture);
    const int8_t state = HostGetHandleState(picture);

    int32_t startArg = start;
    int32_t endArg = end;
    int32_t ref = 1;
    void* params[4] = {&ref, (flags & 1) ? nullptr : &picture, &startArg, &endArg};
    int64_t slot = 0;
    zor::frame::CommandCall call{params, nullptr, &slot, &g_client};
    g_received.clear();
    zor::transfer::TcpSendPicture(call);
    const auto result = static_cast<int32_t>(slot);

    std::string expected;
    const bool sends = !(flags & 1) && ExpectedRange(bytes, length, start, end, expected);
    if (result != (sends ? 0 : -1)) __builtin_trap();
    // Everything sent is on its way over loopback: wait for exactly that many bytes.
    for (long pass = 0; g_received.size() < expected.size(); ++pass) {
        Drain();
        if (pass > 100000000) __builtin_trap();
    }
    Drain();
    if (g_received != expected) __builtin_trap();
    if (HostGetHandleState(picture) != state) __builtin_trap();
    if (startArg != start || endArg != end) __builtin_trap();  // the arguments are only read
    HostDisposeHandle(picture);
    zor::fuzz::CheckNothingLeft(before);
    return 0;
}
