// listeners_soak.cpp: connections arriving at two shared listeners on 127.0.0.1 while the host runs
// other commands. Connections are taken only through the socket-event path: the host yields between
// commands, the plug-in's event hook accepts into the waiting streams, and the loop looks at a stream
// only through calls that never accept (TcpStreamInfo, TcpBytesAvailable, TcpReceive). A python3
// client opens the connections, each sending "conn N\n" and waiting for "ok N\n": none may be lost.
// Usage: bench_listeners_soak [CONNECTIONS [WAITING_PER_PORT]]   (defaults 10000, 32)
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zor/host_toolbox.h"
#include "support/plugin_host.h"

namespace {

using zor::test::PluginHost;
using zor::test::Text;
using Clock = std::chrono::steady_clock;

// The client: keeps up to INFLIGHT connections going, alternating between the two ports; prints
// "acked A failed F" when every connection has been answered or nothing has moved for a minute.
const char* const kClient = R"PY(
import selectors, socket, sys, time
ports = [int(sys.argv[1]), int(sys.argv[2])]
total, inflight = int(sys.argv[3]), int(sys.argv[4])
sel = selectors.DefaultSelector()
started = acked = failed = 0
last = time.monotonic()
def finish(s, ok):
    global acked, failed, last
    sel.unregister(s); s.close()
    if ok: acked += 1
    else: failed += 1
    last = time.monotonic()
while acked + failed < total and time.monotonic() - last < 60:
    while started < total and len(sel.get_map()) < inflight:
        s = socket.socket(); s.setblocking(False)
        s.connect_ex(("127.0.0.1", ports[started % 2]))
        sel.register(s, selectors.EVENT_WRITE, [started, b""])
        started += 1
    for key, events in sel.select(timeout=1):
        s, state = key.fileobj, key.data
        if events & selectors.EVENT_WRITE:
            if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                finish(s, False); continue
            s.send(b"conn %d\n" % state[0])
            sel.modify(s, selectors.EVENT_READ, state)
            continue
        try:
            data = s.recv(64)
        except OSError:
            data = b""
        state[1] += data
        if state[1] == b"ok %d\n" % state[0]:
            finish(s, True)
        elif not data or len(state[1]) > 32:
            finish(s, False)
print("acked %d failed %d" % (acked, failed), flush=True)
)PY";

struct Slot {
    int32_t ref = 0;
    int32_t port = 0;
    bool connected = false;
    std::string line;
};

class Commands {
public:
    explicit Commands(PluginHost& host) : host_(host) {}
    int32_t Listen(int32_t port) {
        int32_t unused = 0, reuse = 0, buffer = 0, address = 0x7F000001;
        int16_t unusedShort = 0, local = static_cast<int16_t>(port);
        return host_.CallInt(3, {&unused, &unusedShort, &local, &buffer, &unused, &reuse, &address});
    }
    // The remote port (0 while the stream still waits) and the local port.
    void Info(int32_t ref, int32_t& remotePort, int32_t& localPort) {
        int32_t remote = 0, minusOne = 0, local = 0;
        int16_t rport = 0, lport = 0;
        (void)host_.CallInt(10, {&ref, &remote, &rport, &lport, &minusOne, &local});
        remotePort = static_cast<uint16_t>(rport);
        localPort = static_cast<uint16_t>(lport);
    }
    int32_t Available(int32_t ref) { return host_.CallInt(9, {&ref}); }
    std::string Receive(int32_t ref) {
        Text text;
        int16_t maximum = 0;
        int32_t flags = 0;
        (void)host_.CallInt(8, {&ref, &text.block, &maximum, &flags});
        return text.str();
    }
    int32_t Send(int32_t ref, const std::string& bytes) {
        Text text(bytes);
        int16_t push = 0;
        int32_t flags = 0;
        return host_.CallInt(7, {&ref, &text.block, &push, &flags});
    }
    void CloseAndRelease(int32_t ref) {
        int32_t keep = 0;
        (void)host_.CallInt(4, {&ref});
        (void)host_.CallInt(5, {&ref, &keep});
    }
    // Other commands a database program runs meanwhile; false when one of them answers wrongly.
    bool OtherWork(uint32_t n) {
        int32_t key = static_cast<int32_t>(n % 97);
        const std::string item = "item " + std::to_string(n);
        Text pushed(item);
        void* slot = nullptr;
        host_.Call(37, {&key, &pushed.block}, &slot);
        Text popped;
        host_.CallText(38, {&key}, popped);
        Text html("a < b & \"c\"");
        int32_t mode = 0;
        Text escaped;
        host_.CallText(28, {&html.block, &mode}, escaped);
        int32_t seconds = static_cast<int32_t>(n * 7919), gmt = 1;
        const std::string date = host_.CallString(48, {&seconds, &gmt});
        return popped.str() == item && escaped.str() == "a &lt; b &amp; &quot;c&quot;" && date.size() > 20;
    }

private:
    PluginHost& host_;
};

