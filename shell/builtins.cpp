// builtins.cpp: the host's built-in routines: output, texts and numbers, time, files, arrays, errors.
#include <sys/stat.h>
#include <time.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "shell/host.h"
#include "shell/macroman.h"
#include "shell/reference.h"

namespace zor::shell {
namespace {

constexpr uint32_t kSecondsFrom1904To1970 = 2082844800u;

std::string HexOf(std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        out += kDigits[static_cast<unsigned char>(c) >> 4];
        out += kDigits[static_cast<unsigned char>(c) & 15];
    }
    return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Text to number: blanks, an optional sign, decimal digits; stops at the first other byte; wraps.
int32_t NumberOf(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && IsBlank(text[at])) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
    uint32_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') value = value * 10u + static_cast<uint32_t>(text[at++] - '0');
    return static_cast<int32_t>(negative ? 0u - value : value);
}

// The default value of an array element of a kind.
Value Blank(ValueKind kind) {
    Value v;
    v.kind = kind;
    return v;
}

ValueKind ElementOf(Builtin b) {
    switch (b) {
        case Builtin::ArrayInteger: return ValueKind::Integer;
        case Builtin::ArrayText: return ValueKind::Text;
        case Builtin::ArrayDate: return ValueKind::Date;
        case Builtin::ArrayPicture: return ValueKind::Picture;
        default: return ValueKind::Boolean;
    }
}

std::string ArrayKindName(ValueKind element) {
    switch (element) {
        case ValueKind::Integer: return "an array of integers";
        case ValueKind::Text: return "an array of texts";
        case ValueKind::Date: return "an array of dates";
        case ValueKind::Picture: return "an array of pictures";
        default: return "an array of booleans";
    }
}

}  // namespace

