// macfile.cpp: MacBinary and BinHex throughput on a 64 MiB data fork with a 1 MiB resource fork,
// against the peers on the same files in the same run (macutils binhex and hexbin, hfsutils hcopy,
// unar, cat), and the peak memory of a conversion for 1 MiB and for 64 MiB.
//
// Usage: bench_macfile [folder]   (default /tmp; the figures depend on the folder's file system)
//        bench_macfile --one SELECTOR FROM TO   (one command, for a profiler)
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "support/plugin_host.h"

namespace {

using zor::test::PluginHost;
using zor::test::Str255;

std::string g_dir;

std::string In(const std::string& leaf) { return g_dir + "/" + leaf; }

int Sh(const std::string& command) {
    const std::string full = "export HOME='" + g_dir + "'; cd '" + g_dir + "' && ( " + command + " ) >/dev/null 2>&1";
    return std::system(full.c_str());
}

// Seconds of one run: on the wall clock, and of processor time (this process and its children,
// user and system), which a machine shared with other work disturbs less.
struct Measure {
    double wall = -1;
    double cpu = -1;
};

double CpuSeconds() {
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        struct rusage u;
        getrusage(who, &u);
        total += double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

// Best of three runs.
Measure Time(const std::function<bool()>& run) {
    Measure best{1e9, 1e9};
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = CpuSeconds();
        if (!run()) {
            std::printf("    (a run failed)\n");
            return Measure{};
        }
        best.cpu = std::min(best.cpu, CpuSeconds() - cpuStart);
        best.wall = std::min(best.wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

int32_t Command(PluginHost& host, int32_t selector, const std::string& from, const std::string& to) {
    Str255 a(from), b(to), c("");
    if (selector == 18 || selector == 20) return host.CallInt(selector, {a.bytes, b.bytes, c.bytes});
    return host.CallInt(selector, {a.bytes, b.bytes});
}

void MakeSource(const std::string& leaf, size_t dataSize, size_t rsrcSize) {
    std::string bytes(dataSize, '\0');
    uint32_t x = 12345;
    for (char& c : bytes) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 16);
    }
    FILE* f = std::fopen(In(leaf).c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    Str255 name(In(leaf));
    HostFinderInfo info{};
    (void)HostGetFinderInfo(name.bytes, 0, &info);
    info.type = HostResourceType("BIGF");
    info.creator = HostResourceType("ZORx");
    (void)HostSetFinderInfo(name.bytes, 0, &info);
    HostForkRef fork = 0;
    if (HostOpenResourceFork(name.bytes, 0, &fork) == 0) {
        int32_t count = static_cast<int32_t>(rsrcSize);
        (void)HostWriteFork(fork, &count, bytes.data());
        (void)HostCloseFork(fork);
    }
}

// Peak resident memory of one conversion, in KiB, measured in a child process.
long PeakOf(int32_t selector, const std::string& from, const std::string& to) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        PluginHost host;
        (void)Command(host, selector, from, to);
        struct rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        long peak = usage.ru_maxrss;
        (void)!write(fds[1], &peak, sizeof peak);
        _exit(0);
    }
    close(fds[1]);
    long peak = -1;
    (void)!read(fds[0], &peak, sizeof peak);
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return peak;
}

void Row(const char* what, Measure m, double megabytes) {
    if (m.wall <= 0) {
        std::printf("  %-44s   failed\n", what);
        return;
    }
    std::printf("  %-44s %7.3f s %8.1f MB/s   cpu %7.3f s %8.1f MB/s\n", what, m.wall, megabytes / m.wall, m.cpu,
                m.cpu > 0 ? megabytes / m.cpu : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--one") {
        // One command on given files, for profiling: bench_macfile --one SELECTOR FROM TO
        PluginHost host;
        return Command(host, std::atoi(argv[2]), argv[3], argv[4]) == 0 ? 0 : 1;
    }
    const std::string base = argc > 1 ? argv[1] : "/tmp";
    std::string pattern = base + "/zor-bench-macfile-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return 1;
    g_dir = pattern;
    PluginHost host;
    const double mb = 65.0 * 1048576 / 1e6;  // the 64 MiB data fork and the 1 MiB resource fork
    MakeSource("big", 64u << 20, 1u << 20);
    MakeSource("small", 1u << 20, 16u << 10);
    std::printf("Macintosh files, 64 MiB data fork + 1 MiB resource fork, in %s (best of 3)\n", base.c_str());

    // Everything the peers need, made once.
    if (Command(host, 17, In("big"), In("big.bin")) != 0 || Command(host, 19, In("big"), In("big.hqx")) != 0) {
        std::printf("zor could not encode the source\n");
        return 1;
    }
    const bool haveHfs = Sh("dd if=/dev/zero of=disk.img bs=1M count=300 && hformat -l Bench disk.img && "
                            "hcopy -m big.bin :big") == 0;

    std::printf("\nBinHex encoding\n");
    const Measure zorBinHexEncode = Time([&] { return Command(host, 19, In("big"), In("z.hqx")) == 0; });
    const Measure muBinhex = Time([&] { return Sh("binhex big.bin > mu.hqx") == 0; });
    const Measure hcopyBinhexOut = haveHfs ? Time([&] { return Sh("hcopy -b :big hc.hqx") == 0; }) : Measure{};
    Row("zor BinHexEncode", zorBinHexEncode, mb);
    Row("macutils binhex (from MacBinary)", muBinhex, mb);
    Row("hfsutils hcopy -b (out of an HFS image)", hcopyBinhexOut, mb);

    std::printf("\nBinHex decoding\n");
    const Measure zorBinHexDecode = Time([&] { return Command(host, 20, In("big.hqx"), In("z.out")) == 0; });
    const Measure muHexbin = Time([&] { return Sh("hexbin -3 -n hb big.hqx") == 0; });
    const Measure hcopyBinhexIn =
        haveHfs ? Time([&] { return Sh("hdel :in 2>/dev/null; hcopy -b big.hqx :in") == 0; }) : Measure{};
    Row("zor BinHexDecode", zorBinHexDecode, mb);
    Row("macutils hexbin -3", muHexbin, mb);
    Row("hfsutils hcopy -b (into an HFS image)", hcopyBinhexIn, mb);

    std::printf("\nMacBinary encoding\n");
    const Measure catTime = Time([&] { return Sh("cat big.bin > cat.out") == 0; });
    const Measure zorMacBinaryEncode = Time([&] { return Command(host, 17, In("big"), In("z.bin")) == 0; });
    const Measure hcopyMacOut = haveHfs ? Time([&] { return Sh("hcopy -m :big hc.bin") == 0; }) : Measure{};
    Row("cat of the same bytes", catTime, mb);
    Row("zor MacBinaryEncode", zorMacBinaryEncode, mb);
    Row("hfsutils hcopy -m (out of an HFS image)", hcopyMacOut, mb);

    std::printf("\nMacBinary decoding\n");
    HostSetDurableFlush(true);
    const Measure zorMacBinaryDecodeDurable = Time([&] { return Command(host, 18, In("big.bin"), In("m.out")) == 0; });
    HostSetDurableFlush(false);
    const Measure zorMacBinaryDecode = Time([&] { return Command(host, 18, In("big.bin"), In("m.out")) == 0; });
    HostSetDurableFlush(true);
    const Measure ddSync = Time([&] { return Sh("dd if=big.bin of=dd.out bs=1M conv=fsync") == 0; });
    const Measure unarTime = Time([&] { return Sh("rm -rf u && mkdir u && cd u && unar -q -k hidden ../big.bin") == 0; });
    const Measure hcopyMacIn = haveHfs ? Time([&] { return Sh("hdel :in2 2>/dev/null; hcopy -m big.bin :in2") == 0; }) : Measure{};
    Row("cat of the same bytes", catTime, mb);
    Row("zor MacBinaryDecode (flush does not wait)", zorMacBinaryDecode, mb);
    Row("dd conv=fsync of the same bytes", ddSync, mb);
    Row("zor MacBinaryDecode (flush waits: fsync)", zorMacBinaryDecodeDurable, mb);
    Row("unar -k hidden", unarTime, mb);
    Row("hfsutils hcopy -m (into an HFS image)", hcopyMacIn, mb);

    // Ratios of throughput (zor over the peer) on the wall clock and on processor time.
    auto ratio = [](Measure peer, Measure ours) {
        char text[64];
        if (ours.wall <= 0 || peer.wall <= 0) return std::string("  n/a");
        std::snprintf(text, sizeof text, "wall %6.2f   cpu %6.2f", peer.wall / ours.wall,
                      ours.cpu > 0 ? peer.cpu / ours.cpu : 0.0);
        return std::string(text);
    };
    auto fastest = [](std::initializer_list<Measure> all) {
        Measure best{1e9, 1e9};
        for (const Measure& m : all)
            if (m.wall > 0) {
                best.wall = std::min(best.wall, m.wall);
                best.cpu = std::min(best.cpu, m.cpu);
            }
        return best;
    };
    const Measure encodePeer = fastest({muBinhex, hcopyBinhexOut});
    const Measure decodePeer = fastest({muHexbin, hcopyBinhexIn});
    std::printf("\nRatios (throughput of zor / throughput of the peer)\n");
    std::printf("  BinHexEncode / fastest peer encoder        %s  (goal 3)\n", ratio(encodePeer, zorBinHexEncode).c_str());
    std::printf("  BinHexDecode / fastest peer decoder        %s  (goal 3)\n", ratio(decodePeer, zorBinHexDecode).c_str());
    std::printf("  MacBinaryEncode / cat                      %s  (goal 0.67)\n", ratio(catTime, zorMacBinaryEncode).c_str());
    std::printf("  MacBinaryEncode / hcopy -m                 %s  (goal > 1)\n", ratio(hcopyMacOut, zorMacBinaryEncode).c_str());
    std::printf("  MacBinaryDecode / cat                      %s  (goal 0.67)\n", ratio(catTime, zorMacBinaryDecode).c_str());
    std::printf("  MacBinaryDecode, waiting / dd conv=fsync   %s\n", ratio(ddSync, zorMacBinaryDecodeDurable).c_str());
    std::printf("  MacBinaryDecode / unar                     %s  (goal > 1)\n", ratio(unarTime, zorMacBinaryDecode).c_str());
    std::printf("  MacBinaryDecode / hcopy -m                 %s  (goal > 1)\n", ratio(hcopyMacIn, zorMacBinaryDecode).c_str());

    // One line per goal for bench/report.py, on processor time (the machine is shared).
    auto bench = [&](const char* name, Measure ours, Measure peer, double goal, bool above) {
        if (ours.cpu <= 0 || peer.cpu <= 0) return;
        const double r = peer.cpu / ours.cpu;
        std::printf("BENCH\t%s\t%.0f MB/s\t%.0f MB/s\t%.2f\t%s%.2f\t%s\n", name, mb / ours.cpu, mb / peer.cpu, r,
                    above ? ">" : ">=", goal, (above ? r > goal : r >= goal) ? "yes" : "no");
    };
    bench("BinHexEncode vs fastest of binhex, hcopy -b (cpu)", zorBinHexEncode, encodePeer, 3, false);
    bench("BinHexDecode vs fastest of hexbin, hcopy -b (cpu)", zorBinHexDecode, decodePeer, 3, false);
    bench("MacBinaryEncode vs cat (cpu)", zorMacBinaryEncode, catTime, 0.67, false);
    bench("MacBinaryEncode vs hcopy -m (cpu)", zorMacBinaryEncode, hcopyMacOut, 1, true);
    bench("MacBinaryDecode vs cat (cpu)", zorMacBinaryDecode, catTime, 0.67, false);
    bench("MacBinaryDecode vs unar (cpu)", zorMacBinaryDecode, unarTime, 1, true);
    bench("MacBinaryDecode vs hcopy -m (cpu)", zorMacBinaryDecode, hcopyMacIn, 1, true);

    std::printf("\nPeak memory of one conversion (KiB, whole process)\n");
    (void)Command(host, 17, In("small"), In("small.bin"));
    (void)Command(host, 19, In("small"), In("small.hqx"));
    const struct {
        const char* name;
        int32_t selector;
        const char *small, *big;
    } peaks[] = {{"MacBinaryEncode", 17, "small", "big"},
                 {"MacBinaryDecode", 18, "small.bin", "big.bin"},
                 {"BinHexEncode", 19, "small", "big"},
                 {"BinHexDecode", 20, "small.hqx", "big.hqx"}};
    for (const auto& p : peaks) {
        const long small = PeakOf(p.selector, In(p.small), In("peak.out"));
        const long big = PeakOf(p.selector, In(p.big), In("peak.out"));
        std::printf("  %-16s 1 MiB %7ld   64 MiB %7ld   difference %5ld KiB (goal <= 4096)\n", p.name, small, big,
                    big - small);
        std::printf("BENCH\t%s peak memory, 64 MiB over 1 MiB\t%ld KiB\t%ld KiB\t%+ld KiB\t<=4096 KiB more\t%s\n",
                    p.name, big, small, big - small, big - small <= 4096 ? "yes" : "no");
    }
    Sh("rm -rf '" + g_dir + "'");
    return 0;
}
