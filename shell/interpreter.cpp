// interpreter.cpp: the host's values (counted bodies, copy on write, how they print), faults, and calls
// of the plug-in (parameter blocks built from the host's values, outputs and results taken back).
#include <cstring>
#include <utility>

#include "shell/engine.h"
#include "shell/macroman.h"
#include "shell/reference.h"

namespace zor::shell {

// ---- Values ----------------------------------------------------------------------------------------

const std::string kNoBytes;
const std::vector<Value> kNoItems;

void Value::Drop() noexcept {
    if (kind == ValueKind::Array) {
        auto* body = static_cast<ArrayBody*>(body_);
        if (--body->refs == 0) delete body;
    } else {
        auto* body = static_cast<TextBody*>(body_);
        if (--body->refs == 0) delete body;
    }
    body_ = nullptr;
}

void Value::SetBytes(ValueKind as, std::string bytes) {
    if ((kind == ValueKind::Text || kind == ValueKind::Picture) && body_ != nullptr && static_cast<TextBody*>(body_)->refs == 1) {
        static_cast<TextBody*>(body_)->bytes = std::move(bytes);  // its own body: reused
        StoreHead(static_cast<uint64_t>(as));
        return;
    }
    Release();
    StoreHead(static_cast<uint64_t>(as));
    body_ = bytes.empty() ? nullptr : new TextBody{1, std::move(bytes)};
}

std::string& Value::EditBytes() {
    auto* body = static_cast<TextBody*>(body_);
    if (body == nullptr) {
        body_ = body = new TextBody{};
    } else if (body->refs > 1) {
        --body->refs;
        body_ = body = new TextBody{1, body->bytes};
    }
    return body->bytes;
}

std::string FormatValue(const Value& value) {
    char buffer[48];
    switch (value.kind) {
        case ValueKind::None: return "";
        case ValueKind::Integer: return std::to_string(value.integer);
        case ValueKind::Boolean: return value.integer != 0 ? "True" : "False";
        case ValueKind::Date:
            std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", value.date[2], value.date[1], value.date[0]);
            return buffer;
        case ValueKind::Picture: return "<picture " + std::to_string(value.bytes().size()) + " bytes>";
        case ValueKind::Array: {
            std::string out = "[";
            const std::vector<Value>& items = value.items();
            for (size_t i = 0; i < items.size(); ++i) out += (i > 0 ? "; " : "") + FormatValue(items[i]);
            return out + "]";
        }
        case ValueKind::Text: break;
    }
    std::string out;
    for (const char ch : value.bytes()) {
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
    if (trace) TraceBefore(stderr, selector, params);
    entry(selector, params, &globals, result);
    if (trace) TraceAfter(stderr, selector, params, result);
}

namespace {

// The valid bytes of a text the plug-in gave back (its count, bounded by its handle's size).
std::string_view TextBytes(const TextBlock& text) {
    if (text.handle == nullptr || *text.handle == nullptr || text.length <= 0) return {};
    const int32_t size = HostGetHandleSize(text.handle);
    const int32_t n = text.length < size ? text.length : size;
    return n > 0 ? std::string_view(*text.handle, static_cast<size_t>(n)) : std::string_view();
}

std::string_view HandleBytes(HostHandle h) {
    if (h == nullptr || *h == nullptr) return {};
    const int32_t size = HostGetHandleSize(h);
    return size > 0 ? std::string_view(*h, static_cast<size_t>(size)) : std::string_view();
}

// A new handle holding the bytes, or null when memory is short.
HostHandle HandleWith(std::string_view bytes) {
    HostHandle h = HostNewHandle(static_cast<int32_t>(bytes.size()));
    if (h != nullptr && !bytes.empty()) std::memcpy(*h, bytes.data(), bytes.size());
    return h;
}

std::string Where(size_t index, const std::string& name) { return "argument " + std::to_string(index + 1) + " of " + name; }

constexpr size_t kMostArgs = 8;
constexpr bool ArgsFit() {
    for (const CommandSpec& c : kCommands)
        if (static_cast<size_t>(ArgCount(c)) > kMostArgs) return false;
    return true;
}
static_assert(ArgsFit(), "a command has more arguments than a parameter block here holds");

}  // namespace

// ---- Running ---------------------------------------------------------------------------------------

bool Interpreter::Fail(std::string message) {
    if (fault_.message.empty()) {
        fault_.message = std::move(message);
        if (current_ != nullptr && program_ != nullptr) {
            fault_.line = conditionLine_ != 0 ? conditionLine_ : current_->line;
            fault_.file = program_->files[static_cast<size_t>(current_->file)];
        }
    }
    return false;
}

std::string Interpreter::NameOf(const Expr& variable) const {
    return (variable.global ? "<>" : "$") + variable.text;
}

// ---- Commands of the plug-in -----------------------------------------------------------------------

// Builds the parameter block (one address per argument of the table, 0 for those left out), calls the
// plug-in and takes back outputs and result. Handles made for the call are disposed of on every path.
bool Interpreter::CallCommand(const Node& call, Value& result) {
    const Expr& e = *call.expr;
    const CommandSpec& c = *e.command;
    const size_t given = e.args.size();
    void* params[kMostArgs + 1] = {};
    int32_t integers[kMostArgs];
    int16_t dates[kMostArgs][3];
    TextBlock texts[kMostArgs];
    HostHandle pictures[kMostArgs];
    unsigned char strings[kMostArgs][256];
    Value* outputs[kMostArgs] = {};
    HostHandle entered[kMostArgs] = {};  // the handle each output text or picture went in with
    struct Handles {  // every handle made for this call, disposed of when it ends
        HostHandle list[kMostArgs] = {};
        size_t count = 0;
        ~Handles() {
            for (size_t i = 0; i < count; ++i)
                if (list[i] != nullptr) HostDisposeHandle(list[i]);
        }
    } handles;

    // Inputs first: nested calls run before any address into a variable is taken.
    for (size_t i = 0; i < given; ++i) {
        const Expr& arg = e.args[i];
        const ArgSpec a = call.args[i].spec;
        if (arg.form == Expr::Form::Empty || a.output) continue;
        const ValueKind wanted = KindOfArg(a.kind);
        const Node& node = call.args[i];
        if (wanted == ValueKind::Integer && node.quick != nullptr && node.quick(node, *this, integers[i])) {
            params[i] = &integers[i];
            continue;
        }
        Value v;
        if (!Eval(node, v)) return false;
        if (v.kind != wanted) {
            std::string message = Where(i, e.text) + " wants " + KindName(wanted) + ", not " + KindName(v.kind);
            if (arg.form == Expr::Form::Variable) message += " (" + NameOf(arg) + ")";
            return Fail(message);
        }
        switch (a.kind) {
            case ArgKind::Integer:
            case ArgKind::Short: integers[i] = v.integer; params[i] = &integers[i]; break;
            case ArgKind::Date: std::memcpy(dates[i], v.date, sizeof dates[i]); params[i] = dates[i]; break;
            case ArgKind::Text:
                texts[i] = {static_cast<int16_t>(v.bytes().size()), HandleWith(v.bytes())};
                handles.list[handles.count++] = texts[i].handle;
                if (texts[i].handle == nullptr) return Fail("out of host memory");
                params[i] = &texts[i];
                break;
            case ArgKind::Picture:
                pictures[i] = v.bytes().empty() ? nullptr : HandleWith(v.bytes());
                handles.list[handles.count++] = pictures[i];
                if (!v.bytes().empty() && pictures[i] == nullptr) return Fail("out of host memory");
                params[i] = &pictures[i];
                break;
            case ArgKind::String:
                if (v.bytes().size() > 255)
                    return Fail(Where(i, e.text) + " is a string: a text of " + std::to_string(v.bytes().size()) +
                                " bytes is too long for it (255 at most)");
                strings[i][0] = static_cast<unsigned char>(v.bytes().size());
                std::memcpy(strings[i] + 1, v.bytes().data(), v.bytes().size());
                params[i] = strings[i];
                break;
        }
    }
    // Outputs: variables, made with the argument's kind when new.
    for (size_t i = 0; i < given; ++i) {
        const Expr& arg = e.args[i];
        const ArgSpec a = call.args[i].spec;
        if (arg.form == Expr::Form::Empty || !a.output) continue;
        const ValueKind wanted = KindOfArg(a.kind);
        Value& v = Slot(arg);
        if (v.kind == ValueKind::None) {
            if (wanted == ValueKind::Integer) v.SetInteger(0);
            else if (wanted == ValueKind::Date) v.SetDate(v.date);
            else v.SetBytes(wanted, std::string());
        }
        if (v.kind != wanted)
            return Fail(Where(i, e.text) + " wants " + KindName(wanted) + ", not " + KindName(v.kind) + " (" + NameOf(arg) + ")");
        outputs[i] = &v;
        switch (a.kind) {
            case ArgKind::Integer:
            case ArgKind::Short: params[i] = &v.integer; break;
            case ArgKind::Date: params[i] = v.date; break;
            case ArgKind::Text:
                texts[i] = {static_cast<int16_t>(v.bytes().size()), HandleWith(v.bytes())};
                handles.list[handles.count++] = entered[i] = texts[i].handle;
                if (texts[i].handle == nullptr) return Fail("out of host memory");
                params[i] = &texts[i];
                break;
            case ArgKind::Picture:
                pictures[i] = v.bytes().empty() ? nullptr : HandleWith(v.bytes());
                handles.list[handles.count++] = entered[i] = pictures[i];
                params[i] = &pictures[i];
                break;
            case ArgKind::String:
                std::memset(strings[i], 0, sizeof strings[i]);
                if (v.bytes().size() <= 255) {
                    strings[i][0] = static_cast<unsigned char>(v.bytes().size());
                    std::memcpy(strings[i] + 1, v.bytes().data(), v.bytes().size());
                }
                params[i] = strings[i];
                break;
        }
    }

    // The result slot is pointer-sized; string and text results go to buffers of the host.
    alignas(8) unsigned char slot[8] = {0};
    unsigned char stringResult[256];
    TextBlock textResult{0, nullptr};
    if (c.result == ResultKind::String) {
        stringResult[0] = 0;
        unsigned char* address = stringResult;
        std::memcpy(slot, &address, sizeof address);
    } else if (c.result == ResultKind::Text) {
        TextBlock* address = &textResult;
        std::memcpy(slot, &address, sizeof address);
    }
    plugin_.Call(c.selector, params, slot);

    // Outputs back: shorts sign-extended from the two bytes the plug-in wrote, the rest copied.
    for (size_t i = 0; i < given; ++i) {
        Value* v = outputs[i];
        if (v == nullptr) continue;
        switch (call.args[i].spec.kind) {
            case ArgKind::Short: {
                int16_t half;
                std::memcpy(&half, &v->integer, sizeof half);
                v->Reinteger(half);
                break;
            }
            case ArgKind::String:
                v->SetBytes(ValueKind::Text, std::string(reinterpret_cast<const char*>(strings[i] + 1), strings[i][0]));
                break;
            case ArgKind::Text: {
                // The plug-in may have replaced the handle: the one in the block now is the one to keep.
                for (size_t h = 0; h < handles.count; ++h)
                    if (handles.list[h] == entered[i]) handles.list[h] = nullptr;
                v->SetBytes(ValueKind::Text, TextBytes(texts[i]));
                if (texts[i].handle != nullptr) HostDisposeHandle(texts[i].handle);
                break;
            }
            case ArgKind::Picture:
                for (size_t h = 0; h < handles.count; ++h)
                    if (handles.list[h] == entered[i]) handles.list[h] = nullptr;
                v->SetBytes(ValueKind::Picture, HandleBytes(pictures[i]));
                if (pictures[i] != nullptr) HostDisposeHandle(pictures[i]);
                break;
            default: break;
        }
    }

    switch (c.result) {
        case ResultKind::None: result.Clear(); break;
        case ResultKind::Integer: {
            int32_t n = 0;
            std::memcpy(&n, slot, sizeof n);
            result.SetInteger(n);
            break;
        }
        case ResultKind::String:
            result.SetBytes(ValueKind::Text, std::string(reinterpret_cast<const char*>(stringResult + 1), stringResult[0]));
            break;
        case ResultKind::Text:
            // The handle is the host's from now on: its bytes are copied and it is disposed of.
            result.SetBytes(ValueKind::Text, TextBytes(textResult));
            if (textResult.handle != nullptr) HostDisposeHandle(textResult.handle);
            break;
        case ResultKind::Picture: {
            HostHandle picture = nullptr;
            std::memcpy(&picture, slot, sizeof picture);
            result.SetBytes(ValueKind::Picture, HandleBytes(picture));
            if (picture != nullptr) HostDisposeHandle(picture);
            break;
        }
    }
    // A command that waited gave way to the other processes: one of them may have aborted this one.
    return !AbortedWhileAway();
}

}  // namespace zor::shell
