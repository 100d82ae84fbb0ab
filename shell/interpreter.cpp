// interpreter.cpp: runs statements: variables, parameter blocks for the plug-in, results, built-ins.
#include <array>
#include <cstring>
#include <vector>

#include "shell/host.h"
#include "shell/macroman.h"

namespace zor::shell {

// ---- Values ----------------------------------------------------------------------------------------

Value::Value(Value&& other) noexcept { *this = std::move(other); }

Value& Value::operator=(Value&& other) noexcept {
    if (this == &other) return *this;
    Release();
    kind = other.kind;
    integer = other.integer;
    text = other.text;
    picture = other.picture;
    std::memcpy(date, other.date, sizeof date);
    other.kind = ValueKind::None;
    other.text = {0, nullptr};
    other.picture = nullptr;
    return *this;
}

void Value::Release() {
    if (text.handle != nullptr) HostDisposeHandle(text.handle);
    if (picture != nullptr) HostDisposeHandle(picture);
    text = {0, nullptr};
    picture = nullptr;
    kind = ValueKind::None;
}

std::string_view TextBytes(const TextBlock& text) {
    if (text.handle == nullptr || *text.handle == nullptr || text.length <= 0) return {};
    const int32_t size = HostGetHandleSize(text.handle);
    const int32_t n = text.length < size ? text.length : size;
    return n > 0 ? std::string_view(*text.handle, static_cast<size_t>(n)) : std::string_view();
}

std::string_view PictureBytes(HostHandle picture) {
    if (picture == nullptr || *picture == nullptr) return {};
    const int32_t size = HostGetHandleSize(picture);
    return size > 0 ? std::string_view(*picture, static_cast<size_t>(size)) : std::string_view();
}

namespace {

constexpr int32_t kMostTextBytes = 32767;  // a TextBlock's count is a signed 16-bit number

// A new handle holding the bytes, or null when memory is short.
HostHandle HandleWith(std::string_view bytes) {
    HostHandle h = HostNewHandle(static_cast<int32_t>(bytes.size()));
    if (h != nullptr && !bytes.empty()) std::memcpy(*h, bytes.data(), bytes.size());
    return h;
}

bool MakeText(std::string_view bytes, Value& v, std::string& error) {
    if (bytes.size() > static_cast<size_t>(kMostTextBytes)) {
        error = "a text of " + std::to_string(bytes.size()) + " bytes is longer than a text may be (32767)";
        return false;
    }
    HostHandle h = HandleWith(bytes);
    if (h == nullptr) {
        error = "out of host memory";
        return false;
    }
    v.Release();
    v.kind = ValueKind::Text;
    v.text = {static_cast<int16_t>(bytes.size()), h};
    return true;
}

// Replaces a text's bytes, keeping the variable's place (a handle the plug-in gave back is reused).
bool SetTextBytes(Value& v, std::string_view bytes, std::string& error) {
    if (v.text.handle == nullptr) return MakeText(bytes, v, error);
    HostSetHandleSize(v.text.handle, static_cast<int32_t>(bytes.size()));
    if (HostMemoryError() != HostNoErr) {
        error = "out of host memory";
        return false;
    }
    if (!bytes.empty()) std::memcpy(*v.text.handle, bytes.data(), bytes.size());
    v.text.length = static_cast<int16_t>(bytes.size());
    return true;
}

// A fresh value of a kind, as an output variable starts.
bool NewOfKind(ValueKind kind, Value& v, std::string& error) {
    v.Release();
    if (kind == ValueKind::Text) return MakeText({}, v, error);
    v.kind = kind;
    return true;
}

std::string Where(size_t index, const char* name) { return "argument " + std::to_string(index + 1) + " of " + name; }

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

}  // namespace

std::string FormatValue(const Value& value) {
    char buffer[48];
    switch (value.kind) {
        case ValueKind::None: return "";
        case ValueKind::Integer: return std::to_string(value.integer);
        case ValueKind::Date:
            std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", value.date[2], value.date[1], value.date[0]);
            return buffer;
        case ValueKind::Picture:
            return "<picture " + std::to_string(PictureBytes(value.picture).size()) + " bytes>";
        case ValueKind::Text: break;
    }
    std::string out;
    for (const char ch : TextBytes(value.text)) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
            out += buffer;
        } else {
            AppendUtf8(out, MacRomanToUnicode(c));
        }
    }
    return out;
}

void PluginLink::Call(int32_t selector, void** params, void* result) {
    if (trace) std::fprintf(stderr, "zor-host: call %d\n", static_cast<int>(selector));
    entry(selector, params, &globals, result);
}

// ---- Statements ------------------------------------------------------------------------------------

