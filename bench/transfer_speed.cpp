// transfer_speed.cpp: file and text transfers at the speed of the machine, whole processes on both
// sides: zor-host running a script against a small C program doing the same with the system's
// fastest calls, each pair in the same run, medians. The C programs are this program run again in a
// role (argv[1]).
//
//   TcpSendFile of a file into a C reader        vs  C sendfile() of the file into the same reader
//   TcpSend of 32,000-byte texts into the reader vs  the same C sendfile()
//   TcpReceiveFile from a C sendfile() sender    vs  a C recv+write loop with 64 KiB buffers
//   300 keep-alive requests answered with the head by TcpSend and the body by TcpSendFile vs one
//   TcpSend of both (the longest request shows any delayed-acknowledgement stall)
//   examples/http_get.zor fetching 100 MiB from python3 -m http.server vs curl (wall time)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

[[noreturn]] void Die(const char* what) {
    std::perror(what);
    std::exit(2);
}

// ---- The C roles -----------------------------------------------------------------------------------

int Listener(int& port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), n) != 0 || listen(s, 4) != 0) Die("listen");
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
    return s;
}

int Connect(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Die("connect");
    return s;
}

// reader: listens, prints its port, takes one connection, reads it to the end in 64 KiB reads and
// prints the count.
int Reader() {
    int port = 0;
    const int l = Listener(port);
    std::printf("%d\n", port);
    std::fflush(stdout);
    const int c = accept(l, nullptr, nullptr);
    std::vector<char> buffer(64 << 10);
    long long total = 0;
    for (;;) {
        const ssize_t n = recv(c, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        total += n;
    }
    std::printf("%lld\n", total);
    return 0;
}

// Sends a whole file with sendfile() on a blocking socket.
void SendWhole(int s, const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) Die("open");
    off_t at = 0;
    while (at < st.st_size)
        if (sendfile(s, fd, &at, static_cast<size_t>(st.st_size - at)) <= 0) Die("sendfile");
    close(fd);
}

// sendfile PORT FILE: connects and sends the file.
int SendfileTo(int port, const char* path) {
    const int s = Connect(port);
    SendWhole(s, path);
    close(s);
    return 0;
}

// serve FILE: listens, prints its port, takes one connection and sends the file with sendfile().
int Serve(const char* path) {
    int port = 0;
    const int l = Listener(port);
    std::printf("%d\n", port);
    std::fflush(stdout);
    const int c = accept(l, nullptr, nullptr);
    SendWhole(c, path);
    close(c);
    return 0;
}

// receive PORT FILE: connects, writes what comes to the file in 64 KiB recv + write passes.
int ReceiveTo(int port, const char* path) {
    const int s = Connect(port);
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Die("open");
    std::vector<char> buffer(64 << 10);
    for (;;) {
        const ssize_t n = recv(s, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        if (write(fd, buffer.data(), static_cast<size_t>(n)) != n) Die("write");
    }
    close(fd);
    close(s);
    return 0;
}

// client PORT REQUESTS BODY: sends one-line requests on one connection; each answer is a head that
// ends with an empty line, then BODY bytes. Prints the longest request's seconds.
int Client(int port, int requests, long body) {
    const int s = Connect(port);
    const int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::vector<char> buffer(1 << 16);
    double longest = 0;
    for (int i = 0; i < requests; ++i) {
        const auto start = Clock::now();
        if (send(s, "GET /\n", 6, 0) != 6) Die("send");
        std::string got;
        size_t need = std::string::npos;
        while (need == std::string::npos || got.size() < need) {
            const ssize_t n = recv(s, buffer.data(), buffer.size(), 0);
            if (n <= 0) Die("recv");
            got.append(buffer.data(), static_cast<size_t>(n));
            const size_t end = got.find("\r\n\r\n");
            if (end != std::string::npos) need = end + 4 + static_cast<size_t>(body);
        }
        longest = std::max(longest, SecondsSince(start));
    }
    close(s);
    std::printf("%.6f\n", longest);
    return 0;
}

// ---- Running the pairs -----------------------------------------------------------------------------

// A child with its standard output on a pipe.
struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;
    explicit Child(const std::vector<std::string>& argv) {
        int o[2];
        if (pipe2(o, O_CLOEXEC) != 0) Die("pipe");
        pid = fork();
        if (pid == 0) {
            dup2(o[1], 1);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(o[1]);
        out = fdopen(o[0], "r");
    }
    std::string Line() {
        char line[256] = "";
        if (std::fgets(line, sizeof line, out) == nullptr) return "";
        line[std::strcspn(line, "\n")] = '\0';
        return line;
    }
    int Wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        std::fclose(out);
        return status;
    }
};

