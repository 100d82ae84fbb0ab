// transfer.cpp: TcpSendFile and TcpReceiveFile over loopback against python3 and socat moving the
// same file in the same run, and the peak memory of a transfer against the file's size.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support/plugin_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using zor::test::PluginHost;
using zor::test::Str255;
using zor::test::Text;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A child process with its standard input and output on pipes.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1;
    std::string buffered;

    explicit Child(std::vector<std::string> argv) {
        int i[2], o[2];
        if (pipe2(i, O_CLOEXEC) != 0 || pipe2(o, O_CLOEXEC) != 0) std::abort();
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            dup2(i[0], 0);
            dup2(o[1], 1);
            execv(args[0], args.data());
            _exit(127);
        }
        close(i[0]);
        close(o[1]);
        in = i[1];
        out = o[0];
    }
    std::string ReadLine() {
        for (;;) {
            const size_t end = buffered.find('\n');
            if (end != std::string::npos) {
                std::string line = buffered.substr(0, end);
                buffered.erase(0, end + 1);
                return line;
            }
            char b[512];
            const ssize_t n = read(out, b, sizeof b);
            if (n <= 0) return {};
            buffered.append(b, static_cast<size_t>(n));
        }
    }
    void WriteLine(const std::string& line) {
        const std::string text = line + "\n";
        if (write(in, text.data(), text.size()) < 0) std::perror("write");
    }
    int Wait() {
        if (in >= 0) close(in);
        in = -1;
        int status = 0;
        waitpid(pid, &status, 0);
        if (out >= 0) close(out);
        out = -1;
        return status;
    }
};

// A python3 sink: listens on 127.0.0.1, prints its port, takes one connection, counts what arrives
// and prints the count when the connection ends.
Child Sink() {
    return Child({"/usr/bin/python3", "-c",
                  "import socket\n"
                  "s = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen(1)\n"
                  "print(s.getsockname()[1], flush=True)\n"
                  "c, _ = s.accept(); buf = bytearray(1 << 20); n = 0\n"
                  "while True:\n"
                  "    r = c.recv_into(buf)\n"
                  "    if r == 0: break\n"
                  "    n += r\n"
                  "print(n, flush=True)\n"});
}

// A port nobody listens on right now, for the peers that must be told where to listen.
int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

struct Host {
    PluginHost host;

    int32_t Open(int port) {
        Str255 name("127.0.0.1");
        int16_t remote = static_cast<int16_t>(port), local = 0;
        int32_t buffer = 32767, unused = 0, reuse = 0, address = 0;  // the largest socket buffers a stream takes
        int32_t ref = host.CallInt(2, {name.bytes, &remote, &buffer, &unused, &reuse, &local, &address});
        int32_t target = 8, seconds = 30;
        host.CallInt(11, {&ref, &target, &seconds});
        return ref;
    }
    int32_t Listen() {
        int32_t unused = 0, reuse = 0, buffer = 32767, address = 0x7F000001;
        int16_t unusedShort = 0, local = 0;
        return host.CallInt(3, {&unused, &unusedShort, &local, &buffer, &unused, &reuse, &address});
    }
    int Port(int32_t ref) {
        int32_t remoteAddress = 0, minusOne = 0, localAddress = 0;
        int16_t remotePort = 0, localPort = 0;
        host.CallInt(10, {&ref, &remoteAddress, &remotePort, &localPort, &minusOne, &localAddress});
        return static_cast<uint16_t>(localPort);
    }
    void WaitEstablished(int32_t ref) {
        int32_t target = 8, seconds = 30;
        host.CallInt(11, {&ref, &target, &seconds});
    }
    void CloseAndRelease(int32_t ref) {
        int32_t keep = 0;
        host.CallInt(4, {&ref});
        host.CallInt(5, {&ref, &keep});
    }
    void SendFile(int32_t ref, const std::string& path) {
        Text name(path);
        int32_t flags = 0, chunk = 0, start = 0, end = 0;
        host.CallInt(12, {&ref, &name.block, &flags, &chunk, &start, &end});
    }
    void ReceiveFile(int32_t ref, const std::string& path) {
        Text name(path);
        int32_t flags = 0, append = 0, idle = 0;
        host.CallInt(13, {&ref, &name.block, &flags, &append, &idle});
    }
};

