// soak.cpp: load and soak. (1) Many streams at once, each moving data through a python3 echo server
// on 127.0.0.1, all driven by one host loop: every byte must come back in order. (2) Many cycles of
// open, send, receive, close and release: descriptors and resident memory must stay flat.
// Usage: bench_soak [STREAMS [BYTES_PER_STREAM [CYCLES]]]   (defaults 1023, 10 MiB, 100000)
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/plugin_host.h"

namespace {

using zor::test::PluginHost;
using zor::test::Str255;
using zor::test::Text;
using Clock = std::chrono::steady_clock;

// A python3 echo server: non-blocking, one selector, any number of connections; prints its port.
const char* const kEchoServer = R"PY(
import resource, selectors, socket, sys
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
sel = selectors.DefaultSelector()
srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.1", 0))
srv.listen(4096)
srv.setblocking(False)
sel.register(srv, selectors.EVENT_READ, None)
print(srv.getsockname()[1], flush=True)
pending = {}
while True:
    for key, events in sel.select():
        s = key.fileobj
        if s is srv:
            try:
                c, _ = srv.accept()
            except OSError:
                continue
            c.setblocking(False)
            pending[c] = b""
            sel.register(c, selectors.EVENT_READ, None)
            continue
        if events & selectors.EVENT_READ:
            try:
                data = s.recv(262144)
            except OSError:
                data = b""
            if not data:
                sel.unregister(s); s.close(); pending.pop(s, None)
                continue
            pending[s] += data
        if pending.get(s):
            try:
                n = s.send(pending[s])
                pending[s] = pending[s][n:]
            except BlockingIOError:
                pass
            except OSError:
                sel.unregister(s); s.close(); pending.pop(s, None)
                continue
        want = selectors.EVENT_READ | (selectors.EVENT_WRITE if pending.get(s) else 0)
        sel.modify(s, want, None)
)PY";

struct Server {
    pid_t pid = -1;
    int port = 0;
};