bool Interpreter::Run(const Statement& statement, bool echo, std::string& error) {
    Value value;
    if (statement.target.empty()) {
        if (!Evaluate(statement.value, value, error)) return false;
        if (echo && value.kind != ValueKind::None) std::fprintf(out_, "%s\n", FormatValue(value).c_str());
        return true;
    }
    if (!Evaluate(statement.value, value, error)) return false;
    auto found = variables_.find(statement.target);
    if (found != variables_.end() && found->second.kind != value.kind) {
        error = "$" + statement.target + " holds " + KindName(found->second.kind) + ", not " + KindName(value.kind);
        return false;
    }
    if (echo) std::fprintf(out_, "%s\n", FormatValue(value).c_str());
    variables_[statement.target] = std::move(value);
    return true;
}

bool Interpreter::Copy(const Value& from, Value& to, std::string& error) {
    to.Release();
    switch (from.kind) {
        case ValueKind::Text: return MakeText(TextBytes(from.text), to, error);
        case ValueKind::Picture:
            if (from.picture != nullptr) {
                to.picture = HandleWith(PictureBytes(from.picture));
                if (to.picture == nullptr) {
                    error = "out of host memory";
                    return false;
                }
            }
            break;
        default: break;
    }
    to.kind = from.kind;
    to.integer = from.integer;
    std::memcpy(to.date, from.date, sizeof to.date);
    return true;
}

bool Interpreter::Reach(const Expr& e, Value& scratch, const Value*& value, std::string& error) {
    if (e.form != Expr::Form::Variable) {
        value = &scratch;
        return Evaluate(e, scratch, error);
    }
    const auto found = variables_.find(e.text);
    if (found == variables_.end()) {
        error = "$" + e.text + " is not defined";
        return false;
    }
    value = &found->second;
    return true;
}

bool Interpreter::Evaluate(const Expr& e, Value& out, std::string& error) {
    out.Release();
    switch (e.form) {
        case Expr::Form::Empty: return true;
        case Expr::Form::Integer:
            out.kind = ValueKind::Integer;
            out.integer = e.integer;
            return true;
        case Expr::Form::Text: return MakeText(e.text, out, error);
        case Expr::Form::Date:
            out.kind = ValueKind::Date;
            std::memcpy(out.date, e.date, sizeof out.date);
            return true;
        case Expr::Form::Variable: {
            const auto found = variables_.find(e.text);
            if (found == variables_.end()) {
                error = "$" + e.text + " is not defined";
                return false;
            }
            return Copy(found->second, out, error);
        }
        case Expr::Form::Command: return CallCommand(e, out, error);
        case Expr::Form::Builtin: return CallBuiltin(e, out, error);
    }
    return false;
}

// ---- Commands of the plug-in -----------------------------------------------------------------------

