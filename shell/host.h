// host.h: the host side of zor-host: its values, how it calls the plug-in, and the interpreter that
// runs parsed scripts (statements in interpreter.cpp, built-ins in builtins.cpp).
#ifndef ZOR_SHELL_HOST_H
#define ZOR_SHELL_HOST_H

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zor/host_toolbox.h"
#include "shell/documents.h"
#include "shell/processes.h"
#include "shell/script.h"

namespace zor::shell {

// A value the host owns: a variable, an array element or a temporary, 16 bytes. Integers, booleans
// and dates are held in the value itself; texts, pictures and arrays by reference to a counted body
// that copies share until one of them is changed (copy on write), so assigning or passing a text or
// an array copies 16 bytes while each copy still behaves as a value of its own. Counts are not
// atomic: one flow runs at a time, and a hand-over between flows orders their memory.
struct Value {
    ValueKind kind = ValueKind::None;     // what the value is
    ValueKind element = ValueKind::None;  // Array: the kind of its elements
    int16_t date[3] = {0, 0, 0};          // Date: day, month, year
    union {
        void* body_ = nullptr;            // Text, Picture: a TextBody (or none: empty); Array: an ArrayBody (or none: empty)
        int32_t integer;                  // Integer; Boolean (0 or 1)
        uint64_t bits_;                   // all of it, as copies and integer stores write it
    };
    // The three fields above the union are written and copied as one 8-byte word and the union as
    // another, never in smaller pieces that a following whole-word read would have to wait for.

    Value() = default;
    Value(const Value& other) noexcept {
        StoreHead(other.LoadHead());
        bits_ = other.bits_;
        if (Counted() && body_ != nullptr) ++*static_cast<int32_t*>(body_);
    }
    Value(Value&& other) noexcept {
        StoreHead(other.LoadHead());
        bits_ = other.bits_;
        other.StoreHead(0);
        other.bits_ = 0;
    }
    Value& operator=(const Value& other) noexcept {
        if (this != &other) {
            Value copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    Value& operator=(Value&& other) noexcept {
        if (this != &other) {
            Release();
            StoreHead(other.LoadHead());
            bits_ = other.bits_;
            other.StoreHead(0);
            other.bits_ = 0;
        }
        return *this;
    }
    ~Value() { Release(); }

    // Whether the value refers to a counted body (texts, pictures, arrays).
    bool Counted() const { return kind >= ValueKind::Text; }
    void Clear() { Release(); StoreHead(0); bits_ = 0; }
    void SetInteger(int32_t n) { Release(); StoreHead(static_cast<uint64_t>(ValueKind::Integer)); bits_ = static_cast<uint32_t>(n); }
    void SetBoolean(bool yes) { Release(); StoreHead(static_cast<uint64_t>(ValueKind::Boolean)); bits_ = yes ? 1 : 0; }
    // A new number for a value that is an integer already.
    void Reinteger(int32_t n) { bits_ = static_cast<uint32_t>(n); }
    void SetDate(const int16_t day[3]) {
        Release();
        unsigned char head[8] = {static_cast<unsigned char>(ValueKind::Date), 0};
        std::memcpy(head + 2, day, 6);
        uint64_t word = 0;
        std::memcpy(&word, head, sizeof word);
        StoreHead(word);
        bits_ = 0;
    }
    // A text or picture (`as`) holding these bytes.
    void SetBytes(ValueKind as, std::string bytes);
    void SetBytes(ValueKind as, std::string_view bytes) { SetBytes(as, std::string(bytes)); }
    // An empty array of elements of `of`.
    void SetArray(ValueKind of) {
        Release();
        StoreHead(static_cast<uint64_t>(ValueKind::Array) | static_cast<uint64_t>(of) << 8);
        bits_ = 0;
    }

    // A text's or picture's bytes (empty for any other kind).
    inline const std::string& bytes() const;
    // The bytes to change in place: this value's own copy from now on.
    std::string& EditBytes();
    // An array's elements (none for any other kind).
    inline const std::vector<Value>& items() const;
    // The elements to change in place: this array's own copy from now on.
    inline std::vector<Value>& EditItems();

private:
    void Release() noexcept {
        if (Counted() && body_ != nullptr) Drop();
    }
    // The kind, element and date as one word (little-endian: the kind in its low byte).
    uint64_t LoadHead() const {
        uint64_t word;
        std::memcpy(&word, static_cast<const void*>(this), sizeof word);
        return word;
    }
    void StoreHead(uint64_t word) { std::memcpy(static_cast<void*>(this), &word, sizeof word); }
    void Drop() noexcept;  // gives up this value's share of its body
};
static_assert(sizeof(Value) == 16, "a value is 16 bytes");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "a value's words are laid out little-endian");

// The shared bodies of values; the count comes first in both, where Value's copy reaches it.
struct TextBody {
    int32_t refs = 1;   // values sharing these bytes
    std::string bytes;  // the text or picture data
};
struct ArrayBody {
    int32_t refs = 1;          // values sharing these elements
    std::vector<Value> items;  // the elements, element 1 first
};

extern const std::string kNoBytes;        // the bytes of a value that has none
extern const std::vector<Value> kNoItems;  // the elements of an empty array

inline const std::string& Value::bytes() const {
    if ((kind != ValueKind::Text && kind != ValueKind::Picture) || body_ == nullptr) return kNoBytes;
    return static_cast<const TextBody*>(body_)->bytes;
}

inline const std::vector<Value>& Value::items() const {
    if (kind != ValueKind::Array || body_ == nullptr) return kNoItems;
    return static_cast<const ArrayBody*>(body_)->items;
}

inline std::vector<Value>& Value::EditItems() {
    auto* body = static_cast<ArrayBody*>(body_);
    if (body == nullptr) {
        body_ = body = new ArrayBody{};
    } else if (body->refs > 1) {
        --body->refs;
        body_ = body = new ArrayBody{1, body->items};
    }
    return body->items;
}

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

struct Node;
struct Step;
struct Engine;
using Block = std::vector<Step>;

// Method frames: slices of blocks of values that are kept once made, so a call takes its frame
// without allocating and a frame never moves while it is in use. Values above the top are empty.
struct FrameStack {
    std::vector<std::unique_ptr<Value[]>> blocks;  // the blocks made so far
    std::vector<size_t> sizes;                     // each block's number of values
    size_t block = 0;                              // the block the top is in
    size_t top = 0;                                // the first free value of that block
    Value* base = nullptr;                         // that block's values
    size_t size = 0;                               // and their number
};

// The interpreter is one flow of a script: the running method's frame, its frame stack, its fault
// and its Try state live here; the `<>` globals are shared through a pointer, so another flow of the
// same script (a process) is one more Interpreter sharing them (ShareGlobals).
class Interpreter {
public:
    Interpreter(PluginLink& plugin, std::FILE* out);
    ~Interpreter();
    Interpreter(const Interpreter&) = delete;
    Interpreter& operator=(const Interpreter&) = delete;

