// host.h: the host side of zor-host: its values, how it calls the plug-in, and the interpreter that
// runs parsed scripts (statements in interpreter.cpp, built-ins in builtins.cpp).
#ifndef ZOR_SHELL_HOST_H
#define ZOR_SHELL_HOST_H

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zor/host_toolbox.h"
#include "shell/documents.h"
#include "shell/processes.h"
#include "shell/script.h"

namespace zor::shell {

// A value the host owns: a variable, an array element or a temporary. Texts and pictures keep their
// bytes here; they go into host handles only for the length of a call of the plug-in.
struct Value {
    ValueKind kind = ValueKind::None;
    ValueKind element = ValueKind::None;  // Array: the kind of its elements
    int32_t integer = 0;                  // Integer; Boolean (0 or 1)
    int16_t date[3] = {0, 0, 0};          // Date: day, month, year
    std::string bytes;                    // Text (Mac Roman, at most 32767 bytes); Picture (empty: none)
    std::vector<Value> items;             // Array: its elements, element 1 first
};

constexpr size_t kMostTextBytes = 32767;  // a TextBlock's count is a signed 16-bit number
constexpr size_t kMostScriptBytes = 8u << 20;  // a script, an included file, a line or block of standard input

// How a value is shown by print: integers in decimal, texts in UTF-8 with CR, LF and the other
// control bytes escaped, dates YYYY-MM-DD, booleans True or False, pictures as their size, arrays as
// their elements in brackets.
std::string FormatValue(const Value& value);

// Reads a whole file, or its first `most` + 1 bytes when it is longer (so a device that never ends
// is not read forever); false with `error` saying why (a directory is refused, not read).
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& error, size_t most = SIZE_MAX);

// A GIF, JPEG or PNG file as host picture data: GIF bytes as they are; JPEG and PNG behind the
// 10-byte picture header (size, top 0, left 0, bottom = height, right = width, machine byte order).
bool PictureFromImageFile(const std::string& path, std::string& data, std::string& error);

// The plug-in as the host sees it: its entry point and the variable that keeps its global record.
struct PluginLink {
    RozoZIvavFunction entry = nullptr;
    HostHandle globals = nullptr;
    bool trace = false;  // report every call on standard error
    void Call(int32_t selector, void** params, void* result);
};

// A runtime error: where it happened and what it was.
struct Fault {
    std::string file;
    int line = 0;
    std::string message;
};

class Interpreter {
public:
    Interpreter(PluginLink& plugin, std::FILE* out) : plugin_(plugin), out_(out) {}

    // The script's own arguments (Argument(n)), and the flag that asks a running script to stop.
    void SetArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
    void SetStopFlag(const volatile sig_atomic_t* flag) { stop_ = flag; }
    // The scheduler that runs this flow and the others (none: NewProcess and the semaphores fail).
    void SetScheduler(Scheduler* scheduler) { scheduler_ = scheduler; }

    // Runs the main statements of `program` (the chunk parsed last); its variables live on for the
    // next chunk. False on a runtime error no Try caught (see fault()) or when asked to stop. With
    // `echo`, the value each top-level call gives (assigned or not) is printed, as a prompt shows.
    bool Run(const Program& program, bool echo);
    // The flow of a process: method `method` of the program, its parameters `args`, run by an
    // interpreter made with Offspring. Same outcome as Run.
    bool RunProcess(int32_t method, std::vector<Value> args);
    // A new flow's interpreter: it shares this one's program, `<>` variables, arguments, stop flag
    // and scheduler, and has variables and a call stack of its own.
    std::shared_ptr<Interpreter> Offspring() const;
    const Fault& fault() const { return fault_; }
    bool stopped() const { return stopped_; }

    static constexpr int kMostMethodDepth = 1000;  // methods running inside one another

    // Closes the documents a flow left open (DocumentTable::kEveryOwner: all of them): a process's
    // when it ends, the main flow's when the script ends. Each flow keeps its own documents.
    void CloseDocuments(int32_t process) { documents_.CloseAll(process); }

private:
    bool Exec(const std::vector<Statement>& list);
    bool ExecOne(const Statement& st, bool echo);
    bool ExecFor(const Statement& st);
    bool Truth(const Expr& e, bool& result);
    bool Condition(const Expr& e, int line, bool& result);
    bool Eval(const Expr& e, Value& out);
    bool EvalBinary(const Expr& e, Value& out);
    bool EvalNode(const Expr& e, Value* left, Value& out);
    bool EvalMixed(const Expr& e, const Value* given, Value& out);
    bool IntegerOp(Op op, int32_t a, int32_t b, Value& out);
    bool Quick(const Expr& e, int32_t& value);
    bool Store(const Expr& place, Value&& value);
    Value* Element(const Expr& e);
    bool CallCommand(const Expr& e, Value& result);
    bool CallMethod(const Expr& e, Value& result);
    bool CallBuiltin(const Expr& e, Value& result);
    bool ArrayBuiltin(const Expr& e, const Value* const* in, Value* changed, Value& result);
    bool FolderBuiltin(const Expr& e, const std::string& folder, Value* changed);
    bool CallProcessBuiltin(const Expr& e, Value& result);
    void FindStackLimit();
    bool Stopping();
    bool Fail(std::string message);
    std::string NameOf(const Expr& variable) const;
    Value& Slot(const Expr& e) { return e.global ? (*globals_)[static_cast<size_t>(e.slot)] : (*frame_)[static_cast<size_t>(e.slot)]; }

    PluginLink& plugin_;
    std::FILE* out_;
    const Program* program_ = nullptr;
    std::vector<Value> main_;               // the main statements' variables
    std::vector<Value> ownGlobals_;         // the <>name variables, kept by the main flow
    std::vector<Value>* globals_ = &ownGlobals_;  // the <>name variables every process shares
    std::vector<Value>* frame_ = &main_;    // the running method's variables
    const Statement* current_ = nullptr;    // the statement running, for messages
    int conditionLine_ = 0;                 // when not 0: the line of the condition being worked out
    enum class Leaving : uint8_t { No, Break, Continue, Return };
    Leaving leaving_ = Leaving::No;         // a Break, Continue or Return on its way to its loop or method
    int depth_ = 0;                         // methods running
    const char* stackLimit_ = nullptr;      // the lowest stack address a method call may start from
    Fault fault_;                           // the error being raised
    Fault caught_;                          // the last error a Try caught (ErrorText, ErrorLine)
    bool stopped_ = false;
    std::vector<std::string> arguments_;
    const volatile sig_atomic_t* stop_ = nullptr;
    DocumentTable documents_;               // this flow's documents open by reference (CreateDocument ...)
    int32_t process_ = 0;                   // the process running: the owner of the documents it opens
    Scheduler* scheduler_ = nullptr;        // runs the processes; shared by all of them
};

}  // namespace zor::shell

#endif  // ZOR_SHELL_HOST_H