// Builds the parameter block (one address per argument of the table, 0 for those left out), calls the
// plug-in and takes back outputs and result.
bool Interpreter::CallCommand(const Expr& e, Value& result, std::string& error) {
    const CommandSpec& c = *e.command;
    const size_t total = static_cast<size_t>(ArgCount(c));
    const size_t given = e.args.size();
    std::vector<Value> temps(given);                          // inputs that are not variables
    std::vector<std::array<unsigned char, 256>> strings(given);  // counted strings of string arguments
    std::vector<Value*> sources(given, nullptr);
    std::vector<void*> params(total + 1, nullptr);

    // Inputs first: nested calls run before any address into a variable is taken.
    for (size_t i = 0; i < given; ++i) {
        const Expr& arg = e.args[i];
        if (arg.form == Expr::Form::Empty || arg.form == Expr::Form::Variable) continue;
        if (!Evaluate(arg, temps[i], error)) return false;
        sources[i] = &temps[i];
    }
    for (size_t i = 0; i < given; ++i) {
        const Expr& arg = e.args[i];
        if (arg.form == Expr::Form::Empty) continue;
        const ArgSpec a = Arg(c, static_cast<int>(i));
        const ValueKind wanted = KindOfArg(a.kind);
        if (arg.form == Expr::Form::Variable) {
            auto found = variables_.find(arg.text);
            if (found == variables_.end()) {
                if (!a.output) {
                    error = Where(i, c.name) + ": $" + arg.text + " is not defined";
                    return false;
                }
                found = variables_.emplace(arg.text, Value()).first;
                if (!NewOfKind(wanted, found->second, error)) return false;
            }
            sources[i] = &found->second;
        }
        Value& v = *sources[i];
        if (v.kind != wanted) {
            error = Where(i, c.name) + " wants " + KindName(wanted) + ", not " + KindName(v.kind);
            if (arg.form == Expr::Form::Variable) error += " ($" + arg.text + ")";
            return false;
        }
        switch (a.kind) {
            case ArgKind::Integer:
            case ArgKind::Short: params[i] = &v.integer; break;
            case ArgKind::Text: params[i] = &v.text; break;
            case ArgKind::Picture: params[i] = &v.picture; break;
            case ArgKind::Date: params[i] = v.date; break;
            case ArgKind::String: {
                const std::string_view bytes = TextBytes(v.text);
                unsigned char* s = strings[i].data();
                std::memset(s, 0, 256);
                if (bytes.size() <= 255) {
                    s[0] = static_cast<unsigned char>(bytes.size());
                    if (!bytes.empty()) std::memcpy(s + 1, bytes.data(), bytes.size());
                } else if (!a.output) {
                    error = Where(i, c.name) + " is a string: a text of " + std::to_string(bytes.size()) +
                            " bytes is too long for it (255 at most)";
                    return false;
                }
                params[i] = s;
                break;
            }
        }
    }

    // The result slot is pointer-sized; string and text results go to buffers of the host.
    alignas(8) unsigned char slot[8] = {0};
    std::array<unsigned char, 256> stringResult{};
    TextBlock textResult{0, nullptr};
    if (c.result == ResultKind::String) {
        unsigned char* address = stringResult.data();
        std::memcpy(slot, &address, sizeof address);
    } else if (c.result == ResultKind::Text) {
        TextBlock* address = &textResult;
        std::memcpy(slot, &address, sizeof address);
    }
    plugin_.Call(c.selector, params.data(), slot);

    // Outputs: shorts sign-extended from the two bytes the plug-in wrote, strings back into texts.
    bool ok = true;
    for (size_t i = 0; i < given; ++i) {
        const ArgSpec a = Arg(c, static_cast<int>(i));
        if (!a.output || params[i] == nullptr) continue;
        Value& v = *sources[i];
        if (a.kind == ArgKind::Short) {
            int16_t half;
            std::memcpy(&half, &v.integer, sizeof half);
            v.integer = half;
        } else if (a.kind == ArgKind::String) {
            const unsigned char* s = strings[i].data();
            if (ok) ok = SetTextBytes(v, std::string_view(reinterpret_cast<const char*>(s + 1), s[0]), error);
        } else if (a.kind == ArgKind::Text && v.text.handle == nullptr) {
            if (ok) ok = MakeText({}, v, error);
        }
    }

    result.Release();
    switch (c.result) {
        case ResultKind::None: break;
        case ResultKind::Integer:
            result.kind = ValueKind::Integer;
            std::memcpy(&result.integer, slot, sizeof result.integer);
            break;
        case ResultKind::String:
            if (ok) ok = MakeText(std::string_view(reinterpret_cast<const char*>(stringResult.data() + 1),
                                                   stringResult[0]), result, error);
            break;
        case ResultKind::Text:
            // The handle is the host's from now on; a command that wrote nothing gives an empty text.
            result.kind = ValueKind::Text;
            result.text = textResult;
            if (result.text.length < 0) result.text.length = 0;
            if (result.text.handle == nullptr && ok) ok = MakeText({}, result, error);
            break;
        case ResultKind::Picture:
            result.kind = ValueKind::Picture;
            std::memcpy(&result.picture, slot, sizeof result.picture);
            break;
    }
    return ok;
}

// ---- Built-ins -------------------------------------------------------------------------------------

bool Interpreter::CallBuiltin(const Expr& e, Value& result, std::string& error) {
    result.Release();
    if (e.builtin == Builtin::Print) {
        std::string line;
        for (size_t i = 0; i < e.args.size(); ++i) {
            Value scratch;
            const Value* v = nullptr;
            if (!Reach(e.args[i], scratch, v, error)) return false;
            if (i > 0) line += '\t';
            line += FormatValue(*v);
        }
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), out_);
        std::fflush(out_);
        return true;
    }

    Value scratch;
    const Value* v = nullptr;
    if (!Reach(e.args[0], scratch, v, error)) return false;
    const char* name = e.builtin == Builtin::Hex ? "hex" : e.builtin == Builtin::Length ? "length" : "picture";
    if (e.builtin == Builtin::Picture) {
        if (v->kind != ValueKind::Text) {
            error = Where(0, name) + " wants a text, not " + KindName(v->kind);
            return false;
        }
        std::string data;
        if (!PictureFromImageFile(MacRomanToUtf8(TextBytes(v->text)), data, error)) return false;
        result.picture = HandleWith(data);
        if (result.picture == nullptr) {
            error = "out of host memory";
            return false;
        }
        result.kind = ValueKind::Picture;
        return true;
    }
    if (v->kind != ValueKind::Text && v->kind != ValueKind::Picture) {
        error = Where(0, name) + " wants a text or a picture, not " + KindName(v->kind);
        return false;
    }
    const std::string_view bytes = v->kind == ValueKind::Text ? TextBytes(v->text) : PictureBytes(v->picture);
    if (e.builtin == Builtin::Length) {
        result.kind = ValueKind::Integer;
        result.integer = static_cast<int32_t>(bytes.size());
        return true;
    }
    return MakeText(HexOf(bytes), result, error);
}

}  // namespace zor::shell
