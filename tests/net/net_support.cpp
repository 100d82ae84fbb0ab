// net_support.cpp: python3 peers and the network commands for the tests.
#include "net_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace zor::test {

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

std::string Unhex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

net::StreamRecord* RecordOf(PluginHost& host, int32_t ref) {
    auto* globals = reinterpret_cast<frame::PluginGlobals*>(*host.globals);
    return globals->StreamTable[ref];
}

int32_t TcpOpen(PluginHost& host, const std::string& name, int32_t port, int32_t buffer, int32_t localPort,
                int32_t localAddress) {
    Str255 host_(name);
    int16_t remote = static_cast<int16_t>(port), local = static_cast<int16_t>(localPort);
    int32_t unused = 0, reuse = 0;
    return host.CallInt(2, {host_.bytes, &remote, &buffer, &unused, &reuse, &local, &localAddress});
}

int32_t TcpListen(PluginHost& host, int32_t port, int32_t localAddress, int32_t buffer) {
    int32_t unused = 0, reuse = 0;
    int16_t unusedShort = 0, local = static_cast<int16_t>(port);
    return host.CallInt(3, {&unused, &unusedShort, &local, &buffer, &unused, &reuse, &localAddress});
}

int32_t TcpClose(PluginHost& host, int32_t ref) { return host.CallInt(4, {&ref}); }

int32_t TcpRelease(PluginHost& host, int32_t ref, int32_t keepCount) { return host.CallInt(5, {&ref, &keepCount}); }

int32_t TcpState(PluginHost& host, int32_t ref, int32_t selector) { return host.CallInt(6, {&ref, &selector}); }

int32_t TcpWaitState(PluginHost& host, int32_t ref, int32_t target, int32_t timeout) {
    return host.CallInt(11, {&ref, &target, &timeout});
}

int32_t TcpSend(PluginHost& host, int32_t ref, const std::string& bytes, int16_t push, int32_t flags) {
    Text text(bytes);
    return host.CallInt(7, {&ref, &text.block, &push, &flags});
}

int32_t TcpReceive(PluginHost& host, int32_t ref, std::string& bytes, int16_t maximum, int32_t flags) {
    Text text;
    const int32_t r = host.CallInt(8, {&ref, &text.block, &maximum, &flags});
    bytes = text.str();
    return r;
}

int32_t TcpBytesAvailable(PluginHost& host, int32_t ref) { return host.CallInt(9, {&ref}); }

StreamInfo TcpStreamInfo(PluginHost& host, int32_t ref) {
    StreamInfo info{0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    info.result = host.CallInt(10, {&ref, &info.remoteAddress, &info.remotePort, &info.localPort, &info.minusOne,
                                    &info.localAddress});
    return info;
}

int32_t Counter(PluginHost& host, int32_t selector) {
    int32_t unused = 0;
    return host.CallInt(6, {&selector, &unused});
}

int32_t LocalPort(PluginHost& host, int32_t ref) { return static_cast<uint16_t>(TcpStreamInfo(host, ref).localPort); }

int32_t FreePort(PluginHost& host) {
    const int32_t ref = TcpListen(host, 0, kLoopback);
    const int32_t port = LocalPort(host, ref);
    (void)TcpRelease(host, ref);
    return port;
}

bool AwaitBytes(PluginHost& host, int32_t ref, int32_t n) {
    for (int pass = 0; pass < 20000; ++pass) {
        if (TcpBytesAvailable(host, ref) >= n) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
}

std::string ReceiveAll(PluginHost& host, int32_t ref, size_t n) {
    std::string all;
    for (int pass = 0; pass < 20000 && all.size() < n; ++pass) {
        std::string piece;
        const int32_t r = TcpReceive(host, ref, piece);
        if (r < 0) break;
        if (r == 0) {
            if (TcpState(host, ref) >= net::StreamClosed) break;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        all += piece;
    }
    return all;
}

ManualClock::ManualClock(uint32_t perYield) : perYield_(perYield) {
    HostSetManualClock(true);
    HostSetYieldCallback(OnYield, this);
}

ManualClock::~ManualClock() {
    HostSetYieldCallback(nullptr, nullptr);
    HostSetManualClock(false);
}

void ManualClock::OnYield(void* self) {
    auto* clock = static_cast<ManualClock*>(self);
    ++clock->yields;
    HostAdvanceTicks(clock->perYield_);
}

StreamPair ConnectPair(PluginHost& host, int32_t buffer) {
    StreamPair pair;
    pair.listener = TcpListen(host, 0, kLoopback, buffer);
    if (pair.listener == 0) return pair;
    const int32_t port = LocalPort(host, pair.listener);
    pair.client = TcpOpen(host, "127.0.0.1", port, buffer);
    if (pair.client == 0) return pair;
    (void)TcpWaitState(host, pair.client, net::StreamEstablished, 10);
    (void)TcpWaitState(host, pair.listener, net::StreamEstablished, 10);
    return pair;
}

}  // namespace zor::test

namespace zor::test {
const char* const kPeerScript = R"PY(
import resource, socket, struct, sys, threading
listener = None
udp = None
conns = []
def out(x):
    sys.stdout.write(str(x) + "\n")
    sys.stdout.flush()
for line in sys.stdin:
    a = line.split()
    if not a:
        continue
    op = a[0]
    if op == "listen":
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if len(a) > 1:
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, int(a[1]))
        listener.bind(("127.0.0.1", 0))
        listener.listen(2048)
        out(listener.getsockname()[1])
    elif op == "accept":
        c, _ = listener.accept()
        conns.append(c)
        out(len(conns) - 1)
    elif op == "acceptall":
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        for i in range(int(a[1])):
            conns.append(listener.accept()[0])
        out(len(conns))
    elif op == "acceptloop":
        def loop(l):
            while True:
                l.accept()[0].close()
        threading.Thread(target=loop, args=(listener,), daemon=True).start()
        out("ok")
    elif op == "connect":
        c = socket.socket()
        try:
            c.connect(("127.0.0.1", int(a[1])))
        except OSError as e:
            out("refused")
            continue
        conns.append(c)
        out(len(conns) - 1)
    elif op == "send":
        conns[int(a[1])].sendall(bytes.fromhex(a[2]) if len(a) > 2 else b"")
        out("ok")
    elif op == "recv":
        c, n, data = conns[int(a[1])], int(a[2]), b""
        while len(data) < n:
            d = c.recv(n - len(data))
            if not d:
                break
            data += d
        out(data.hex())
    elif op == "drain":
        c, n = conns[int(a[1])], 0
        while True:
            d = c.recv(65536)
            if not d:
                break
            n += len(d)
        out(n)
    elif op == "close":
        conns[int(a[1])].close()
        out("ok")
    elif op == "reset":
        c = conns[int(a[1])]
        c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        c.close()
        out("ok")
    elif op == "oob":
        conns[int(a[1])].send(b"!", socket.MSG_OOB)
        out("ok")
    elif op == "udp":
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind(("127.0.0.1", 0))
        out(udp.getsockname()[1])
    elif op == "udpsend":
        udp.sendto(bytes.fromhex(a[2]) if len(a) > 2 else b"", ("127.0.0.1", int(a[1])))
        out("ok")
    elif op == "udprecv":
        d, (h, p) = udp.recvfrom(65536)
        out("%s %s %d" % (d.hex() or "-", h, p))
)PY";
}  // namespace zor::test