void MakeFile(const std::string& path, size_t mib) {
    std::ofstream out(path, std::ios::binary);
    std::string block(1 << 20, '\0');
    uint32_t x = 12345;
    for (size_t m = 0; m < mib; ++m) {
        for (char& c : block) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            c = static_cast<char>(x);
        }
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
}

// Seconds to move the file with TcpSendFile into a sink, until the sink has counted every byte.
double ZorSend(Host& h, const std::string& file, size_t bytes) {
    Child sink = Sink();
    const int32_t ref = h.Open(std::stoi(sink.ReadLine()));
    const auto start = Clock::now();
    const std::clock_t cpu = std::clock();
    h.SendFile(ref, file);
    h.CloseAndRelease(ref);
    const std::string count = sink.ReadLine();
    const double seconds = SecondsSince(start);
    if (std::getenv("ZOR_BENCH_CPU")) std::printf("  (cpu %.2f s of %.2f s)\n", double(std::clock() - cpu) / CLOCKS_PER_SEC, seconds);
    sink.Wait();
    if (std::stoull(count) != bytes) std::printf("  (sink counted %s bytes!)\n", count.c_str());
    return seconds;
}

double PythonSend(const std::string& file, size_t bytes) {
    Child sink = Sink();
    Child sender({"/usr/bin/python3", "-c",
                  "import socket, sys\n"
                  "c = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
                  "f = open(sys.argv[2], 'rb'); sys.stdin.readline()\n"
                  "while True:\n"
                  "    b = f.read(1024)\n"
                  "    if not b: break\n"
                  "    c.send(b)\n"
                  "c.close()\n",
                  sink.ReadLine(), file});
    const auto start = Clock::now();
    sender.WriteLine("go");
    const std::string count = sink.ReadLine();
    const double seconds = SecondsSince(start);
    sender.Wait();
    sink.Wait();
    if (std::stoull(count) != bytes) std::printf("  (sink counted %s bytes!)\n", count.c_str());
    return seconds;
}

double SocatSend(const std::string& file, size_t bytes) {
    Child sink = Sink();
    const std::string port = sink.ReadLine();
    const auto start = Clock::now();
    Child sender({"/usr/bin/socat", "-b1024", "-u", "OPEN:" + file + ",rdonly", "TCP:127.0.0.1:" + port});
    const std::string count = sink.ReadLine();
    const double seconds = SecondsSince(start);
    sender.Wait();
    sink.Wait();
    if (std::stoull(count) != bytes) std::printf("  (sink counted %s bytes!)\n", count.c_str());
    return seconds;
}

// Seconds for TcpReceiveFile to write what a socat source sends, from the source's start.
double ZorReceive(Host& h, const std::string& file, const std::string& target) {
    const int32_t ref = h.Listen();
    const int port = h.Port(ref);
    const auto start = Clock::now();
    Child source({"/usr/bin/socat", "-u", "OPEN:" + file + ",rdonly", "TCP:127.0.0.1:" + std::to_string(port)});
    h.WaitEstablished(ref);
    h.ReceiveFile(ref, target);
    const double seconds = SecondsSince(start);
    source.Wait();
    return seconds;
}

double SocatReceive(const std::string& file, const std::string& target) {
    const std::string port = std::to_string(FreePort());
    const auto start = Clock::now();
    Child receiver({"/usr/bin/socat", "-u", "TCP-LISTEN:" + port + ",bind=127.0.0.1,reuseaddr",
                    "OPEN:" + target + ",creat,trunc,wronly"});
    Child source({"/usr/bin/socat", "-u", "OPEN:" + file + ",rdonly",
                  "TCP:127.0.0.1:" + port + ",retry=500,interval=0.002"});
    receiver.Wait();
    const double seconds = SecondsSince(start);
    source.Wait();
    return seconds;
}

