// main.cpp: zor-host's command line: loads the plug-in, starts it, runs a script or the interactive
// prompt, and stops the plug-in on every way out (end, error, SIGINT, SIGTERM).
//
// Signals: SIGINT, SIGTERM and SIGHUP ask the plug-in to cancel the running command
// (HostRequestCancel). In a script the statement then fails, the script stops, the plug-in is shut
// down and zor-host exits with 128 + the signal (130 for SIGINT, 143 for SIGTERM). At the interactive
// prompt SIGINT cancels only the command (or the line being typed) and the session goes on; a second
// SIGINT while the command is still cancelling ends the session after the shutdown. The shutdown
// runs with the request still set, so it cannot wait on a peer; a third signal while cancelling
// ends the process at once.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "shell/host.h"
#include "shell/processes.h"
#include "shell/prompt.h"
#include "shell/reference.h"

namespace {

using namespace zor::shell;

constexpr int kExitDone = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: zor-host [--plugin PATH] [--resources PATH] [--polling-only] [--trace] [SCRIPT | -] [ARGUMENT ...]\n"
    "       zor-host --reference | --language-reference\n"
    "  --plugin PATH     the plug-in to load (default: libzor.so beside zor-host, then the installed one)\n"
    "  --resources PATH  the plug-in's resource file (default: libzor.rsrc beside the plug-in)\n"
    "  --polling-only    start the plug-in without socket-event delivery (listeners accept when polled)\n"
    "  --trace           report every call to the plug-in on standard error: its arguments, then its\n"
    "                    outputs, result and what the result means\n"
    "  --reference       print the command reference (docs/commands.md) and exit\n"
    "  --language-reference  print the built-ins and keywords (docs/builtins.md) and exit\n"
    "The arguments after the script are the script's own: Argument(1) ... Argument(ArgumentCount).\n"
    "With no script and a terminal on standard input, zor-host prompts for statements (with line\n"
    "editing and a history kept in ~/.zor_history; help lists the commands, quit ends the session).\n";

// The signal that asked us to stop, 0 while none has. The handler only stores it, asks for the cancel
// and writes a byte into a pipe (all async-signal-safe); the statement loop looks at it between
// statements, and a wait for input watches the pipe too, so a signal that comes just before the wait
// still ends it.
volatile sig_atomic_t g_stopSignal = 0;
volatile sig_atomic_t g_prompting = 0;      // the interactive prompt: SIGINT cancels, the session goes on
volatile sig_atomic_t g_signalsCancelling = 0;  // signals since the running cancel was asked for
volatile sig_atomic_t g_signalCount = 0;        // every stop signal: the scheduler passes each on to its processes
int g_wakePipe[2] = {-1, -1};

extern "C" void OnStopSignal(int signal) {
    const int saved = errno;
    if (HostCancelRequested() != 0) {
        // Already cancelling: the second signal ends the session, the third the process.
        g_signalsCancelling = g_signalsCancelling + 1;
        if (g_signalsCancelling >= 3) _exit(128 + signal);
        if (g_stopSignal == 0) g_stopSignal = signal;
    } else {
        g_signalsCancelling = 1;
        if (g_prompting == 0 || signal != SIGINT) g_stopSignal = signal;
    }
    HostRequestCancel();
    g_signalCount = g_signalCount + 1;
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
    sigaction(SIGHUP, &action, nullptr);  // the terminal went away: stop as for SIGTERM
    // A reader that goes away must not end us before the plug-in is stopped: writes then fail
    // with EPIPE and the script stops on that error.
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
}

// At the prompt, once a cancelled command (or line) is dealt with: the next SIGINT is a first one,
// and the wake pipe is empty again.
void EndCancel() {
    HostClearCancel();
    g_signalsCancelling = 0;
    char drain[16];
    while (g_wakePipe[0] >= 0 && read(g_wakePipe[0], drain, sizeof drain) > 0) {
    }
}

// Whether a signal asks the prompt's read to stop.
bool Interrupted() { return g_stopSignal != 0 || HostCancelRequested() != 0; }

// Ends the process with the shell's status for the signal, now that the plug-in is stopped.
[[noreturn]] void ExitForSignal(int signal) {
    std::fprintf(stderr, "zor-host: stopped by %s\n",
                 signal == SIGINT ? "SIGINT" : signal == SIGHUP ? "SIGHUP" : "SIGTERM");
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(128 + signal);
}

std::string Directory(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The plug-in: the one named, else libzor.so beside this program, else the installed one (in the
// lib folder beside the installed program's bin folder, then wherever the dynamic linker finds it).
void* LoadPlugin(const std::string& named, std::string& error) {
    void* library = nullptr;
    if (!named.empty()) {
        // A bare file name means the file here, not a search of the library path.
        const std::string path = named.find('/') == std::string::npos ? "./" + named : named;
        library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    } else {
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        const std::string here = n > 0 ? Directory(std::string(self, static_cast<size_t>(n))) : ".";
        bool found = false;
        for (const std::string& path : {here + "/libzor.so", here + "/../lib/libzor.so"}) {
            if (access(path.c_str(), F_OK) == 0) {
                // There, but perhaps not loadable: then its own fault is the one to report.
                found = true;
                library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
                break;
            }
        }
        if (!found) library = dlopen("libzor.so", RTLD_NOW | RTLD_LOCAL);
    }
    if (library == nullptr) {
        const char* why = dlerror();
        error = why != nullptr ? why : "libzor.so not found";
    }
    return library;
}

// Reads one line from a descriptor (without its LF). False at the end of input or when a signal
// interrupted the wait (a stop, or a cancel at the prompt).
// Set when standard input held a line longer than a script may be: the input ends there.
bool g_inputTooLong = false;

bool ReadLine(int fd, std::string& pending, std::string& line) {
    size_t scanned = 0;  // the bytes of `pending` known to hold no LF
    while (true) {
        const size_t lf = pending.find('\n', scanned);
        if (lf != std::string::npos) {
            line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            return true;
        }
        scanned = pending.size();
        if (pending.size() > kMostScriptBytes) {
            g_inputTooLong = true;
            return false;
        }
        if (g_stopSignal != 0 || HostCancelRequested() != 0) return false;
        pollfd waits[2] = {{fd, POLLIN, 0}, {g_wakePipe[0], POLLIN, 0}};
        if (poll(waits, g_wakePipe[0] >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return false;
        if (g_stopSignal != 0 || HostCancelRequested() != 0) return false;
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

// Runs `work` on a thread of its own with a large stack, and waits for it (the plug-in is still called
// by one thread at a time). Scripts recurse through methods: the depth they may reach is the
// interpreter's limit, not whatever the build's frame sizes leave of the main thread's stack.
template <typename Work>
void RunOnLargeStack(Work& work) {
    constexpr size_t kStackBytes = 256u << 20;  // address space only: pages are used as touched
    pthread_attr_t attributes;
    pthread_t thread;
    bool started = pthread_attr_init(&attributes) == 0;
    if (started) {
        started = pthread_attr_setstacksize(&attributes, kStackBytes) == 0 &&
                  pthread_create(&thread, &attributes, [](void* w) -> void* {
                      (*static_cast<Work*>(w))();
                      return nullptr;
                  }, &work) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (started) {
        pthread_join(thread, nullptr);
    } else {
        work();  // no thread to be had: the main thread's stack will do
    }
}

struct Options {
    std::string plugin;
    std::string resources;
    bool pollingOnly = false;
    bool trace = false;
    std::string script;  // empty: standard input
    bool haveScript = false;
    bool reference = false;  // print the command reference and exit
    bool languageReference = false;  // print the built-ins and keywords and exit
    std::vector<std::string> arguments;  // the script's own arguments
};

// False with `error` naming the fault when the command line is not one zor-host takes.
bool ParseOptions(int argc, char** argv, Options& o, bool& help, std::string& error) {
    help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (o.haveScript) {
            o.arguments.push_back(a);  // everything after the script is the script's
        } else if (a == "--plugin" || a == "--resources") {
            if (i + 1 >= argc) {
                error = a + " needs a value";
                return false;
            }
            (a == "--plugin" ? o.plugin : o.resources) = argv[++i];
        } else if (a == "--polling-only") {
            o.pollingOnly = true;
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--reference") {
            o.reference = true;
        } else if (a == "--language-reference") {
            o.languageReference = true;
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else if (a.size() > 1 && a[0] == '-') {
            error = "unknown option " + a;
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
    std::string badUsage;
    if (!ParseOptions(argc, argv, options, help, badUsage)) {
        std::fprintf(stderr, "zor-host: %s\n", badUsage.c_str());
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return kExitDone;
    }
    if (options.reference || options.languageReference) {
        // Every built-in has its note: a missing one fails here, and so the test of the docs.
        for (size_t i = 0; i < BuiltinCount(); ++i)
            if (FindLanguageNote(BuiltinAt(i).name) == nullptr) {
                std::fprintf(stderr, "zor-host: the built-in %s has no note\n", BuiltinAt(i).name);
                return kExitError;
            }
        const std::string md = options.reference ? ReferenceMarkdown() : LanguageMarkdown();
        return std::fwrite(md.data(), 1, md.size(), stdout) == md.size() && std::fflush(stdout) == 0 ? kExitDone
                                                                                                    : kExitError;
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

    // A script file is parsed whole (with the files it includes) before the plug-in starts; standard
    // input is parsed and run a chunk at a time: a line, or the lines up to the end of a block.
    const bool fromFile = !options.script.empty();
    const std::string name = fromFile ? options.script : "<stdin>";
    // An included file is a regular file (not a device or a pipe that may never end), bounded.
    const FileLoader loader = [](const std::string& path, std::string& text, std::string& why) {
        if (path.find('\0') != std::string::npos) return why = "the path holds a NUL byte", false;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) return why = std::strerror(errno), false;
        if (!S_ISREG(st.st_mode)) return why = "it is not a regular file", false;
        if (!ReadWholeFile(path, text, why, kMostScriptBytes)) return false;
        if (text.size() > kMostScriptBytes) return why = "it is longer than a script may be (8 MB)", false;
        return true;
    };
    Program program;
    if (fromFile) {
        std::string source;
        error.clear();
        if (ReadWholeFile(options.script, source, error, kMostScriptBytes) && source.size() > kMostScriptBytes)
            error = "it is longer than a script may be (8 MB)";
        if (!error.empty()) {
            std::fprintf(stderr, "zor-host: cannot read %s: %s\n", options.script.c_str(), error.c_str());
            return kExitUsage;
        }
        ParseError parseError;
        if (!ParseProgram(source, name, program, parseError, loader)) {
            Report(parseError.file, parseError.line, parseError.message);
            return kExitError;
        }
    }
    const bool interactive = !options.haveScript && isatty(STDIN_FILENO) == 1;

    g_prompting = interactive ? 1 : 0;
    CatchStopSignals();
    plugin.Call(ZorSelectorStartUp, nullptr, nullptr);
    int status = kExitDone;
    auto session = [&] {
        // This thread is process 1, the main flow; the processes it starts run on threads of their own.
        Scheduler scheduler;
        scheduler.WatchSignals(&g_stopSignal, &g_signalCount, g_wakePipe[0]);
        Interpreter interpreter(plugin, stdout);
        interpreter.SetArguments(options.arguments);
        interpreter.SetStopFlag(&g_stopSignal);
        interpreter.SetScheduler(&scheduler);
        // The main statements, then the wait for every process they started.
        auto run = [&](bool echo) {
            bool ok = interpreter.Run(program, echo) || interpreter.stopped();
            if (!ok) Report(interpreter.fault().file, interpreter.fault().line, interpreter.fault().message);
            scheduler.AwaitOthers();
            return ok && !scheduler.failures();
        };
        if (fromFile) {
            if (!run(false)) status = kExitError;
        } else {
            // Interactive lines come through the line editor. Standard input is parsed and run a
            // chunk at a time: a line, or the lines up to the end of a block (the continuation
            // prompt shows while one is open).
            std::unique_ptr<Prompt> prompt;
            if (interactive) prompt = std::make_unique<Prompt>(Interrupted, g_wakePipe[0]);
            std::string pending, line, chunk;
            int lineNumber = 0, chunkStart = 1;
            ParseError parseError;
            while (g_stopSignal == 0) {
                const Prompt::Outcome got =
                    prompt != nullptr ? prompt->Read(chunk.empty() ? "zor> " : "...> ", line)
                    : ReadLine(STDIN_FILENO, pending, line) ? Prompt::Outcome::Line
                                                            : Prompt::Outcome::End;
                if (got == Prompt::Outcome::Interrupted && g_stopSignal == 0) {
                    // Ctrl-C at the prompt: the lines typed so far go, the session stays.
                    std::fputs("\n", stdout);
                    chunk.clear();
                    EndCancel();
                    scheduler.ClearMainCancel();
                    continue;
                }
                if (got == Prompt::Outcome::Line && chunk.size() + line.size() > kMostScriptBytes) g_inputTooLong = true;
                if (g_inputTooLong) {
                    Report(name, lineNumber + 1, "a line or block longer than a script may be (8 MB)");
                    status = kExitError;
                    break;
                }
                if (got != Prompt::Outcome::Line) {
                    if (interactive && g_stopSignal == 0) std::fputs("\n", stdout);
                    if (!chunk.empty() && g_stopSignal == 0) {
                        // The input ended inside a block.
                        Report(parseError.file, parseError.line, parseError.message);
                        if (!interactive) status = kExitError;
                    }
                    break;
                }
                ++lineNumber;
                bool quit = false;
                // help and quit work whatever feeds the prompt: a terminal, a pipe, or "-".
                if (chunk.empty() && PromptWord(line, stdout, quit)) {
                    if (quit) break;
                    continue;
                }
                if (chunk.empty()) chunkStart = lineNumber;
                chunk += line;
                chunk += '\n';
                if (!ParseProgram(chunk, name, program, parseError, loader, chunkStart)) {
                    if (parseError.open) continue;  // a block is open: read on
                    chunk.clear();
                    Report(parseError.file, parseError.line, parseError.message);
                    if (!interactive) {
                        status = kExitError;
                        break;
                    }
                    continue;
                }
                chunk.clear();
                if (!run(interactive) && !interactive) {
                    status = kExitError;
                    break;
                }
                if (interactive && g_stopSignal == 0 && HostCancelRequested() != 0) {
                    std::fflush(stdout);
                    std::fprintf(stderr, "%s:%d: cancelled\n", name.c_str(), lineNumber);
                }
                if (interactive && g_stopSignal == 0) {
                    EndCancel();
                    scheduler.ClearMainCancel();
                }
                std::fflush(stdout);
            }
        }
        std::fflush(stdout);
        // The script has ended: the documents it left open are closed. The interpreter's variables
        // go before the plug-in stops.
        interpreter.CloseDocuments(DocumentTable::kEveryOwner);
    };
    RunOnLargeStack(session);
    plugin.Call(ZorSelectorShutDown, nullptr, nullptr);
    if (plugin.globals != nullptr) {
        // Once the plug-in is stopped its global record is the host's to free.
        HostUnlockHandle(plugin.globals);
        HostDisposeHandle(plugin.globals);
        plugin.globals = nullptr;
    }
    if (g_stopSignal != 0) ExitForSignal(g_stopSignal);
    return status;
}