Server StartServer() {
    int out[2];
    if (pipe(out) != 0) std::abort();
    Server server;
    server.pid = fork();
    if (server.pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl("/usr/bin/python3", "python3", "-c", kEchoServer, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char line[32] = {0};
    ssize_t n = read(out[0], line, sizeof line - 1);
    close(out[0]);
    server.port = n > 0 ? std::atoi(line) : 0;
    return server;
}

void StopServer(Server& server) {
    if (server.pid > 0) {
        kill(server.pid, SIGTERM);
        waitpid(server.pid, nullptr, 0);
    }
}

int OpenDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n - 3;  // ".", ".." and the folder's own descriptor
}

long ResidentKiB() {
    FILE* f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kib = 0;
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::atol(line + 6);
    if (f != nullptr) std::fclose(f);
    return kib;
}

class Commands {
public:
    explicit Commands(PluginHost& host) : host_(host) {}
    int32_t Open(int32_t port) {
        Str255 name("127.0.0.1");
        int16_t remote = static_cast<int16_t>(port), local = 0;
        int32_t buffer = 0, unused = 0, reuse = 0, address = 0;
        return host_.CallInt(2, {name.bytes, &remote, &buffer, &unused, &reuse, &local, &address});
    }
    int32_t State(int32_t ref) {
        int32_t selector = 0;
        return host_.CallInt(6, {&ref, &selector});
    }
    int32_t WaitEstablished(int32_t ref) {
        int32_t target = 8, timeout = 30;
        return host_.CallInt(11, {&ref, &target, &timeout});
    }
    int32_t Send(int32_t ref, const char* bytes, int32_t n) {
        Text text(std::string_view(bytes, size_t(n)));
        int16_t push = 0;
        int32_t flags = 0;
        return host_.CallInt(7, {&ref, &text.block, &push, &flags});
    }
    int32_t Available(int32_t ref) { return host_.CallInt(9, {&ref}); }
    int32_t Receive(int32_t ref, std::string& bytes) {
        Text text;
        int16_t maximum = 0;
        int32_t flags = 0;
        const int32_t r = host_.CallInt(8, {&ref, &text.block, &maximum, &flags});
        bytes = text.str();
        return r;
    }
    void Close(int32_t ref) { (void)host_.CallInt(4, {&ref}); }
    void Release(int32_t ref) {
        int32_t keep = 0;
        (void)host_.CallInt(5, {&ref, &keep});
    }

private:
    PluginHost& host_;
};

// The byte at offset i of stream s's data.
inline char ByteOf(int s, size_t i) { return static_cast<char>((i * 131 + size_t(s) * 7 + (i >> 9)) & 0xFF); }

void Print(const char* name, const std::string& zor, const std::string& peer, double ratio, const char* goal,
           bool met) {
    std::printf("BENCH\t%s\t%s\t%s\t%.3f\t%s\t%s\n", name, zor.c_str(), peer.c_str(), ratio, goal, met ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
    const int streams = argc > 1 ? std::atoi(argv[1]) : 1023;
    const size_t perStream = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : size_t(10) << 20;
    const long cycles = argc > 3 ? std::atol(argv[3]) : 100000;
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    signal(SIGPIPE, SIG_IGN);

    Server server = StartServer();
    if (server.port == 0) {
        std::fprintf(stderr, "soak: the python3 echo server did not start\n");
        return 1;
    }
    PluginHost host;
    Commands c(host);

    // ---- Many streams at once, one loop --------------------------------------------------------------
    std::vector<int32_t> refs;
    for (int s = 0; s < streams; ++s) {
        const int32_t ref = c.Open(server.port);
        if (ref == 0) break;
        refs.push_back(ref);
    }
    for (int32_t ref : refs) c.WaitEstablished(ref);
    const int opened = static_cast<int>(refs.size());
    std::vector<size_t> sent(refs.size(), 0), received(refs.size(), 0);
    size_t wrongBytes = 0, done = 0, totalMoved = 0;
    const int32_t piece = 8192;
    std::string chunk(piece, '\0'), got;
    const auto start = Clock::now();
    size_t stalled = 0, lastMoved = 0;
    while (done < refs.size() && stalled < 20000) {
        done = 0;
        stalled = totalMoved == lastMoved ? stalled + 1 : 0;
        lastMoved = totalMoved;
        for (size_t s = 0; s < refs.size(); ++s) {
            if (received[s] >= perStream) {
                ++done;
                continue;
            }
            // Keep at most 64 KiB in flight per stream, so neither side's buffers fill.
            if (sent[s] < perStream && sent[s] - received[s] < 65536) {
                const int32_t n = static_cast<int32_t>(std::min<size_t>(piece, perStream - sent[s]));
                for (int32_t i = 0; i < n; ++i) chunk[size_t(i)] = ByteOf(int(s), sent[s] + size_t(i));
                if (c.Send(refs[s], chunk.data(), n) == 0) sent[s] += size_t(n);
            }
            if (c.Available(refs[s]) > 0 && c.Receive(refs[s], got) > 0) {
                for (size_t i = 0; i < got.size(); ++i) wrongBytes += got[i] != ByteOf(int(s), received[s] + i);
                received[s] += got.size();
                totalMoved += got.size();
            }
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (int32_t ref : refs) {
        c.Close(ref);
        c.Release(ref);
    }
    std::printf("%d streams open at once (asked %d), %zu bytes each echoed: %zu bytes back in %.2f s "
                "(%.1f MiB/s), %zu bytes wrong or out of order\n",
                opened, streams, perStream, totalMoved, seconds, totalMoved / seconds / 1048576.0, wrongBytes);
    const bool whole = opened == streams && wrongBytes == 0 && done == refs.size();
    Print("soak_streams_in_order", std::to_string(opened) + " streams, " + std::to_string(wrongBytes) + " bad bytes",
          "-", whole ? 1.0 : 0.0, "==1", whole);

    // ---- Cycles: open, send, receive, close, release ---------------------------------------------------
    const std::string message = "soak cycle message\r";
    int fd0 = 0, fdHalf = 0, fdEnd = 0;
    long rss0 = 0, rssHalf = 0, rssEnd = 0;
    long failures = 0;
    for (long i = 0; i <= cycles; ++i) {
        if (i == 0) {
            fd0 = OpenDescriptors();
            rss0 = ResidentKiB();
        }
        if (i == cycles / 2) {
            fdHalf = OpenDescriptors();
            rssHalf = ResidentKiB();
        }
        if (i == cycles) {
            fdEnd = OpenDescriptors();
            rssEnd = ResidentKiB();
            break;
        }
        const int32_t ref = c.Open(server.port);
        if (ref == 0 || c.WaitEstablished(ref) != 8) {
            ++failures;
            if (ref != 0) c.Release(ref);
            continue;
        }
        c.Send(ref, message.data(), int32_t(message.size()));
        std::string back;
        for (int pass = 0; pass < 100000 && back.size() < message.size(); ++pass) {
            if (c.Receive(ref, got) > 0) back += got;
        }
        failures += back != message;
        c.Close(ref);
        c.Release(ref);
    }
    std::printf("%ld cycles of open, send, receive, close, release; %ld failed\n", cycles, failures);
    std::printf("descriptors at 0 / %ld / %ld cycles: %d / %d / %d\n", cycles / 2, cycles, fd0, fdHalf, fdEnd);
    std::printf("resident memory at 0 / %ld / %ld cycles: %ld / %ld / %ld KiB\n", cycles / 2, cycles, rss0, rssHalf,
                rssEnd);
    const std::string at = " at 0/" + std::to_string(cycles / 2) + "/" + std::to_string(cycles) + " cycles";
    Print("soak_cycles_descriptors",
          std::to_string(fd0) + "/" + std::to_string(fdHalf) + "/" + std::to_string(fdEnd) + " descriptors" + at, "-",
          fdEnd == fd0 ? 1.0 : 0.0, "==1", fdEnd == fd0 && failures == 0);
    // Resident memory: flat means the second half grew by less than 1 MiB.
    Print("soak_cycles_resident",
          std::to_string(rss0) + "/" + std::to_string(rssHalf) + "/" + std::to_string(rssEnd) + " KiB resident" + at, "-",
          rssEnd - rssHalf < 1024 ? 1.0 : 0.0, "==1", rssEnd - rssHalf < 1024);
    StopServer(server);
    return 0;
}