std::string g_self;    // this program, for the C roles
std::string g_host;    // zor-host
std::string g_folder;  // scripts and files

std::string Script(const std::string& name, const std::string& text) {
    const std::string path = g_folder + "/" + name;
    std::ofstream(path) << text;
    return path;
}

// Seconds from the sender's start until the reader has counted every byte.
double IntoReader(const std::vector<std::string>& sender, long long bytes) {
    Child reader({g_self, "reader"});
    const std::string port = reader.Line();
    std::vector<std::string> argv = sender;
    argv.push_back(port);
    const auto start = Clock::now();
    Child s(argv);
    const std::string count = reader.Line();
    const double seconds = SecondsSince(start);
    s.Wait();
    reader.Wait();
    if (std::atoll(count.c_str()) != bytes) std::printf("  (the reader counted %s bytes of %lld)\n", count.c_str(), bytes);
    return seconds;
}

// Seconds from the receiver's start until it has written the whole file.
double FromServer(const std::string& file, const std::vector<std::string>& receiver, const std::string& target) {
    Child server({g_self, "serve", file});
    std::vector<std::string> argv = receiver;
    argv.push_back(server.Line());
    const auto start = Clock::now();
    Child r(argv);
    r.Wait();
    const double seconds = SecondsSince(start);
    server.Wait();
    if (std::filesystem::file_size(target) != std::filesystem::file_size(file)) std::printf("  (the file came short)\n");
    return seconds;
}

// Seconds for the client's requests against a zor-host server script; the longest request through `longest`.
double Requests(const std::string& script, const std::string& body, int requests, double& longest) {
    Child server({g_host, script, std::to_string(requests), body});
    const std::string port = server.Line();
    const auto start = Clock::now();
    Child client({g_self, "client", port, std::to_string(requests), std::to_string(std::filesystem::file_size(body))});
    longest = std::atof(client.Line().c_str());
    client.Wait();
    const double seconds = SecondsSince(start);
    server.Wait();
    return seconds;
}

// Seconds a command takes from start to exit; negative when it failed.
double Timed(const std::vector<std::string>& argv) {
    const auto start = Clock::now();
    Child c(argv);
    while (!c.Line().empty()) {
    }
    const int status = c.Wait();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? SecondsSince(start) : -1;
}