// The process's peak resident size in KiB since the last reset.
long PeakKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Starts a new peak from the present resident size; false when the system does not allow it.
bool ResetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return clear.good();
}

// One line for bench/report.py: name, zor's figure, the peer's, their ratio, the goal, whether met.
void Report(const char* name, double zorMbps, double peerMbps, double goal) {
    const double ratio = zorMbps / peerMbps;
    std::printf("BENCH\t%s\t%.1f MB/s\t%.1f MB/s\t%.2f\t>=%g\t%s\n", name, zorMbps, peerMbps, ratio, goal,
                ratio >= goal ? "yes" : "no");
}

double Best(int runs, const std::function<double()>& f) {
    double best = 1e9;
    for (int i = 0; i < runs; ++i) best = std::min(best, f());
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int runs = 3;
    char pattern[] = "/tmp/zor-bench-transfer-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    const std::string big = folder + "/big", small = folder + "/small", target = folder + "/received";
    MakeFile(big, mib);
    MakeFile(small, 1);
    const size_t bytes = mib << 20;
    const double mb = static_cast<double>(bytes) / 1e6;

    Host h;
    ZorSend(h, small, 1 << 20);  // warm-up
    const double zor = Best(runs, [&] { return ZorSend(h, big, bytes); });
    const double python = Best(runs, [&] { return PythonSend(big, bytes); });
    const double socat = Best(runs, [&] { return SocatSend(big, bytes); });
    std::printf("TcpSendFile %zu MiB over loopback (best of %d):\n", mib, runs);
    std::printf("  TcpSendFile           %8.1f MB/s\n", mb / zor);
    std::printf("  python3 send(1024)    %8.1f MB/s   ratio %.2f (goal: at least 0.8)\n", mb / python, python / zor);
    std::printf("  socat -b1024          %8.1f MB/s   ratio %.2f (goal: at least 2)\n", mb / socat, socat / zor);
    Report("TcpSendFile vs python3 send(1024)", mb / zor, mb / python, 0.8);
    Report("TcpSendFile vs socat -b1024", mb / zor, mb / socat, 2.0);

    const double zorIn = Best(runs, [&] { return ZorReceive(h, big, target); });
    const bool whole = std::filesystem::file_size(target) == bytes;
    const double socatIn = Best(runs, [&] { return SocatReceive(big, target); });
    std::printf("TcpReceiveFile %zu MiB from a socat source (best of %d)%s:\n", mib, runs, whole ? "" : " (FILE SHORT!)");
    std::printf("  TcpReceiveFile        %8.1f MB/s\n", mb / zorIn);
    std::printf("  socat TCP-LISTEN OPEN %8.1f MB/s   ratio %.2f (goal: at least 0.8)\n", mb / socatIn, socatIn / zorIn);
    Report("TcpReceiveFile vs socat TCP-LISTEN OPEN", mb / zorIn, mb / socatIn, 0.8);

    // The small transfer first: without a reset the second figure is the peak of the whole run.
    const bool reset = ResetPeak();
    ZorSend(h, small, 1 << 20);
    ZorReceive(h, small, target);
    const long peakSmall = PeakKib();
    ResetPeak();
    ZorSend(h, big, bytes);
    ZorReceive(h, big, target);
    const long peakBig = PeakKib();
    std::printf("Peak resident memory%s: %ld KiB for 1 MiB, %ld KiB for %zu MiB: %+ld KiB (goal: within 4096)\n",
                reset ? "" : " (no peak reset here: whole-run peaks)", peakSmall, peakBig, mib, peakBig - peakSmall);
    std::printf("BENCH\tTcpSendFile+TcpReceiveFile peak memory, %zu MiB vs 1 MiB\t%ld KiB\t%ld KiB\t%+ld KiB\t<=4096 KiB\t%s\n",
                mib, peakBig, peakSmall, peakBig - peakSmall, peakBig - peakSmall <= 4096 ? "yes" : "no");

    std::filesystem::remove_all(folder);
    return 0;
}