bool Interpreter::CallBuiltin(const Expr& e, Value& result) {
    const BuiltinSpec& spec = SpecOf(e.builtin);
    const std::string& name = e.text;

    if (e.builtin == Builtin::Print) {
        std::string line;
        for (size_t i = 0; i < e.args.size(); ++i) {
            Value v;
            const Value* shown = &v;
            const Expr& arg = e.args[i];
            if (arg.form == Expr::Form::Variable && Slot(arg).kind != ValueKind::None) shown = &Slot(arg);
            else if (!Eval(arg, v)) return false;
            if (shown->kind == ValueKind::None) return Fail("argument " + std::to_string(i + 1) + " of " + name + " gives no value");
            if (i > 0) line += '\t';
            line += FormatValue(*shown);
        }
        line += '\n';
        if (std::fwrite(line.data(), 1, line.size(), out_) != line.size() || std::fflush(out_) != 0)
            return Fail(std::string("cannot write the output: ") + std::strerror(errno));
        result.kind = ValueKind::None;
        return true;
    }

    if (e.builtin >= Builtin::NewProcess) return CallProcessBuiltin(e, result);

    // Arguments: variables the built-in changes are reached in place, the others worked out.
    Value args[3];
    const Value* in[3] = {&args[0], &args[1], &args[2]};  // each argument's value, in place for variables
    Value* changed = nullptr;
    for (size_t i = 0; i < e.args.size(); ++i) {
        const Expr& arg = e.args[i];
        const char letter = ArgLetter(spec, i);
        const std::string where = "argument " + std::to_string(i + 1) + " of " + name;
        if (letter == 'A') {
            changed = &Slot(arg);
            continue;
        }
        if (arg.form == Expr::Form::Variable && Slot(arg).kind != ValueKind::None) in[i] = &Slot(arg);
        else if (!Eval(arg, args[i])) return false;
        if (!ArgKindFits(letter, in[i]->kind)) {
            std::string message = where + " wants " + ArgKindName(letter) + ", not " + KindName(in[i]->kind);
            if (arg.form == Expr::Form::Variable) message += " (" + NameOf(arg) + ")";
            return Fail(message);
        }
    }
    const size_t count = e.args.size();
    const Value& a0 = *in[0];
    const Value& a1 = *in[1];
    const Value& a2 = *in[2];
    const std::string& text = a0.bytes;
    auto giveText = [&](std::string bytes) {
        if (bytes.size() > kMostTextBytes)
            return Fail("a text of " + std::to_string(bytes.size()) + " bytes is longer than a text may be (32767)");
        result.kind = ValueKind::Text;
        result.bytes = std::move(bytes);
        return true;
    };
    auto giveInteger = [&](int32_t n) {
        result.kind = ValueKind::Integer;
        result.integer = n;
        return true;
    };
    auto giveBoolean = [&](bool b) {
        result.kind = ValueKind::Boolean;
        result.integer = b ? 1 : 0;
        return true;
    };
    auto nothing = [&]() {
        result.kind = ValueKind::None;
        return true;
    };
    // A path as the system spells it: the host's Mac Roman text as UTF-8.
    auto path = [&](const Value& v) { return MacRomanToUtf8(v.bytes); };
    const bool raw = count > 1 && in[count - 1]->kind == ValueKind::Boolean && in[count - 1]->integer != 0;

    switch (e.builtin) {
        case Builtin::Print: break;
        case Builtin::Hex: return giveText(HexOf(text));
        case Builtin::Length: return giveInteger(static_cast<int32_t>(text.size()));
        case Builtin::Picture: {
            std::string data, error;
            if (!PictureFromImageFile(path(a0), data, error)) return Fail(error);
            result.kind = ValueKind::Picture;
            result.bytes = std::move(data);
            return true;
        }
        case Builtin::Substring: {
            int64_t start = a1.integer < 1 ? 1 : a1.integer;
            if (start > static_cast<int64_t>(text.size())) return giveText("");
            int64_t n = count > 2 ? a2.integer : static_cast<int64_t>(text.size());
            if (n < 0) n = 0;
            return giveText(text.substr(static_cast<size_t>(start - 1), static_cast<size_t>(n)));
        }
        case Builtin::Position: {
            const std::string& in = a1.bytes;
            const int64_t start = count > 2 ? (a2.integer < 1 ? 1 : a2.integer) : 1;
            if (text.empty() || start > static_cast<int64_t>(in.size())) return giveInteger(0);
            const size_t at = in.find(text, static_cast<size_t>(start - 1));
            return giveInteger(at == std::string::npos ? 0 : static_cast<int32_t>(at + 1));
        }
        case Builtin::ReplaceString: {
            const std::string& from = a1.bytes;
            const std::string& to = a2.bytes;
            if (from.empty()) return giveText(text);
            std::string out;
            size_t at = 0;
            while (true) {
                const size_t found = text.find(from, at);
                if (found == std::string::npos) break;
                out.append(text, at, found - at).append(to);
                at = found + from.size();
                if (out.size() > kMostTextBytes) break;  // too long already: the size check below says so
            }
            out.append(text, at, std::string::npos);
            return giveText(std::move(out));
        }
        case Builtin::Uppercase:
        case Builtin::Lowercase: {
            std::string out = text;
            for (char& c : out) {
                if (e.builtin == Builtin::Uppercase && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
                if (e.builtin == Builtin::Lowercase && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            }
            return giveText(std::move(out));
        }
        case Builtin::Char:
            if (a0.integer < 0 || a0.integer > 255)
                return Fail(name + " wants a code from 0 to 255, not " + std::to_string(a0.integer));
            return giveText(std::string(1, static_cast<char>(a0.integer)));
        case Builtin::CharCode:
            if (text.empty()) return Fail(name + " of an empty text");
            return giveInteger(static_cast<unsigned char>(text[0]));
        case Builtin::String:
            if (a0.kind == ValueKind::Text) return giveText(text);
            if (a0.kind == ValueKind::Picture || a0.kind == ValueKind::Array)
                return Fail(name + " wants an integer, a text, a date or a boolean, not " + KindName(a0.kind));
            return giveText(FormatValue(a0));
        case Builtin::Num:
            if (a0.kind == ValueKind::Text) return giveInteger(NumberOf(text));
            if (a0.kind == ValueKind::Integer || a0.kind == ValueKind::Boolean) return giveInteger(a0.integer);
            return Fail(name + " wants a text, an integer or a boolean, not " + KindName(a0.kind));
        case Builtin::Trim: {
            size_t from = 0, to = text.size();
            while (from < to && IsBlank(text[from])) ++from;
            while (to > from && IsBlank(text[to - 1])) --to;
            return giveText(text.substr(from, to - from));
        }
        case Builtin::True: return giveBoolean(true);
        case Builtin::False: return giveBoolean(false);
        case Builtin::Not: return giveBoolean(a0.integer == 0);
        case Builtin::CurrentDate:
        case Builtin::CurrentTime: {
            const time_t now = time(nullptr);
            struct tm local {};
            localtime_r(&now, &local);
            if (e.builtin == Builtin::CurrentTime) return giveInteger(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
            result.kind = ValueKind::Date;
            result.date[0] = static_cast<int16_t>(local.tm_mday);
            result.date[1] = static_cast<int16_t>(local.tm_mon + 1);
            result.date[2] = static_cast<int16_t>(local.tm_year + 1900);
            return true;
        }
        case Builtin::CurrentSeconds:
            // GMT seconds from 1904 as the plug-in's date commands take them (unsigned 32 bits, wrapped).
            return giveInteger(static_cast<int32_t>(static_cast<uint32_t>(time(nullptr)) + kSecondsFrom1904To1970));
        case Builtin::Delay: {
            // Other processes run meanwhile, and socket events reach the plug-in.
            const uint32_t end = HostTicks() + static_cast<uint32_t>(a0.integer > 0 ? a0.integer : 0);
            while (static_cast<int32_t>(end - HostTicks()) > 0) {
                if (Stopping()) return false;
                if (scheduler_ != nullptr) {
                    HostYield();
                    const int32_t left = static_cast<int32_t>(end - HostTicks());
                    if (left > 0) scheduler_->GiveWay(ProcessStatus::Delayed, -1, 0, static_cast<uint32_t>(left));
                } else {
                    HostYieldWaiting(-1, 0, end - HostTicks());
                }
            }
            return nothing();
        }
        case Builtin::ReadFile: {
            const std::string file = path(a0);
            std::string bytes, why;
            const size_t most = raw ? kMostTextBytes : 3 * kMostTextBytes;  // a Mac Roman byte is 3 UTF-8 bytes at most
            if (!ReadWholeFile(file, bytes, why, most)) return Fail("cannot read " + file + ": " + why);
            if (bytes.size() > most) return Fail(file + " is longer than a text may be (32767 bytes)");
            if (raw) return giveText(std::move(bytes));
            std::string converted;
            size_t bad = 0;
            if (!Utf8ToMacRoman(bytes, converted, bad))
                return Fail(file + " is not UTF-8 text in Mac Roman's repertoire (at byte " + std::to_string(bad) + ")");
            return giveText(std::move(converted));
        }
        case Builtin::WriteFile:
        case Builtin::AppendFile: {
            const std::string file = path(a0);
            const std::string bytes = raw ? a1.bytes : MacRomanToUtf8(a1.bytes);
            std::FILE* f = std::fopen(file.c_str(), e.builtin == Builtin::WriteFile ? "wb" : "ab");
            if (f == nullptr) return Fail("cannot write " + file + ": " + std::strerror(errno));
            const bool wrote = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
            const int saved = errno;
            const bool closed = std::fclose(f) == 0;
            if (!wrote || !closed) return Fail("cannot write " + file + ": " + std::strerror(wrote ? errno : saved));
            return nothing();
        }
        case Builtin::FileExists: {
            struct stat st {};
            return giveBoolean(stat(path(a0).c_str(), &st) == 0);
        }
        case Builtin::FileSize: {
            // A regular file's bytes (capped at the largest integer); -1 for none, or a folder.
            struct stat st {};
            if (stat(path(a0).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return giveInteger(-1);
            return giveInteger(st.st_size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(st.st_size));
        }
        case Builtin::DeleteFile: {
            const std::string file = path(a0);
            if (unlink(file.c_str()) != 0) return Fail("cannot delete " + file + ": " + std::strerror(errno));
            return nothing();
        }
        case Builtin::ArrayInteger:
        case Builtin::ArrayText:
        case Builtin::ArrayDate:
        case Builtin::ArrayPicture:
        case Builtin::ArrayBoolean: {
            const ValueKind element = ElementOf(e.builtin);
            if (changed->kind == ValueKind::None) {
                changed->kind = ValueKind::Array;
                changed->element = element;
            }
            if (changed->kind != ValueKind::Array || changed->element != element)
                return Fail(NameOf(e.args[0]) + " holds " +
                            (changed->kind == ValueKind::Array ? ArrayKindName(changed->element) : KindName(changed->kind)) +
                            ", not " + ArrayKindName(element));
            if (a1.integer < 0) return Fail("an array cannot have " + std::to_string(a1.integer) + " elements");
            changed->items.resize(static_cast<size_t>(a1.integer), Blank(element));
            return nothing();
        }
        case Builtin::SizeOfArray: return giveInteger(static_cast<int32_t>(a0.items.size()));
        case Builtin::AppendToArray:
        case Builtin::InsertInArray:
        case Builtin::DeleteFromArray: {
            const std::string array = NameOf(e.args[0]);
            if (changed->kind != ValueKind::Array)
                return Fail(array + (changed->kind == ValueKind::None ? " is not defined" : " is not an array"));
            std::vector<Value>& items = changed->items;
            if (e.builtin == Builtin::AppendToArray) {
                if (a1.kind != changed->element)
                    return Fail("an element of " + array + " is " + KindName(changed->element) + ", not " + KindName(a1.kind));
                items.push_back(a1);
                return nothing();
            }
            const int64_t at = a1.integer;
            const int64_t n = count > 2 ? a2.integer : 1;
            const int64_t size = static_cast<int64_t>(items.size());
            const int64_t last = e.builtin == Builtin::InsertInArray ? size + 1 : size;
            if (at < 1 || at > last)
                return Fail("index " + std::to_string(at) + " is out of range for " + array + " (1 to " + std::to_string(last) + ")");
            if (n < 0) return Fail(name + " cannot take " + std::to_string(n) + " elements");
            if (e.builtin == Builtin::InsertInArray) {
                if (size + n > 10000000) return Fail("an array of more than 10000000 elements");
                items.insert(items.begin() + (at - 1), static_cast<size_t>(n), Blank(changed->element));
            } else {
                const int64_t end = at - 1 + n < size ? at - 1 + n : size;
                items.erase(items.begin() + (at - 1), items.begin() + end);
            }
            return nothing();
        }
        case Builtin::ErrorText: {
            std::string converted;
            size_t bad = 0;
            const std::string& message = caught_.message;
            return giveText((Utf8ToMacRoman(message, converted, bad) ? converted : message).substr(0, kMostTextBytes));
        }
        case Builtin::ErrorLine: return giveInteger(caught_.line);
        case Builtin::Throw: return Fail(MacRomanToUtf8(text));
        case Builtin::Argument: {
            const int32_t n = a0.integer;
            if (n < 1 || static_cast<size_t>(n) > arguments_.size())
                return Fail("there is no argument " + std::to_string(n) + " (the script has " +
                            std::to_string(arguments_.size()) + ")");
            std::string converted;
            size_t bad = 0;
            const std::string& given = arguments_[static_cast<size_t>(n - 1)];
            return giveText(Utf8ToMacRoman(given, converted, bad) ? converted : given);
        }
        case Builtin::ArgumentCount: return giveInteger(static_cast<int32_t>(arguments_.size()));
        case Builtin::Environment: {
            const char* value = std::getenv(path(a0).c_str());
            std::string converted;
            size_t bad = 0;
            const std::string given = value != nullptr ? value : "";
            return giveText(Utf8ToMacRoman(given, converted, bad) ? converted : given);
        }
        case Builtin::NewProcess:
        case Builtin::CurrentProcess:
        case Builtin::ProcessState:
        case Builtin::AbortProcess:
        case Builtin::Semaphore:
        case Builtin::ClearSemaphore: break;  // CallProcessBuiltin
        case Builtin::StatusText: {
            // The command's own line for the number when a command is named and lists it, else
            // the number's shared name, else an empty text.
            const char* meaning = nullptr;
            if (count > 1) {
                const CommandSpec* c = nullptr;
                for (const CommandSpec& candidate : kCommands)
                    if (strcasecmp(candidate.name, a1.bytes.c_str()) == 0) c = &candidate;
                if (c == nullptr) return Fail("no command is named " + MacRomanToUtf8(a1.bytes));
                meaning = zor::shell::StatusText(c->selector, a0.integer);
            }
            if (meaning == nullptr) meaning = zor::shell::StatusText(a0.integer);
            return giveText(meaning != nullptr ? meaning : "");
        }
    }
    return Fail("unknown built-in " + name);
}

// NewProcess, CurrentProcess, ProcessState, AbortProcess, Semaphore, ClearSemaphore.
bool Interpreter::CallProcessBuiltin(const Expr& e, Value& result) {
    const BuiltinSpec& spec = SpecOf(e.builtin);
    const std::string& name = e.text;
    std::vector<Value> args(e.args.size());
    for (size_t i = 0; i < e.args.size(); ++i) {
        if (!Eval(e.args[i], args[i])) return false;
        const char letter = ArgLetter(spec, i);
        if (!ArgKindFits(letter, args[i].kind))
            return Fail("argument " + std::to_string(i + 1) + " of " + name + " wants " + ArgKindName(letter) + ", not " +
                        KindName(args[i].kind));
    }
    result.kind = ValueKind::None;
    if (scheduler_ == nullptr) return Fail(name + " needs zor-host's processes");
    switch (e.builtin) {
        case Builtin::NewProcess: {
            std::string key = args[0].bytes;
            for (char& c : key)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            const auto found = program_->methodIndex.find(key);
            if (found == program_->methodIndex.end()) return Fail("no method is named " + MacRomanToUtf8(args[0].bytes));
            const Method& m = program_->methods[static_cast<size_t>(found->second)];
            const size_t given = args.size() - 2;
            if (given > static_cast<size_t>(m.parameters))
                return Fail(m.name + " takes " + std::to_string(m.parameters) + " parameters, not " + std::to_string(given));
            const std::string processName = MacRomanToUtf8(args[1].bytes);
            std::vector<Value> parameters(std::make_move_iterator(args.begin() + 2), std::make_move_iterator(args.end()));
            auto flow = std::make_shared<Interpreter>(Offspring());
            Scheduler* scheduler = scheduler_;
            const int32_t method = found->second;
            const int32_t number = scheduler_->Start(processName, [flow, scheduler, method, processName,
                                                                   parameters = std::move(parameters)]() mutable {
                if (flow->RunProcess(method, std::move(parameters)) || flow->stopped()) return;
                const Fault& f = flow->fault();
                std::fflush(stdout);
                std::fprintf(stderr, "%s:%d: %s (process %s)\n", f.file.c_str(), f.line, f.message.c_str(), processName.c_str());
                scheduler->NoteFailure();
            });
            if (number == 0) return Fail("cannot start process " + processName + ": no thread to be had");
            result.kind = ValueKind::Integer;
            result.integer = number;
            return true;
        }
        case Builtin::CurrentProcess:
            result.kind = ValueKind::Integer;
            result.integer = scheduler_->Current();
            return true;
        case Builtin::ProcessState:
            result.kind = ValueKind::Integer;
            result.integer = scheduler_->State(args[0].integer);
            return true;
        case Builtin::AbortProcess: (void)scheduler_->Abort(args[0].integer); return true;
        case Builtin::Semaphore: {
            const int32_t ticks = args.size() > 1 ? args[1].integer : 0;
            result.kind = ValueKind::Boolean;
            result.integer = scheduler_->TakeSemaphore(args[0].bytes, static_cast<uint32_t>(ticks > 0 ? ticks : 0)) ? 1 : 0;
            return true;
        }
        case Builtin::ClearSemaphore: scheduler_->ClearSemaphore(args[0].bytes); return true;
        default: break;
    }
    return Fail("unknown built-in " + name);
}

}  // namespace zor::shell