void Print(const char* name, const std::string& zor, double ratio, bool met) {
    std::printf("BENCH\t%s\t%s\t-\t%.3f\t==1\t%s\n", name, zor.c_str(), ratio, met ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
    const int total = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int waiting = argc > 2 ? std::atoi(argv[2]) : 32;
    signal(SIGPIPE, SIG_IGN);
    unsetenv("ZOR_POLLING_ONLY");  // the event path is what this measures
    PluginHost host;
    Commands c(host);

    // Two shared listeners on free ports (a listener asked for port 0 keeps 0 as its port, so it is
    // found once, given back, and then listened on by number).
    std::vector<Slot> slots;
    int32_t ports[2] = {0, 0};
    for (int p = 0; p < 2; ++p) {
        const int32_t probe = c.Listen(0);
        int32_t remote = 0;
        c.Info(probe, remote, ports[p]);
        c.CloseAndRelease(probe);
        for (int i = 0; i < waiting; ++i) {
            Slot slot;
            slot.ref = c.Listen(ports[p]);
            if (slot.ref == 0) {
                std::fprintf(stderr, "listeners_soak: TcpListen on port %d failed (stream %d)\n", ports[p], i);
                return 1;
            }
            slot.port = ports[p];
            slots.push_back(slot);
        }
    }

    int out[2];
    if (pipe(out) != 0) return 1;
    const pid_t client = fork();
    if (client == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        const std::string a = std::to_string(ports[0]), b = std::to_string(ports[1]), n = std::to_string(total);
        execl("/usr/bin/python3", "python3", "-c", kClient, a.c_str(), b.c_str(), n.c_str(), "200",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);

    std::vector<char> seen(static_cast<size_t>(total), 0);
    long takenAtListen = 0, answered = 0, duplicates = 0, malformed = 0, wrongWork = 0, otherCommands = 0;
    const auto start = Clock::now();
    bool clientDone = false;
    int status = 0;
    while (!clientDone) {
        // The host's own work between connections, then its idle time, where socket events arrive.
        for (int k = 0; k < 4; ++k) {
            wrongWork += !c.OtherWork(static_cast<uint32_t>(otherCommands));
            otherCommands += 4;
        }
        HostYield();
        for (Slot& slot : slots) {
            if (!slot.connected) {
                int32_t remote = 0, local = 0;
                c.Info(slot.ref, remote, local);
                slot.connected = remote != 0;
                if (!slot.connected) continue;
            }
            if (c.Available(slot.ref) > 0) slot.line += c.Receive(slot.ref);
            const size_t end = slot.line.find('\n');
            if (end == std::string::npos) {
                if (slot.line.size() > 32) ++malformed;
                else continue;
            } else {
                const int id = std::atoi(slot.line.c_str() + 5);
                if (slot.line.compare(0, 5, "conn ") != 0 || id < 0 || id >= total) {
                    ++malformed;
                } else {
                    duplicates += seen[size_t(id)];
                    seen[size_t(id)] = 1;
                    ++answered;
                    (void)c.Send(slot.ref, "ok " + std::to_string(id) + "\n");
                }
            }
            c.CloseAndRelease(slot.ref);
            slot = Slot{c.Listen(slot.port), slot.port, false, {}};
            if (slot.ref == 0) {
                std::fprintf(stderr, "listeners_soak: TcpListen failed again\n");
                return 1;
            }
            // A connection already queued on the shared socket is taken by TcpListen itself.
            int32_t remote = 0, local = 0;
            c.Info(slot.ref, remote, local);
            slot.connected = remote != 0;
            takenAtListen += slot.connected;
        }
        clientDone = waitpid(client, &status, WNOHANG) == client;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    char line[128] = {0};
    const ssize_t n = read(out[0], line, sizeof line - 1);
    close(out[0]);
    long acked = -1, failed = -1;
    if (n <= 0 || std::sscanf(line, "acked %ld failed %ld", &acked, &failed) != 2) std::fprintf(stderr, "no report\n");
    for (Slot& slot : slots) c.CloseAndRelease(slot.ref);

    long missing = 0;
    for (char s : seen) missing += s == 0;
    std::printf("%d connections at two shared listeners (%d streams waiting on each) in %.2f s (%.0f/s): "
                "%ld answered (%ld taken by TcpListen, the rest by socket events), client acked %ld, failed %ld; %ld missing, %ld duplicates, %ld malformed; "
                "%ld other commands ran meanwhile, %ld answered wrongly\n",
                total, waiting, seconds, total / seconds, answered, takenAtListen, acked, failed, missing, duplicates, malformed,
                otherCommands, wrongWork);
    const bool whole = acked == total && failed == 0 && missing == 0 && duplicates == 0 && malformed == 0 &&
                       wrongWork == 0;
    Print("soak_listeners_event_path",
          std::to_string(acked) + " of " + std::to_string(total) + " connections, " + std::to_string(missing) +
              " lost",
          whole ? 1.0 : 0.0, whole);
    return 0;
}
