// language.cpp: the host language's speed. Whole programs written line by line alike in the host
// language, lua5.4 and python3 (a 10,000,000-step loop with an array write, a recursive fib(30)
// through a method, filling and summing 200,000 integers, a shell sort written in the language),
// each run as a process and measured by its processor time (best of 3); the memory an array of
// 1,000,000 integers takes; SortArray against python3's sort() (the sort alone: each program's time
// less that of the same program without its sort line); and what a script pays per plug-in call (StreamList(0) in a For loop,
// start-up subtracted) over a direct C call of RozoZIvav.
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

// One program in the three languages.
struct Program {
    const char* name;    // what the row says
    const char* script;  // the host language
    const char* lua;     // lua5.4
    const char* python;  // python3
};

const Program kPrograms[] = {
    {"loop of 10M: compare, add, array write",
     "ArrayInteger($a; 1000)\n"
     "$i := 0\n"
     "While ($i < 10000000)\n"
     "  $a{$i % 1000 + 1} := $i + 1\n"
     "  $i := $i + 1\n"
     "End while\n"
     "print($a{1000})\n",
     "local a = {}\n"
     "for i = 1, 1000 do a[i] = 0 end\n"
     "local i = 0\n"
     "while i < 10000000 do\n"
     "  a[i % 1000 + 1] = i + 1\n"
     "  i = i + 1\n"
     "end\n"
     "print(a[1000])\n",
     "a = [0] * 1000\n"
     "i = 0\n"
     "while i < 10000000:\n"
     "    a[i % 1000] = i + 1\n"
     "    i += 1\n"
     "print(a[999])\n"},
    {"recursive fib(30) through a method",
     "Method Fib($n)\n"
     "  If ($n < 2)\n"
     "    $0 := $n\n"
     "  Else\n"
     "    $0 := Fib($n - 1) + Fib($n - 2)\n"
     "  End if\n"
     "End method\n"
     "print(Fib(30))\n",
     "local function fib(n)\n"
     "  if n < 2 then\n"
     "    return n\n"
     "  else\n"
     "    return fib(n - 1) + fib(n - 2)\n"
     "  end\n"
     "end\n"
     "print(fib(30))\n",
     "def fib(n):\n"
     "    if n < 2:\n"
     "        return n\n"
     "    else:\n"
     "        return fib(n - 1) + fib(n - 2)\n"
     "print(fib(30))\n"},
    {"fill and sum 200,000 integers",
     "ArrayInteger($a; 200000)\n"
     "For ($i; 1; 200000)\n"
     "  $a{$i} := $i % 1000\n"
     "End for\n"
     "$s := 0\n"
     "For ($i; 1; 200000)\n"
     "  $s := $s + $a{$i}\n"
     "End for\n"
     "print($s)\n",
     "local a = {}\n"
     "for i = 1, 200000 do a[i] = 0 end\n"
     "for i = 1, 200000 do\n"
     "  a[i] = i % 1000\n"
     "end\n"
     "local s = 0\n"
     "for i = 1, 200000 do\n"
     "  s = s + a[i]\n"
     "end\n"
     "print(s)\n",
     "a = [0] * 200000\n"
     "for i in range(1, 200001):\n"
     "    a[i - 1] = i % 1000\n"
     "s = 0\n"
     "for i in range(1, 200001):\n"
     "    s = s + a[i - 1]\n"
     "print(s)\n"},
    {"shell sort of 100,000 integers in the language",
     "$n := 100000\n"
     "ArrayInteger($a; $n)\n"
     "$x := 12345\n"
     "For ($i; 1; $n)\n"
     "  $x := ($x * 1103 + 12345) % 1000003\n"
     "  $a{$i} := $x\n"
     "End for\n"
     "$gap := $n / 2\n"
     "While ($gap > 0)\n"
     "  For ($i; $gap + 1; $n)\n"
     "    $t := $a{$i}\n"
     "    $j := $i\n"
     "    While ($j > $gap & $a{$j - $gap} > $t)\n"
     "      $a{$j} := $a{$j - $gap}\n"
     "      $j := $j - $gap\n"
     "    End while\n"
     "    $a{$j} := $t\n"
     "  End for\n"
     "  $gap := $gap / 2\n"
     "End while\n"
     "print($a{1}; $a{$n / 2}; $a{$n})\n",
     "local n = 100000\n"
     "local a = {}\n"
     "for i = 1, n do a[i] = 0 end\n"
     "local x = 12345\n"
     "for i = 1, n do\n"
     "  x = (x * 1103 + 12345) % 1000003\n"
     "  a[i] = x\n"
     "end\n"
     "local gap = n // 2\n"
     "while gap > 0 do\n"
     "  for i = gap + 1, n do\n"
     "    local t = a[i]\n"
     "    local j = i\n"
     "    while j > gap and a[j - gap] > t do\n"
     "      a[j] = a[j - gap]\n"
     "      j = j - gap\n"
     "    end\n"
     "    a[j] = t\n"
     "  end\n"
     "  gap = gap // 2\n"
     "end\n"
     "print(a[1], a[n // 2], a[n])\n",
     "n = 100000\n"
     "a = [0] * (n + 1)\n"
     "x = 12345\n"
     "for i in range(1, n + 1):\n"
     "    x = (x * 1103 + 12345) % 1000003\n"
     "    a[i] = x\n"
     "gap = n // 2\n"
     "while gap > 0:\n"
     "    for i in range(gap + 1, n + 1):\n"
     "        t = a[i]\n"
     "        j = i\n"
     "        while j > gap and a[j - gap] > t:\n"
     "            a[j] = a[j - gap]\n"
     "            j = j - gap\n"
     "        a[j] = t\n"
     "    gap = gap // 2\n"
     "print(a[1], a[n // 2], a[n])\n"},
};

