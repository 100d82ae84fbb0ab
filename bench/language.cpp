// language.cpp: the host language's speed. A loop of 10,000,000 iterations (a comparison, an integer
// add and an array element write) run by zor-host against the same loop run by python3, each as a
// process measured by its processor time; and what a script pays per plug-in call (StreamList(0) in a
// For loop, start-up subtracted) over a direct C call of RozoZIvav.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "cpu_time.h"
#include "support/plugin_host.h"

namespace {

const char kLoopScript[] =
    "ArrayInteger($a; 1000)\n"
    "$i := 0\n"
    "While ($i < 10000000)\n"
    "  $a{$i % 1000 + 1} := $i + 1\n"
    "  $i := $i + 1\n"
    "End while\n"
    "print($a{1000})\n";

const char kLoopPython[] =
    "a = [0] * 1000\n"
    "i = 0\n"
    "while i < 10000000:\n"
    "    a[i % 1000] = i + 1\n"
    "    i += 1\n"
    "print(a[999])\n";

constexpr int kCalls = 5'000'000;

// Runs a program to its end with its output discarded; gives its processor time in seconds (best of 3).
double ChildCpuSeconds(const std::vector<std::string>& argv) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "language: %s failed\n", argv[0].c_str());
            std::exit(1);
        }
        const double seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
        if (seconds < best) best = seconds;
    }
    return best;
}

std::string Write(const std::string& folder, const std::string& name, const std::string& text) {
    const std::string path = folder + "/" + name;
    std::ofstream(path) << text;
    return path;
}

}  // namespace

int main() {
    char folder[] = "/tmp/zor-bench-language-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 1;
    const std::string host = ZOR_BUILD_DIR "/zor-host";
    const std::string loopScript = Write(folder, "loop.zor", kLoopScript);
    const std::string loopPython = Write(folder, "loop.py", kLoopPython);
    const std::string calls = Write(folder, "calls.zor",
                                    "For ($i; 1; " + std::to_string(kCalls) + ")\n  $n := StreamList(0)\nEnd for\n");
    const std::string empty = Write(folder, "empty.zor", "");

    const double zorLoop = ChildCpuSeconds({host, loopScript});
    const double pythonLoop = ChildCpuSeconds({"/usr/bin/python3", loopPython});
    const double speed = pythonLoop / zorLoop;
    std::printf("10,000,000-iteration loop: zor-host %.3f s, python3 %.3f s of processor time: %.2fx python3 "
                "(goal: at least 1.0x)\n", zorLoop, pythonLoop, speed);
    std::printf("BENCH\tscript loop (compare, add, array write) x 10M vs python3\t%.3f s\t%.3f s\t%.2f\t>=1\t%s\n",
                zorLoop, pythonLoop, speed, speed >= 1.0 ? "yes" : "no");

    // The direct C call, in this process, measured the same way (processor time).
    zor::test::PluginHost plugin;
    int32_t n = 0;
    void* params[] = {&n};
    void* slot = nullptr;
    double start = zor::bench::CpuSeconds();
    for (int i = 0; i < kCalls; ++i) plugin.entry(52, params, &plugin.globals, &slot);
    const double directNs = zor::bench::CpuSecondsSince(start) / kCalls * 1e9;
    const double scriptNs = (ChildCpuSeconds({host, calls}) - ChildCpuSeconds({host, empty})) / kCalls * 1e9;
    const double overheadNs = scriptNs - directNs;
    std::printf("StreamList(0): %.1f ns a call from a script's For loop, %.1f ns a direct C call: %.1f ns over "
                "(goal: at most 150)\n", scriptNs, directNs, overheadNs);
    std::printf("BENCH\tscript's cost per plug-in call over a direct C call\t%.1f ns\t150 ns (goal; direct %.1f ns)\t%.2f\t<=1\t%s\n",
                overheadNs, directNs, overheadNs / 150.0, overheadNs <= 150.0 ? "yes" : "no");
    for (const std::string& f : {loopScript, loopPython, calls, empty}) unlink(f.c_str());
    rmdir(folder);
    return 0;
}