// python3's HTTP server on 127.0.0.1 serving `folder` until destroyed: the server and handler that
// python3 -m http.server runs, without its line on every request.
struct HttpServer {
    Child server;
    int port = 0;
    explicit HttpServer(const std::string& folder)
        : server({"/usr/bin/python3", "-c",
                  "import functools, http.server as h, sys\n"
                  "class Quiet(h.SimpleHTTPRequestHandler):\n"
                  "    def log_message(self, *a): pass\n"
                  "s = h.ThreadingHTTPServer(('127.0.0.1', 0), functools.partial(Quiet, directory=sys.argv[1]))\n"
                  "print(s.server_address[1], flush=True)\n"
                  "s.serve_forever()\n",
                  folder}) {
        port = std::atoi(server.Line().c_str());
    }
    ~HttpServer() {
        kill(server.pid, SIGTERM);
        server.Wait();
    }
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Report(const std::string& name, double zor, double peer, const char* unit, double goal) {
    const double ratio = zor / peer;
    std::printf("BENCH\t%s\t%.1f %s\t%.1f %s\t%.2f\t>=%g\t%s\n", name.c_str(), zor, unit, peer, unit, ratio, goal,
                ratio >= goal ? "yes" : "no");
}

// examples/http_get.zor against curl, fetching 100 MiB over plain HTTP from python3's server, turn
// about; both write the body to a file.
void HttpGet(int runs) {
    const std::string web = g_folder + "/web", got = g_folder + "/got";
    std::filesystem::create_directory(web);
    const long long size = 100ll << 20;
    {
        std::ofstream out(web + "/big.bin", std::ios::binary);
        std::string block(1 << 20, '\0');
        uint32_t x = 88172645u;
        for (long long m = 0; m < size >> 20; ++m) {
            for (char& c : block) {
                x ^= x << 13, x ^= x >> 17, x ^= x << 5;
                c = static_cast<char>(x);
            }
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    HttpServer server(web);
    if (server.port == 0) {
        std::printf("  (python3's HTTP server did not start)\n");
        return;
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/big.bin";
    std::vector<double> zor, curl;
    bool whole = true;
    for (int i = 0; i < runs; ++i) {
        std::filesystem::remove(got);
        zor.push_back(Timed({g_host, ZOR_SOURCE_DIR "/examples/http_get.zor", url, got}));
        whole = whole && std::filesystem::exists(got) && static_cast<long long>(std::filesystem::file_size(got)) == size;
        std::filesystem::remove(got);
        curl.push_back(Timed({"/usr/bin/curl", "-s", "-o", got, url}));
    }
    const double z = Median(zor), c = Median(curl);
    if (!whole || z <= 0 || c <= 0) std::printf("  (a fetch failed or came short)\n");
    std::printf("100 MiB over HTTP from python3 -m http.server: http_get.zor %.2f s, curl %.2f s (median of %d)\n", z, c, runs);
    std::printf("BENCH\t100 MiB over HTTP: http_get.zor vs curl (wall time)\t%.2f s\t%.2f s\t%.2f\t>=0.8\t%s\n", z, c, c / z,
                whole && z > 0 && c > 0 && c / z >= 0.8 ? "yes" : "no");
}

int Bench(long mib, int runs) {
    char pattern[] = "/dev/shm/zor-bench-speed-XXXXXX";
    if (mkdtemp(pattern) == nullptr) Die("mkdtemp");
    g_folder = pattern;
    const std::string file = g_folder + "/file", target = g_folder + "/received", body = g_folder + "/body";
    const long long bytes = static_cast<long long>(mib) << 20;
    {
        std::ofstream out(file, std::ios::binary);
        std::string block(1 << 20, '\0');
        uint32_t x = 2463534242u;
        for (long m = 0; m < mib; ++m) {
            for (char& c : block) {
                x ^= x << 13, x ^= x >> 17, x ^= x << 5;
                c = static_cast<char>(x);
            }
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
        std::ofstream(body, std::ios::binary) << std::string(1200, 'b');
    }
    const std::string sendFile = Script("send_file.zor",
        "$s := TcpOpen(\"127.0.0.1\"; Num(Argument(2)); 32767; 0; 0; 0; 0)\n"
        "$r := TcpWaitState($s; 8; 10)\n"
        "TcpSendFile($s; Argument(1); 0; 16384; 0; 0)\n"
        "$r := TcpClose($s)\n");
    const std::string sendTexts = Script("send_texts.zor",
        "$s := TcpOpen(\"127.0.0.1\"; Num(Argument(2)); 32767; 0; 0; 0; 0)\n"
        "$r := TcpWaitState($s; 8; 10)\n"
        "$t := \"0123456789abcdef\"\n"
        "For ($i; 1; 10)\n  $t := $t + $t\nEnd for\n"
        "$t := $t + Substring($t; 1; 32000 - 16384)\n"
        "$left := Num(Argument(1))\n"
        "While ($left > 0)\n"
        "  If ($left < 32000)\n    $t := Substring($t; 1; $left)\n  End if\n"
        "  $r := TcpSend($s; $t; 0; 0)\n"
        "  $left := $left - length($t)\n"
        "End while\n"
        "$r := TcpClose($s)\n");
    const std::string receiveFile = Script("receive_file.zor",
        "$s := TcpOpen(\"127.0.0.1\"; Num(Argument(2)); 32767; 0; 0; 0; 0)\n"
        "$r := TcpWaitState($s; 8; 10)\n"
        "TcpReceiveFile($s; Argument(1); 0; 0; 30)\n");
    // A keep-alive server: each request (one line) is answered with a head, then the body file.
    const std::string serverHead =
        "$l := TcpListen(0; 0; 0; 32767; 0; 0; 2130706433)\n"
        "$a := 0\n$port := 0\n$me := 0\n$x := 0\n$pp := 0\n"
        "$r := TcpStreamInfo($l; $a; $pp; $port; $x; $me)\n"
        "print($port)\n"
        "$r := TcpWaitState($l; 8; 10)\n"
        "$body := ReadFile(Argument(2); True)\n"
        "$head := \"HTTP/1.1 200 OK\\r\\nContent-Length: \" + String(length($body)) + \"\\r\\n\\r\\n\"\n"
        "$request := \"\"\n"
        "For ($i; 1; Num(Argument(1)))\n"
        "  Repeat\n    $got := TcpReceive($l; $request; 0; 0)\n  Until ($got # 0)\n";
    const std::string twoSends = Script("two_sends.zor", serverHead +
        "  $r := TcpSend($l; $head; 0; 0)\n"
        "  TcpSendFile($l; Argument(2); 0; 0; 0; 0)\n"
        "End for\n$r := TcpClose($l)\n");
    const std::string oneSend = Script("one_send.zor", serverHead +
        "  $r := TcpSend($l; $head + $body; 0; 0)\n"
        "End for\n$r := TcpClose($l)\n");

    std::vector<double> zorFile, zorTexts, cSend, zorIn, cIn, two, one;
    double longestTwo = 0, longestOne = 0;
    const std::string size = std::to_string(bytes);
    for (int i = 0; i < runs; ++i) {
        cSend.push_back(IntoReader({g_self, "sendfile", file}, bytes));
        zorFile.push_back(IntoReader({g_host, sendFile, file}, bytes));
        zorTexts.push_back(IntoReader({g_host, sendTexts, size}, bytes));
        cIn.push_back(FromServer(file, {g_self, "receive", target}, target));
        zorIn.push_back(FromServer(file, {g_host, receiveFile, target}, target));
        double longest = 0;
        two.push_back(Requests(twoSends, body, 300, longest));
        longestTwo = std::max(longestTwo, longest);
        one.push_back(Requests(oneSend, body, 300, longest));
        longestOne = std::max(longestOne, longest);
    }
    const double mb = static_cast<double>(bytes) / 1e6;
    const double file1 = mb / Median(zorFile), texts = mb / Median(zorTexts), c = mb / Median(cSend);
    const double in = mb / Median(zorIn), cin = mb / Median(cIn);
    std::printf("%ld MiB over loopback, whole processes, median of %d runs:\n", mib, runs);
    std::printf("  C sendfile() -> C reader             %8.1f MB/s\n", c);
    std::printf("  TcpSendFile (16 KiB chunks) -> reader %8.1f MB/s  ratio %.2f\n", file1, file1 / c);
    std::printf("  TcpSend 32,000-byte texts -> reader  %8.1f MB/s  ratio %.2f\n", texts, texts / c);
    std::printf("  C sendfile() -> C recv+write 64 KiB  %8.1f MB/s\n", cin);
    std::printf("  C sendfile() -> TcpReceiveFile       %8.1f MB/s  ratio %.2f\n", in, in / cin);
    std::printf("300 keep-alive requests: head by TcpSend + body by TcpSendFile %.3f s (longest %.1f ms), "
                "one TcpSend of both %.3f s (longest %.1f ms)\n",
                Median(two), longestTwo * 1e3, Median(one), longestOne * 1e3);
    Report("TcpSendFile 256 MiB (16 KiB chunks) vs C sendfile(), processes", file1, c, "MB/s", 0.7);
    Report("TcpSend 32000-byte texts vs C sendfile(), processes", texts, c, "MB/s", 0.7);
    Report("TcpReceiveFile from C sendfile() vs C recv+write 64 KiB, processes", in, cin, "MB/s", 0.7);
    // Time ratio: the one-send form's time over the two-send form's (1 = as fast).
    std::printf("BENCH\t300 keep-alive requests, head TcpSend + body TcpSendFile vs one TcpSend (longest %.1f ms)\t%.3f s\t%.3f s\t%.2f\t>=0.5\t%s\n",
                longestTwo * 1e3, Median(two), Median(one), Median(one) / Median(two),
                Median(one) / Median(two) >= 0.5 && longestTwo < 0.030 ? "yes" : "no");
    HttpGet(runs);
    std::filesystem::remove_all(g_folder);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    g_self = "/proc/self/exe";
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) g_self.assign(self, static_cast<size_t>(n));
    const std::string role = argc > 1 ? argv[1] : "";
    if (role == "reader") return Reader();
    if (role == "sendfile" && argc > 3) return SendfileTo(std::atoi(argv[3]), argv[2]);
    if (role == "serve" && argc > 2) return Serve(argv[2]);
    if (role == "receive" && argc > 3) return ReceiveTo(std::atoi(argv[3]), argv[2]);
    if (role == "client" && argc > 4) return Client(std::atoi(argv[2]), std::atoi(argv[3]), std::atol(argv[4]));
    g_host = ZOR_BUILD_DIR "/zor-host";
    const long mib = argc > 1 ? std::atol(argv[1]) : 256;
    return Bench(mib > 0 ? mib : 256, argc > 2 ? std::atoi(argv[2]) : 5);
}
