// main.cpp: zor-host's command line: loads the plug-in, starts it, runs a script or the interactive
// prompt, and stops the plug-in on every way out (end, error, SIGINT, SIGTERM).
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "shell/host.h"

namespace {

using namespace zor::shell;

constexpr int kExitDone = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: zor-host [--plugin PATH] [--resources PATH] [--polling-only] [--trace] [SCRIPT | -]\n"
    "  --plugin PATH     the plug-in to load (default: libzor.so beside zor-host, then the installed one)\n"
    "  --resources PATH  the plug-in's resource file (default: libzor.rsrc beside the plug-in)\n"
    "  --polling-only    start the plug-in without socket-event delivery (listeners accept when polled)\n"
    "  --trace           report every call to the plug-in on standard error\n"
    "With no script and a terminal on standard input, zor-host prompts for statements.\n";

// The signal that asked us to stop, 0 while none has. The handler only stores it and writes a byte
// into a pipe (both async-signal-safe); the statement loop looks at it between statements, and a
// wait for input watches the pipe too, so a signal that comes just before the wait still ends it.
volatile sig_atomic_t g_stopSignal = 0;
int g_wakePipe[2] = {-1, -1};

extern "C" void OnStopSignal(int signal) {
    const int saved = errno;
    g_stopSignal = signal;
    if (g_wakePipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = write(g_wakePipe[1], &byte, 1);
    }
    errno = saved;
}

void CatchStopSignals() {
    if (pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) g_wakePipe[0] = g_wakePipe[1] = -1;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a read waiting for input returns so the loop can stop
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Ends the process the way the signal would have, now that the plug-in is stopped.
[[noreturn]] void DieOfSignal(int signal) {
    std::fprintf(stderr, "zor-host: stopped by %s\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
    std::fflush(stdout);
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    raise(signal);
    _exit(128 + signal);
}

std::string Directory(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The plug-in: the one named, else libzor.so beside this program, else the installed one (beside
// the installed program's lib folder, then wherever the dynamic linker finds it).
void* LoadPlugin(const std::string& named, std::string& error) {
    std::vector<std::string> candidates;
    if (!named.empty()) {
        candidates.push_back(named.find('/') == std::string::npos ? "./" + named : named);
    } else {
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n > 0) {
            const std::string here = Directory(std::string(self, static_cast<size_t>(n)));
            candidates.push_back(here + "/libzor.so");
            candidates.push_back(here + "/../lib/libzor.so");
        }
        candidates.push_back("libzor.so");
    }
    for (const std::string& path : candidates) {
        if (!named.empty() || path.find('/') == std::string::npos || access(path.c_str(), F_OK) == 0) {
            if (void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); library != nullptr) return library;
            error = dlerror();
            if (!named.empty() || path.find('/') != std::string::npos) return nullptr;
        }
    }
    if (error.empty()) error = "libzor.so not found";
    return nullptr;
}

// Reads one line from a descriptor (without its LF). False at the end of input or when a stop signal
// interrupted the wait.
bool ReadLine(int fd, std::string& pending, std::string& line) {
    while (true) {
        const size_t lf = pending.find('\n');
        if (lf != std::string::npos) {
            line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            return true;
        }
        if (g_stopSignal != 0) return false;
        pollfd waits[2] = {{fd, POLLIN, 0}, {g_wakePipe[0], POLLIN, 0}};
        if (poll(waits, g_wakePipe[0] >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return false;
        if (g_stopSignal != 0) return false;
        if (waits[0].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (pending.empty()) return false;
            line.swap(pending);
            pending.clear();
            return true;
        }
        pending.append(buffer, static_cast<size_t>(n));
    }
}

void Report(const std::string& file, int line, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s:%d: %s\n", file.c_str(), line, message.c_str());
}

struct Options {
    std::string plugin;
    std::string resources;
    bool pollingOnly = false;
    bool trace = false;
    std::string script;  // empty: standard input
    bool haveScript = false;
};

bool ParseOptions(int argc, char** argv, Options& o, bool& help) {
    help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--plugin" || a == "--resources") {
            if (i + 1 >= argc) return false;
            (a == "--plugin" ? o.plugin : o.resources) = argv[++i];
        } else if (a == "--polling-only") {
            o.pollingOnly = true;
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return false;
        } else if (o.haveScript) {
            return false;
        } else {
            o.haveScript = true;
            o.script = a == "-" ? "" : a;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool help = false;
    if (!ParseOptions(argc, argv, options, help)) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return kExitDone;
    }

    std::string error;
    void* library = LoadPlugin(options.plugin, error);
    if (library == nullptr) {
        std::fprintf(stderr, "zor-host: cannot load the plug-in: %s\n", error.c_str());
        return kExitUsage;
    }
    PluginLink plugin;
    plugin.entry = reinterpret_cast<RozoZIvavFunction>(dlsym(library, "RozoZIvav"));
    plugin.trace = options.trace;
    if (plugin.entry == nullptr) {
        std::fprintf(stderr, "zor-host: the plug-in has no RozoZIvav\n");
        return kExitUsage;
    }
    if (!options.resources.empty()) HostSetResourcePath(options.resources.c_str());
    if (options.pollingOnly) HostSetPollingOnly(true);

    // A script file is parsed whole before the plug-in starts; standard input runs line by line.
    const bool fromFile = !options.script.empty();
    const std::string name = fromFile ? options.script : "<stdin>";
    std::vector<Statement> statements;
    if (fromFile) {
        std::ifstream file(options.script, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "zor-host: cannot read %s: %s\n", options.script.c_str(), std::strerror(errno));
            return kExitUsage;
        }
        const std::string source((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        ParseError parseError;
        if (!ParseScript(source, statements, parseError)) {
            Report(name, parseError.line, parseError.message);
            return kExitError;
        }
    }
    const bool interactive = !options.haveScript && isatty(STDIN_FILENO) == 1;

    CatchStopSignals();
    plugin.Call(ZorSelectorStartUp, nullptr, nullptr);
    int status = kExitDone;
    {
        Interpreter interpreter(plugin, stdout);
        if (fromFile) {
            for (const Statement& statement : statements) {
                if (g_stopSignal != 0) break;
                if (!interpreter.Run(statement, false, error)) {
                    Report(name, statement.line, error);
                    status = kExitError;
                    break;
                }
            }
        } else {
            std::string pending, line;
            int lineNumber = 0;
            while (g_stopSignal == 0) {
                if (interactive) {
                    std::fputs("zor> ", stdout);
                    std::fflush(stdout);
                }
                if (!ReadLine(STDIN_FILENO, pending, line)) {
                    if (interactive && g_stopSignal == 0) std::fputs("\n", stdout);
                    break;
                }
                ++lineNumber;
                Statement statement;
                bool has = false;
                const bool ok = ParseLine(line, lineNumber, statement, has, error) &&
                                (!has || interpreter.Run(statement, interactive, error));
                if (!ok) {
                    Report(name, lineNumber, error);
                    if (!interactive) {
                        status = kExitError;
                        break;
                    }
                }
                std::fflush(stdout);
            }
        }
        std::fflush(stdout);
        // The interpreter's variables (and their handles) go before the plug-in stops.
    }
    plugin.Call(ZorSelectorShutDown, nullptr, nullptr);
    if (plugin.globals != nullptr) {
        // Once the plug-in is stopped its global record is the host's to free.
        HostUnlockHandle(plugin.globals);
        HostDisposeHandle(plugin.globals);
        plugin.globals = nullptr;
    }
    if (g_stopSignal != 0) DieOfSignal(g_stopSignal);
    return status;
}