    // The script's own arguments (Argument(n)), and the flag that asks a running script to stop.
    void SetArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
    void SetStopFlag(const volatile sig_atomic_t* flag) { stop_ = flag; }
    // Makes this flow use the `<>` globals of another flow of the same program.
    void ShareGlobals(const Interpreter& other) { globals_ = other.globals_; }
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
    // and scheduler, and has variables, frames and compiled code of its own.
    std::unique_ptr<Interpreter> Offspring() const;
    const Fault& fault() const { return fault_; }
    bool stopped() const { return stopped_; }

    static constexpr int kMostMethodDepth = 1000;  // methods running inside one another

    // Closes the documents a flow left open (DocumentTable::kEveryOwner: all of them): a process's
    // when it ends, the main flow's when the script ends. Each flow keeps its own documents.
    void CloseDocuments(int32_t process) { documents_.CloseAll(process); }

private:
    friend struct Engine;  // the compiled form and its routines (engine.cpp)

    // With a first block of frames of `firstFrameValues` values (Offspring's are small).
    Interpreter(PluginLink& plugin, std::FILE* out, size_t firstFrameValues);

    bool CallCommand(const Node& call, Value& result);
    bool CallBuiltin(const Node& call, Value& result);
    bool ArrayBuiltin(const Node& call, const Value* const* in, Value* changed, Value& result);
    bool FolderBuiltin(const Node& call, const std::string& folder, Value* changed);
    bool CallProcessBuiltin(const Node& call, Value& result);
    bool Eval(const Node& node, Value& out);
    // A stop signal, or a cancel the host asked for (Ctrl-C at the prompt; the cancelled command has
    // already ended), stops the flow: no Try catches it. An aborted process is one of these: the
    // scheduler asks the host to cancel whenever it hands the baton back to it.
    bool Stopping() {
        if ((stop_ != nullptr && *stop_ != 0) || HostCancelRequested() != 0) {
            stopped_ = true;
            return true;
        }
        return false;
    }
    // At the turn of a loop: the stop flag each time, the host's cancel every 1024 turns (a loop
    // that calls out looks at every statement that does).
    bool LoopStopping() {
        if (stop_ != nullptr && *stop_ != 0) return stopped_ = true;
        if (--loopTurns_ > 0) return false;
        loopTurns_ = 1024;
        return Stopping();
    }
    // After a call that may have given way to other processes: whether this one was aborted
    // meanwhile, and so ends here rather than running on to its next look.
    bool AbortedWhileAway() {
        if (scheduler_ == nullptr || scheduler_->live() < 2 || HostCancelRequested() == 0 || !scheduler_->Aborted()) return false;
        stopped_ = true;
        return true;
    }
    bool Fail(std::string message);
    void FindStackLimit();
    std::string NameOf(const Expr& variable) const;
    Value& Slot(const Expr& e) { return e.global ? (*globals_)[static_cast<size_t>(e.slot)] : frame_[e.slot]; }

    PluginLink& plugin_;
    std::FILE* out_;
    const Program* program_ = nullptr;
    std::shared_ptr<std::vector<Value>> globals_;  // the <>name variables, shared by the flows of a script
    std::vector<Value> main_;                      // the main statements' variables
    Value* frame_ = nullptr;                       // the running method's variables (or main_'s)
    FrameStack stack_;                             // the frames of the methods running
    std::unique_ptr<Block> mainCode_;              // the main statements, compiled
    std::vector<std::unique_ptr<Block>> methodCode_;  // each method's body, compiled at its first call
    const Statement* current_ = nullptr;           // the statement running, for messages
    int conditionLine_ = 0;                        // when not 0: the line of the condition being worked out
    int depth_ = 0;                                // methods running
    const char* stackLimit_ = nullptr;             // the lowest stack address a method call may start from
    Fault fault_;                                  // the error being raised
    Fault caught_;                                 // the last error a Try caught (ErrorText, ErrorLine)
    bool stopped_ = false;
    int loopTurns_ = 1024;                         // turns of loops until the host's cancel is looked at again
    std::vector<std::string> arguments_;
    const volatile sig_atomic_t* stop_ = nullptr;
    DocumentTable documents_;               // this flow's documents open by reference (CreateDocument ...)
    int32_t process_ = 0;                   // the process running: the owner of the documents it opens
    Scheduler* scheduler_ = nullptr;        // runs the processes; shared by all of them
};

}  // namespace zor::shell

#endif  // ZOR_SHELL_HOST_H
