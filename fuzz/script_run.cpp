// script_run.cpp: fuzzes the host language's interpreter: scripts that parse are run, through the real
// plug-in, inside a scratch folder, each for at most 50 ms of processor time. Only built-ins and
// commands that touch nothing outside the process run (texts, dates and timers, the keyed store;
// no file writes, no sockets, no reads of devices): a script calling anything else is skipped.
// A fault must be named at a line; nothing may be left open (descriptors).
#include <signal.h>
#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "fuzz_support.h"
#include "shell/host.h"
#include "shell/reference.h"
#include "support/descriptors.h"

namespace {

using zor::shell::Builtin;
using zor::shell::Expr;
using zor::shell::Program;
using zor::shell::Statement;

volatile sig_atomic_t g_stop = 0;  // set when the input's processor time is up

extern "C" void OnTimeUp(int) { g_stop = 1; }

bool SafeExpr(const Expr& e) {
    if (e.form == Expr::Form::Command) {
        const zor::shell::CommandNote* note = zor::shell::FindNote(e.command->selector);
        if (note == nullptr) return false;
        const std::string_view group = note->subsystem;
        if (group != "texts" && group != "dates and timers" && group != "keyed store") return false;
    }
    if (e.form == Expr::Form::Builtin) {
        switch (e.builtin) {
            case Builtin::WriteFile: case Builtin::AppendFile: case Builtin::DeleteFile: case Builtin::ReadFile:
            case Builtin::Picture: case Builtin::Delay: return false;
            default: break;
        }
    }
    for (const Expr& arg : e.args)
        if (!SafeExpr(arg)) return false;
    return true;
}

bool SafeList(const std::vector<Statement>& list) {
    for (const Statement& s : list) {
        if (!SafeExpr(s.place) || !SafeExpr(s.value) || !SafeList(s.body) || !SafeList(s.otherwise)) return false;
        for (const Expr& e : s.range)
            if (!SafeExpr(e)) return false;
        for (const auto& b : s.branches)
            if (!SafeExpr(b.condition) || !SafeList(b.body)) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const std::string_view source(reinterpret_cast<const char*>(data), size);
    Program program;
    zor::shell::ParseError error;
    if (!zor::shell::ParseProgram(source, "fuzz", program, error)) return 0;
    if (!SafeList(program.main)) return 0;
    for (const auto& m : program.methods)
        if (!SafeList(m.body)) return 0;

    const zor::fuzz::InScratchFolder here;
    static std::FILE* const sink = std::fopen("/dev/null", "w");  // what print writes goes nowhere
    const int descriptors = zor::test::OpenDescriptors();
    zor::shell::PluginLink plugin;
    plugin.entry = RozoZIvav;
    plugin.Call(ZorSelectorStartUp, nullptr, nullptr);
    {
        zor::shell::Interpreter interpreter(plugin, sink);
        interpreter.SetStopFlag(&g_stop);
        struct sigaction action {};
        action.sa_handler = OnTimeUp;
        sigaction(SIGVTALRM, &action, nullptr);
        const itimerval budget = {{0, 0}, {0, 50000}};
        setitimer(ITIMER_VIRTUAL, &budget, nullptr);
        const bool ok = interpreter.Run(program, false);
        const itimerval off = {{0, 0}, {0, 0}};
        setitimer(ITIMER_VIRTUAL, &off, nullptr);
        // A fault is named, at a line of the script, with a message.
        if (!ok && !interpreter.stopped() && (interpreter.fault().message.empty() || interpreter.fault().line < 1))
            __builtin_trap();
        g_stop = 0;
    }
    plugin.Call(ZorSelectorShutDown, nullptr, nullptr);
    if (plugin.globals != nullptr) {
        HostUnlockHandle(plugin.globals);
        HostDisposeHandle(plugin.globals);
    }
    if (zor::test::OpenDescriptors() != descriptors) __builtin_trap();
    return 0;
}
