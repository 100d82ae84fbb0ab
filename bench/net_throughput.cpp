// net_throughput.cpp: loopback throughput of TcpSend (32000-byte texts, push 0) into a socat sink
// and of TcpReceive (no maximum) from a socat source, against socat -b1024 moving the same bytes
// from a file into a socat sink in the same run.
#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "net_bench.h"

using namespace zor::bench;

namespace {

constexpr int64_t kBytes = 64 << 20;   // moved by every run
constexpr int kRuns = 3;               // the best of these counts

std::vector<std::string> Sink(int port) {
    return {"socat", "-u", "-b1024", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr", "STDOUT"};
}

// Opens a stream to a port where a peer is about to listen.
int32_t ConnectWhenListening(PluginHost& host, int port) {
    for (int attempt = 0; attempt < 500; ++attempt) {
        const int32_t ref = TcpOpen(host, port, 32767);
        if (ref != 0 && TcpWaitState(host, ref, 0, 10) == zor::net::StreamEstablished) return ref;
        if (ref != 0) (void)TcpRelease(host, ref);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return 0;
}

double PeerRun(const std::string& file) {
    const int port = FreePort();
    const pid_t sink = Spawn(Sink(port));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double start = Seconds();
    const pid_t source =
        Spawn({"socat", "-u", "-b1024", "OPEN:" + file, "TCP:127.0.0.1:" + std::to_string(port) + ",retry=50,interval=0.01"});
    Wait(source);
    Wait(sink);
    return kBytes / (Seconds() - start) / 1e6;
}

double SendRun(PluginHost& host) {
    const int port = FreePort();
    const pid_t sink = Spawn(Sink(port));
    const int32_t ref = ConnectWhenListening(host, port);
    if (ref == 0) {
        std::fprintf(stderr, "net_throughput: no connection to the sink\n");
        std::exit(1);
    }
    zor::test::Text text(std::string(32000, 'z'));
    int16_t push = 0;
    int32_t flags = 0, r = 0;
    const double start = Seconds();
    for (int64_t sent = 0; sent < kBytes; sent += 32000) {
        text.block.length = static_cast<int16_t>(std::min<int64_t>(32000, kBytes - sent));
        int32_t refArg = ref;
        r = host.CallInt(7, {&refArg, &text.block, &push, &flags});
        if (r != 0) break;
    }
    (void)TcpClose(host, ref);
    Wait(sink);
    const double seconds = Seconds() - start;
    (void)TcpRelease(host, ref);
    return r == 0 ? kBytes / seconds / 1e6 : 0;
}

double ReceiveRun(PluginHost& host, const std::string& file) {
    const int port = FreePort();
    const int32_t listener = TcpListen(host, port, 32767);
    const double start = Seconds();
    const pid_t source = Spawn({"socat", "-u", "-b1024", "OPEN:" + file, "TCP:127.0.0.1:" + std::to_string(port)});
    if (TcpWaitState(host, listener, 0, 10) != zor::net::StreamEstablished) {
        std::fprintf(stderr, "net_throughput: no connection from the source\n");
        std::exit(1);
    }
    TextBlock text{0, nullptr};
    int16_t maximum = 0;
    int32_t flags = 0, ref = listener;
    int64_t received = 0;
    for (;;) {
        const int32_t r = host.CallInt(8, {&ref, &text, &maximum, &flags});
        if (r > 0) {
            received += r;
        } else if (r < 0 || TcpState(host, ref) >= zor::net::StreamClosed) {
            break;
        } else {
            sched_yield();  // nothing yet: a host would run its event loop here
        }
    }
    const double seconds = Seconds() - start;
    Wait(source);
    if (text.handle != nullptr) HostDisposeHandle(text.handle);
    (void)TcpRelease(host, ref);
    if (received != kBytes) std::fprintf(stderr, "net_throughput: received %lld bytes\n", static_cast<long long>(received));
    return kBytes / seconds / 1e6;
}

}  // namespace

int main() {
    char folder[] = "/dev/shm/zor-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 1;
    const std::string file = std::string(folder) + "/source";
    {
        FILE* f = std::fopen(file.c_str(), "wb");
        std::vector<char> block(1 << 20, 'q');
        for (int64_t n = 0; n < kBytes; n += static_cast<int64_t>(block.size())) std::fwrite(block.data(), 1, block.size(), f);
        std::fclose(f);
    }
    PluginHost host;
    double peer = 0, send = 0, receive = 0;
    for (int i = 0; i < kRuns; ++i) {
        peer = std::max(peer, PeerRun(file));
        send = std::max(send, SendRun(host));
        receive = std::max(receive, ReceiveRun(host, file));
    }
    std::printf("loopback throughput, %lld MB per run, best of %d\n", static_cast<long long>(kBytes >> 20), kRuns);
    std::printf("  socat -b1024 file -> socat sink : %8.1f MB/s\n", peer);
    std::printf("  TcpSend 32000, push 0 -> socat  : %8.1f MB/s  ratio %.2f\n", send, send / peer);
    std::printf("  socat source -> TcpReceive      : %8.1f MB/s  ratio %.2f\n", receive, receive / peer);
    std::printf("BENCH\tTcpSend 32000-byte texts vs socat -b1024\t%.1f MB/s\t%.1f MB/s\t%.2f\t>=0.8\t%s\n", send, peer,
                send / peer, send / peer >= 0.8 ? "yes" : "no");
    std::printf("BENCH\tTcpReceive vs socat -b1024\t%.1f MB/s\t%.1f MB/s\t%.2f\t>=0.8\t%s\n", receive, peer,
                receive / peer, receive / peer >= 0.8 ? "yes" : "no");
    std::remove(file.c_str());
    rmdir(folder);
    return 0;
}