constexpr int kCalls = 5'000'000;

// A sort run by the language's own sort: the program with its sort line and without it, so the
// difference is the sort alone.
struct SortProgram {
    const char* name;    // what the row says
    const char* script;  // the host language; its line "SortArray($a)" is the sort
    const char* python;  // python3; its line "a.sort()" is the sort
};

const SortProgram kSorts[] = {
    {"SortArray of 1,000,000 integers vs python3 sort()",
     "ArrayInteger($a; 1000000)\n"
     "$x := 12345\n"
     "For ($i; 1; 1000000)\n"
     "  $x := ($x * 1103 + 12345) % 1000003\n"
     "  $a{$i} := $x\n"
     "End for\n"
     "SortArray($a)\n"
     "print($a{1}; $a{1000000})\n",
     "a = [0] * 1000000\n"
     "x = 12345\n"
     "for i in range(1000000):\n"
     "    x = (x * 1103 + 12345) % 1000003\n"
     "    a[i] = x\n"
     "a.sort()\n"
     "print(a[0], a[-1])\n"},
    {"SortArray of 100,000 texts vs python3 sort()",
     "ArrayText($a; 100000)\n"
     "$x := 12345\n"
     "For ($i; 1; 100000)\n"
     "  $x := ($x * 1103 + 12345) % 1000003\n"
     "  $a{$i} := \"k\" + String($x)\n"
     "End for\n"
     "SortArray($a)\n"
     "print($a{1}; $a{100000})\n",
     "a = [''] * 100000\n"
     "x = 12345\n"
     "for i in range(100000):\n"
     "    x = (x * 1103 + 12345) % 1000003\n"
     "    a[i] = 'k' + str(x)\n"
     "a.sort()\n"
     "print(a[0], a[-1])\n"},
};

// The program without the line that holds `line`.
std::string Without(const std::string& program, const std::string& line) {
    const size_t at = program.find(line);
    if (at == std::string::npos) return program;
    return program.substr(0, at) + program.substr(program.find('\n', at) + 1);
}

struct Usage {
    double seconds = 1e9;  // processor time, user and system (the best run)
    long peakKiB = 0;      // largest resident size (the best run's)
};

// Runs a program to its end with its output discarded; its processor time and peak memory (best of 3).
Usage ChildUsage(const std::vector<std::string>& argv) {
    Usage best;
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
        if (seconds < best.seconds) best = {seconds, usage.ru_maxrss};
    }
    return best;
}

double ChildCpuSeconds(const std::vector<std::string>& argv) { return ChildUsage(argv).seconds; }

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
    std::vector<std::string> files;
    auto write = [&](const std::string& name, const std::string& text) {
        files.push_back(Write(folder, name, text));
        return files.back();
    };
    const bool haveLua = access("/usr/bin/lua5.4", X_OK) == 0;
    int index = 0;
    for (const Program& p : kPrograms) {
        const std::string n = std::to_string(index++);
        const double zor = ChildCpuSeconds({host, write("p" + n + ".zor", p.script)});
        const double python = ChildCpuSeconds({"/usr/bin/python3", write("p" + n + ".py", p.python)});
        const double lua = haveLua ? ChildCpuSeconds({"/usr/bin/lua5.4", write("p" + n + ".lua", p.lua)}) : 0;
        std::printf("%s: zor-host %.3f s, lua5.4 %.3f s, python3 %.3f s of processor time\n", p.name, zor, lua, python);
        if (haveLua)
            std::printf("BENCH\t%s vs lua5.4\t%.3f s\t%.3f s\t%.2f\t>=1\t%s\n", p.name, zor, lua, lua / zor,
                        lua / zor >= 1.0 ? "yes" : "no");
        std::printf("BENCH\t%s vs python3\t%.3f s\t%.3f s\t%.2f\t>=1.5\t%s\n", p.name, zor, python, python / zor,
                    python / zor >= 1.5 ? "yes" : "no");
    }

    for (const SortProgram& p : kSorts) {
        const std::string n = std::to_string(index++);
        const double zor = ChildCpuSeconds({host, write("s" + n + ".zor", p.script)}) -
                           ChildCpuSeconds({host, write("s" + n + "b.zor", Without(p.script, "SortArray("))});
        const double python = ChildCpuSeconds({"/usr/bin/python3", write("s" + n + ".py", p.python)}) -
                              ChildCpuSeconds({"/usr/bin/python3", write("s" + n + "b.py", Without(p.python, "a.sort()"))});
        std::printf("%s: zor-host %.3f s, python3 %.3f s of processor time for the sort alone\n", p.name, zor, python);
        std::printf("BENCH\t%s\t%.3f s\t%.3f s\t%.2f\t>=1\t%s\n", p.name, zor, python, python / zor,
                    python / zor >= 1.0 ? "yes" : "no");
    }

    // An array of 1,000,000 integers: the peak resident size over that of a script that makes none.
    const long empty = ChildUsage({host, write("empty.zor", "")}).peakKiB;
    const long array = ChildUsage({host, write("array.zor", "ArrayInteger($a; 1000000)\n$a{1000000} := 7\n")}).peakKiB;
    const double mb = static_cast<double>(array - empty) * 1024.0 / 1e6;
    std::printf("an array of 1,000,000 integers: %.1f MB over an empty script\n", mb);
    std::printf("BENCH\tmemory of an array of 1,000,000 integers\t%.1f MB\t16 MB (goal)\t%.2f\t<=1\t%s\n", mb, mb / 16.0,
                mb <= 16.0 ? "yes" : "no");

    const std::string calls = write("calls.zor", "For ($i; 1; " + std::to_string(kCalls) + ")\n  $n := StreamList(0)\nEnd for\n");
    const std::string none = folder + std::string("/empty.zor");

    // The direct C call, in this process, measured the same way (processor time).
    zor::test::PluginHost plugin;
    int32_t n = 0;
    void* params[] = {&n};
    void* slot = nullptr;
    double start = zor::bench::CpuSeconds();
    for (int i = 0; i < kCalls; ++i) plugin.entry(52, params, &plugin.globals, &slot);
    const double directNs = zor::bench::CpuSecondsSince(start) / kCalls * 1e9;
    const double scriptNs = (ChildCpuSeconds({host, calls}) - ChildCpuSeconds({host, none})) / kCalls * 1e9;
    const double overheadNs = scriptNs - directNs;
    std::printf("StreamList(0): %.1f ns a call from a script's For loop, %.1f ns a direct C call: %.1f ns over "
                "(goal: at most 25)\n", scriptNs, directNs, overheadNs);
    std::printf("BENCH\tscript's cost per plug-in call over a direct C call\t%.1f ns\t25 ns (goal; direct %.1f ns)\t%.2f\t<=1\t%s\n",
                overheadNs, directNs, overheadNs / 25.0, overheadNs <= 25.0 ? "yes" : "no");
    for (const std::string& f : files) unlink(f.c_str());
    rmdir(folder);
    return 0;
}
