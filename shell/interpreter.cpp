// interpreter.cpp: runs parsed scripts: statements and blocks, expressions, methods, and calls of the
// plug-in (parameter blocks built from the host's values, outputs and results taken back).
#include <pthread.h>

#include <array>
#include <cstring>
#include <utility>

#include "shell/host.h"
#include "shell/macroman.h"
#include "shell/reference.h"

namespace zor::shell {

// ---- Values ----------------------------------------------------------------------------------------

std::string FormatValue(const Value& value) {
    char buffer[48];
    switch (value.kind) {
        case ValueKind::None: return "";
        case ValueKind::Integer: return std::to_string(value.integer);
        case ValueKind::Boolean: return value.integer != 0 ? "True" : "False";
        case ValueKind::Date:
            std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", value.date[2], value.date[1], value.date[0]);
            return buffer;
        case ValueKind::Picture: return "<picture " + std::to_string(value.bytes.size()) + " bytes>";
        case ValueKind::Array: {
            std::string out = "[";
            for (size_t i = 0; i < value.items.size(); ++i) out += (i > 0 ? "; " : "") + FormatValue(value.items[i]);
            return out + "]";
        }
        case ValueKind::Text: break;
    }
    std::string out;
    for (const char ch : value.bytes) {
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

bool IsComparison(Op op) { return op >= Op::Eq && op <= Op::Ge; }

// The outcome of a comparison operator on two integers.
bool Compared(Op op, int32_t a, int32_t b) {
    switch (op) {
        case Op::Eq: return a == b;
        case Op::Ne: return a != b;
        case Op::Lt: return a < b;
        case Op::Gt: return a > b;
        case Op::Le: return a <= b;
        default: return a >= b;
    }
}

int32_t Wrap(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }

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

// A stop signal, or a cancel the host asked for (Ctrl-C at the prompt; the cancelled command has
// already ended), stops the run: no Try catches it.
bool Interpreter::Stopping() {
    if ((stop_ != nullptr && *stop_ != 0) || HostCancelRequested() != 0 || (scheduler_ != nullptr && scheduler_->Aborted())) {
        stopped_ = true;
        return true;
    }
    return false;
}

std::string Interpreter::NameOf(const Expr& variable) const {
    return (variable.global ? "<>" : "$") + variable.text;
}

// How deep methods may go: to the bottom of this thread's stack, less room for one statement's own
// depth (its expressions are bounded) and for the calls it makes.
void Interpreter::FindStackLimit() {
    stackLimit_ = nullptr;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        void* low = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attributes, &low, &size) == 0 && size > (4u << 20))
            stackLimit_ = static_cast<const char*>(low) + (2u << 20);
        else if (size > 0)
            stackLimit_ = static_cast<const char*>(low) + size / 2;
        pthread_attr_destroy(&attributes);
    }
}

bool Interpreter::Run(const Program& program, bool echo) {
    FindStackLimit();
    program_ = &program;
    fault_ = Fault{};
    stopped_ = false;
    main_.resize(program.mainScope.names.size());
    globals_->resize(program.globals.names.size());
    frame_ = &main_;
    depth_ = 0;
    leaving_ = Leaving::No;
    for (const Statement& st : program.main)
        if (!ExecOne(st, echo)) return false;
    return true;
}

std::shared_ptr<Interpreter> Interpreter::Offspring() const {
    auto child = std::make_shared<Interpreter>(plugin_, out_);
    child->program_ = program_;
    child->globals_ = globals_;
    child->arguments_ = arguments_;
    child->stop_ = stop_;
    child->scheduler_ = scheduler_;
    return child;
}

bool Interpreter::RunProcess(int32_t method, std::vector<Value> args) {
    FindStackLimit();
    const Method& m = program_->methods[static_cast<size_t>(method)];
    std::vector<Value> frame(static_cast<size_t>(m.slots));
    for (size_t i = 0; i < args.size() && i + 1 < frame.size(); ++i) frame[i + 1] = std::move(args[i]);
    frame_ = &frame;
    depth_ = 1;
    const bool ok = Exec(m.body);
    leaving_ = Leaving::No;  // a Return ends the process's method as it ends any other
    frame_ = &main_;
    return ok;
}

// A Break, Continue or Return ends the list early; the loop or method it is for takes it.
bool Interpreter::Exec(const std::vector<Statement>& list) {
    for (const Statement& st : list) {
        if (!ExecOne(st, false)) return false;
        if (leaving_ != Leaving::No) return true;
    }
    return true;
}

// A loop's condition: a fault in it is reported at the condition's own line.
bool Interpreter::Condition(const Expr& e, int line, bool& result) {
    conditionLine_ = line;
    const bool ok = Truth(e, result);
    conditionLine_ = 0;
    return ok;
}

bool Interpreter::ExecOne(const Statement& st, bool echo) {
    current_ = &st;
    conditionLine_ = 0;
    if (Stopping()) return false;
    switch (st.form) {
        case Statement::Form::Call: {
            Value value;
            if (!Eval(st.value, value)) return false;
            if (echo && value.kind != ValueKind::None) std::fprintf(out_, "%s\n", FormatValue(value).c_str());
            return true;
        }
        case Statement::Form::Assign: {
            const Expr& v = st.value;
            // The commonest statements, integer arithmetic into an integer variable or element, skip
            // the temporary.
            int32_t n = 0;
            if (!echo && st.place.form == Expr::Form::Variable) {
                Value& slot = Slot(st.place);
                if (slot.kind == ValueKind::Integer && Quick(v, n)) {
                    slot.integer = n;
                    return true;
                }
            } else if (!echo && Slot(st.place).element == ValueKind::Integer && Quick(v, n)) {
                Value* element = Element(st.place);
                if (element == nullptr) return false;
                element->integer = n;
                return true;
            }
            Value value;
            if (!Eval(v, value)) return false;
            const bool show = echo && (v.form == Expr::Form::Command || v.form == Expr::Form::Builtin ||
                                       v.form == Expr::Form::Method);
            if (show) std::fprintf(out_, "%s\n", FormatValue(value).c_str());
            return Store(st.place, std::move(value));
        }
        case Statement::Form::If: {
            bool yes = false;
            if (!Truth(st.value, yes)) return false;
            return Exec(yes ? st.body : st.otherwise);
        }
        case Statement::Form::Case:
            for (const Branch& b : st.branches) {
                bool yes = false;
                if (!Condition(b.condition, b.line, yes)) return false;
                if (yes) return Exec(b.body);
                current_ = &st;
            }
            return Exec(st.otherwise);
        case Statement::Form::While:
            while (true) {
                bool yes = false;
                current_ = &st;
                if (Stopping() || !Condition(st.value, st.line, yes)) return false;
                if (!yes) return true;
                if (!Exec(st.body)) return false;
                if (leaving_ == Leaving::Return) return true;
                if (leaving_ == Leaving::Break) return leaving_ = Leaving::No, true;
                leaving_ = Leaving::No;
            }
        case Statement::Form::Repeat:
            while (true) {
                if (!Exec(st.body)) return false;
                if (leaving_ == Leaving::Return) return true;
                if (leaving_ == Leaving::Break) return leaving_ = Leaving::No, true;
                leaving_ = Leaving::No;
                bool yes = false;
                current_ = &st;
                if (Stopping() || !Condition(st.value, st.endLine, yes)) return false;
                if (yes) return true;
            }
        case Statement::Form::For: return ExecFor(st);
        case Statement::Form::Try: {
            std::vector<Value>* const frame = frame_;
            const int depth = depth_;
            if (Exec(st.body)) return true;
            if (stopped_) return false;
            // The error is caught: the methods it came through are gone, the Catch part runs here.
            frame_ = frame;
            depth_ = depth;
            caught_ = std::move(fault_);
            fault_ = Fault{};
            return Exec(st.otherwise);
        }
        case Statement::Form::Break: leaving_ = Leaving::Break; return true;
        case Statement::Form::Continue: leaving_ = Leaving::Continue; return true;
        case Statement::Form::Return:
            if (st.value.form != Expr::Form::Empty) {
                Value value;
                if (!Eval(st.value, value) || !Store(st.place, std::move(value))) return false;
            }
            leaving_ = Leaving::Return;
            return true;
    }
    return true;
}

// For ($v; from; to {; step}): the bounds are read once; $v takes each value in turn and, after the
// loop, the first value past the end.
bool Interpreter::ExecFor(const Statement& st) {
    int32_t bounds[3] = {0, 0, 1};
    for (size_t i = 0; i < st.range.size(); ++i) {
        Value v;
        if (!Eval(st.range[i], v)) return false;
        if (v.kind != ValueKind::Integer)
            return Fail(std::string("the ") + (i == 0 ? "start" : i == 1 ? "end" : "step") + " of a For loop must be an integer, not " +
                        KindName(v.kind));
        bounds[i] = v.integer;
    }
    if (bounds[2] == 0) return Fail("the step of a For loop must not be 0");
    Value& variable = Slot(st.place);
    if (variable.kind != ValueKind::None && variable.kind != ValueKind::Integer)
        return Fail(NameOf(st.place) + " holds " + KindName(variable.kind) + ", not an integer");
    variable.kind = ValueKind::Integer;
    const int64_t to = bounds[1], step = bounds[2];
    int64_t i = bounds[0];
    for (; step > 0 ? i <= to : i >= to; i += step) {
        Value& v = Slot(st.place);
        v.kind = ValueKind::Integer;
        v.integer = static_cast<int32_t>(i);
        if (!Exec(st.body)) return false;
        if (leaving_ == Leaving::Return) return true;
        const bool leave = leaving_ == Leaving::Break;
        leaving_ = Leaving::No;
        current_ = &st;
        if (leave) break;
        if (Stopping()) return false;
    }
    Value& v = Slot(st.place);
    if (v.kind != ValueKind::Integer) return Fail(NameOf(st.place) + " holds " + KindName(v.kind) + ", not an integer");
    v.integer = Wrap(i);
    return true;
}

bool Interpreter::Truth(const Expr& e, bool& result) {
    int32_t a, b;
    if (e.form == Expr::Form::Binary && IsComparison(e.op) && Quick(e.args[0], a) && Quick(e.args[1], b)) {
        result = Compared(e.op, a, b);
        return true;
    }
    Value v;
    if (!Eval(e, v)) return false;
    if (v.kind != ValueKind::Boolean) return Fail(std::string("a condition must be a boolean, not ") + KindName(v.kind));
    result = v.integer != 0;
    return true;
}

// An integer worked out without temporaries, when the expression is pure integer arithmetic over
// literals, integer variables and elements of integer arrays. False when it is anything else, or
// when it would raise an error (division by zero, an index out of range): the general path then
// evaluates it and says why. Nothing here has side effects, so that second evaluation is harmless.
bool Interpreter::Quick(const Expr& e, int32_t& value) {
    switch (e.form) {
        case Expr::Form::Integer: value = e.integer; return true;
        case Expr::Form::Variable: {
            const Value& v = Slot(e);
            if (v.kind != ValueKind::Integer) return false;
            value = v.integer;
            return true;
        }
        case Expr::Form::Element: {
            int32_t index = 0;
            const Value& array = Slot(e);
            if (array.kind != ValueKind::Array || array.element != ValueKind::Integer || !Quick(e.args[0], index) ||
                index < 1 || static_cast<size_t>(index) > array.items.size())
                return false;
            value = array.items[static_cast<size_t>(index - 1)].integer;
            return true;
        }
        case Expr::Form::Unary:
            if (!Quick(e.args[0], value)) return false;
            value = Wrap(-int64_t{value});
            return true;
        case Expr::Form::Binary: {
            int32_t a = 0, b = 0;
            if (e.op > Op::Sub || !Quick(e.args[0], a) || !Quick(e.args[1], b)) return false;
            switch (e.op) {
                case Op::Add: value = Wrap(int64_t{a} + b); return true;
                case Op::Sub: value = Wrap(int64_t{a} - b); return true;
                case Op::Mul: value = Wrap(int64_t{a} * b); return true;
                case Op::Div:
                    if (b == 0) return false;
                    value = Wrap(int64_t{a} / b);
                    return true;
                case Op::Mod:
                    if (b == 0) return false;
                    value = Wrap(int64_t{a} % b);
                    return true;
                default: return false;
            }
        }
        default: return false;
    }
}

bool Interpreter::Store(const Expr& place, Value&& value) {
    if (value.kind == ValueKind::None) return Fail("the value assigned to " + NameOf(place) + " is nothing");
    if (place.form == Expr::Form::Variable) {
        Value& slot = Slot(place);
        if (slot.kind != ValueKind::None && slot.kind != value.kind)
            return Fail(NameOf(place) + " holds " + KindName(slot.kind) + ", not " + KindName(value.kind));
        if (slot.kind == ValueKind::Array && slot.element != value.element)
            return Fail(NameOf(place) + " holds an array of elements that are " + KindName(slot.element) +
                        ", not " + KindName(value.element));
        if (value.kind == ValueKind::Integer && slot.kind == ValueKind::Integer) {
            slot.integer = value.integer;
            return true;
        }
        slot = std::move(value);
        return true;
    }
    Value* element = Element(place);
    if (element == nullptr) return false;
    if (element->kind != value.kind)
        return Fail("an element of " + NameOf(place) + " is " + KindName(element->kind) + ", not " + KindName(value.kind));
    *element = std::move(value);
    return true;
}

// The element an Element expression names, or null (with the fault raised) when there is none.
Value* Interpreter::Element(const Expr& e) {
    int32_t index = 0;
    if (!Quick(e.args[0], index)) {
        Value v;
        if (!Eval(e.args[0], v)) return nullptr;
        if (v.kind != ValueKind::Integer) {
            Fail("the index of " + NameOf(e) + " must be an integer, not " + KindName(v.kind));
            return nullptr;
        }
        index = v.integer;
    }
    Value& array = Slot(e);
    if (array.kind != ValueKind::Array) {
        Fail(NameOf(e) + (array.kind == ValueKind::None ? " is not defined" : " is not an array"));
        return nullptr;
    }
    if (index < 1 || static_cast<size_t>(index) > array.items.size()) {
        Fail("index " + std::to_string(index) + " is out of range for " + NameOf(e) + " (1 to " +
             std::to_string(array.items.size()) + ")");
        return nullptr;
    }
    return &array.items[static_cast<size_t>(index - 1)];
}

bool Interpreter::Eval(const Expr& e, Value& out) {
    switch (e.form) {
        case Expr::Form::Empty: out.kind = ValueKind::None; return true;
        case Expr::Form::Integer:
            out.kind = ValueKind::Integer;
            out.integer = e.integer;
            return true;
        case Expr::Form::Text:
            out.kind = ValueKind::Text;
            out.bytes = e.text;
            if (out.bytes.size() > kMostTextBytes) return Fail("a text of " + std::to_string(out.bytes.size()) + " bytes is longer than a text may be (32767)");
            return true;
        case Expr::Form::Date:
            out.kind = ValueKind::Date;
            std::memcpy(out.date, e.date, sizeof out.date);
            return true;
        case Expr::Form::Variable: {
            const Value& v = Slot(e);
            if (v.kind == ValueKind::None) return Fail(NameOf(e) + " is not defined");
            if (v.kind == ValueKind::Integer) {
                out.kind = ValueKind::Integer;
                out.integer = v.integer;
            } else {
                out = v;
            }
            return true;
        }
        case Expr::Form::Element: {
            const Value* v = Element(e);
            if (v == nullptr) return false;
            out = *v;
            return true;
        }
        case Expr::Form::Command: return CallCommand(e, out);
        case Expr::Form::Builtin: return CallBuiltin(e, out);
        case Expr::Form::Method: return CallMethod(e, out);
        case Expr::Form::Unary: {
            if (!Eval(e.args[0], out)) return false;
            if (out.kind != ValueKind::Integer) return Fail(std::string("- wants an integer, not ") + KindName(out.kind));
            out.integer = Wrap(-int64_t{out.integer});
            return true;
        }
        case Expr::Form::Binary: return EvalBinary(e, out);
    }
    return false;
}

// A chain of operators leaning left (a + b + c ...) is worked out bottom-up in a loop, the value so
// far standing for each node's left side, so a long flat chain does not recurse.
bool Interpreter::EvalBinary(const Expr& e, Value& out) {
    if (e.args[0].form != Expr::Form::Binary) return EvalNode(e, nullptr, out);
    std::vector<const Expr*> chain;
    for (const Expr* node = &e; node->form == Expr::Form::Binary; node = &node->args[0]) chain.push_back(node);
    if (!EvalNode(*chain.back(), nullptr, out)) return false;
    for (size_t i = chain.size() - 1; i-- > 0;) {
        Value left = std::move(out);
        out = Value{};
        if (!EvalNode(*chain[i], &left, out)) return false;
    }
    return true;
}

// One operator node; `left`, when given, is its left side's value already worked out.
bool Interpreter::EvalNode(const Expr& e, Value* left, Value& out) {
    const Op op = e.op;
    if (op == Op::And || op == Op::Or) {
        // The right side runs only when the left does not decide.
        for (int side = 0; side < 2; ++side) {
            bool yes = false;
            if (side == 0 && left != nullptr) {
                if (left->kind != ValueKind::Boolean)
                    return Fail(std::string("a condition must be a boolean, not ") + KindName(left->kind));
                yes = left->integer != 0;
            } else if (!Truth(e.args[static_cast<size_t>(side)], yes)) {
                return false;
            }
            out.kind = ValueKind::Boolean;
            out.integer = yes ? 1 : 0;
            if (yes == (op == Op::Or)) return true;
        }
        return true;
    }
    int32_t a = 0, b = 0;
    if (left != nullptr) {
        if (!(left->kind == ValueKind::Integer && Quick(e.args[1], b))) return EvalMixed(e, left, out);
        return IntegerOp(op, left->integer, b, out);
    }
    if (!(Quick(e.args[0], a) && Quick(e.args[1], b))) return EvalMixed(e, nullptr, out);
    return IntegerOp(op, a, b, out);
}

// A binary operator whose sides are not both quick integers: texts, dates, booleans, calls.
bool Interpreter::EvalMixed(const Expr& e, const Value* given, Value& out) {
    const Op op = e.op;
    int32_t a = 0, b = 0;
    Value left, right;
    const Value* l = &left;
    const Value* r = &right;
    {
        // Variables are read in place; anything else is worked out into a temporary.
        if (given != nullptr) l = given;
        else if (e.args[0].form == Expr::Form::Variable && Slot(e.args[0]).kind != ValueKind::None) l = &Slot(e.args[0]);
        else if (!Eval(e.args[0], left)) return false;
        if (e.args[1].form == Expr::Form::Variable && Slot(e.args[1]).kind != ValueKind::None) r = &Slot(e.args[1]);
        else if (!Eval(e.args[1], right)) return false;
        if (l->kind == ValueKind::Integer && r->kind == ValueKind::Integer) {
            a = l->integer;
            b = r->integer;
        } else if (IsComparison(op)) {
            if (l->kind != r->kind || l->kind == ValueKind::Array || l->kind == ValueKind::None)
                return Fail(std::string("cannot compare ") + KindName(l->kind) + " with " + KindName(r->kind));
            int order = 0;
            switch (l->kind) {
                case ValueKind::Date: {
                    const int x = l->date[2] * 10000 + l->date[1] * 100 + l->date[0];
                    const int y = r->date[2] * 10000 + r->date[1] * 100 + r->date[0];
                    order = x < y ? -1 : x > y;
                    break;
                }
                case ValueKind::Boolean: order = l->integer < r->integer ? -1 : l->integer > r->integer; break;
                default: order = l->bytes.compare(r->bytes); break;  // byte order (char_traits compare as unsigned)
            }
            if (l->kind == ValueKind::Picture && op != Op::Eq && op != Op::Ne)
                return Fail("pictures compare only with = and #");
            bool yes = false;
            switch (op) {
                case Op::Eq: yes = order == 0; break;
                case Op::Ne: yes = order != 0; break;
                case Op::Lt: yes = order < 0; break;
                case Op::Gt: yes = order > 0; break;
                case Op::Le: yes = order <= 0; break;
                default: yes = order >= 0; break;
            }
            out.kind = ValueKind::Boolean;
            out.integer = yes ? 1 : 0;
            return true;
        } else if (op == Op::Add && l->kind == ValueKind::Text && r->kind == ValueKind::Text) {
            const size_t size = l->bytes.size() + r->bytes.size();
            if (size > kMostTextBytes)
                return Fail("a text of " + std::to_string(size) + " bytes is longer than a text may be (32767)");
            std::string joined;
            joined.reserve(size);
            joined.append(l->bytes).append(r->bytes);
            out.kind = ValueKind::Text;
            out.bytes = std::move(joined);
            return true;
        } else {
            static const char* const kSymbols[] = {"-", "*", "/", "%", "+", "-"};
            const char* symbol = kSymbols[static_cast<size_t>(op)];
            return Fail(std::string(symbol) + (op == Op::Add ? " wants two integers or two texts, not " : " wants two integers, not ") +
                        KindName(l->kind) + " and " + KindName(r->kind));
        }
    }
    return IntegerOp(op, a, b, out);
}

bool Interpreter::IntegerOp(Op op, int32_t a, int32_t b, Value& out) {
    out.kind = ValueKind::Integer;
    switch (op) {
        case Op::Add: out.integer = Wrap(int64_t{a} + b); return true;
        case Op::Sub: out.integer = Wrap(int64_t{a} - b); return true;
        case Op::Mul: out.integer = Wrap(int64_t{a} * b); return true;
        case Op::Div:
            if (b == 0) return Fail("division by zero");
            out.integer = Wrap(int64_t{a} / b);  // truncates; -2147483648 / -1 wraps
            return true;
        case Op::Mod:
            if (b == 0) return Fail("modulo by zero");
            out.integer = Wrap(int64_t{a} % b);
            return true;
        default: break;
    }
    const bool yes = Compared(op, a, b);
    out.kind = ValueKind::Boolean;
    out.integer = yes ? 1 : 0;
    return true;
}

// ---- Methods ---------------------------------------------------------------------------------------

bool Interpreter::CallMethod(const Expr& e, Value& result) {
    const Method& m = program_->methods[static_cast<size_t>(e.slot)];
    if (depth_ >= kMostMethodDepth)
        return Fail("methods nested more than " + std::to_string(kMostMethodDepth) + " deep (calling " + m.name + ")");
    const char here = 0;
    if (stackLimit_ != nullptr && &here < stackLimit_)
        return Fail("methods nested too deep for the stack (calling " + m.name + ")");
    std::vector<Value> frame(static_cast<size_t>(m.slots));
    for (size_t i = 0; i < e.args.size(); ++i)
        if (!Eval(e.args[i], frame[i + 1])) return false;
    std::vector<Value>* const caller = frame_;
    const Statement* const calling = current_;
    const int conditionLine = conditionLine_;
    frame_ = &frame;
    ++depth_;
    const bool ok = Exec(m.body);
    leaving_ = Leaving::No;
    --depth_;
    frame_ = caller;
    if (!ok) return false;
    current_ = calling;
    conditionLine_ = conditionLine;
    result = std::move(frame[0]);
    return true;
}

// ---- Commands of the plug-in -----------------------------------------------------------------------

// Builds the parameter block (one address per argument of the table, 0 for those left out), calls the
// plug-in and takes back outputs and result. Handles made for the call are disposed of on every path.
bool Interpreter::CallCommand(const Expr& e, Value& result) {
    const CommandSpec& c = *e.command;
    const size_t total = static_cast<size_t>(ArgCount(c));
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
    (void)total;

    // Inputs first: nested calls run before any address into a variable is taken.
    for (size_t i = 0; i < given; ++i) {
        const Expr& arg = e.args[i];
        const ArgSpec a = Arg(c, static_cast<int>(i));
        if (arg.form == Expr::Form::Empty || a.output) continue;
        const ValueKind wanted = KindOfArg(a.kind);
        if (wanted == ValueKind::Integer && Quick(arg, integers[i])) {
            params[i] = &integers[i];
            continue;
        }
        Value v;
        if (!Eval(arg, v)) return false;
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
                texts[i] = {static_cast<int16_t>(v.bytes.size()), HandleWith(v.bytes)};
                handles.list[handles.count++] = texts[i].handle;
                if (texts[i].handle == nullptr) return Fail("out of host memory");
                params[i] = &texts[i];
                break;
            case ArgKind::Picture:
                pictures[i] = v.bytes.empty() ? nullptr : HandleWith(v.bytes);
                handles.list[handles.count++] = pictures[i];
                if (!v.bytes.empty() && pictures[i] == nullptr) return Fail("out of host memory");
                params[i] = &pictures[i];
                break;
            case ArgKind::String:
                if (v.bytes.size() > 255)
                    return Fail(Where(i, e.text) + " is a string: a text of " + std::to_string(v.bytes.size()) +
                                " bytes is too long for it (255 at most)");
                strings[i][0] = static_cast<unsigned char>(v.bytes.size());
                std::memcpy(strings[i] + 1, v.bytes.data(), v.bytes.size());
                params[i] = strings[i];
                break;
        }
    }
    // Outputs: variables, made with the argument's kind when new.
    for (size_t i = 0; i < given; ++i) {
        const Expr& arg = e.args[i];
        const ArgSpec a = Arg(c, static_cast<int>(i));
        if (arg.form == Expr::Form::Empty || !a.output) continue;
        const ValueKind wanted = KindOfArg(a.kind);
        Value& v = Slot(arg);
        if (v.kind == ValueKind::None) v.kind = wanted;
        if (v.kind != wanted)
            return Fail(Where(i, e.text) + " wants " + KindName(wanted) + ", not " + KindName(v.kind) + " (" + NameOf(arg) + ")");
        outputs[i] = &v;
        switch (a.kind) {
            case ArgKind::Integer:
            case ArgKind::Short: params[i] = &v.integer; break;
            case ArgKind::Date: params[i] = v.date; break;
            case ArgKind::Text:
                texts[i] = {static_cast<int16_t>(v.bytes.size()), HandleWith(v.bytes)};
                handles.list[handles.count++] = entered[i] = texts[i].handle;
                if (texts[i].handle == nullptr) return Fail("out of host memory");
                params[i] = &texts[i];
                break;
            case ArgKind::Picture:
                pictures[i] = v.bytes.empty() ? nullptr : HandleWith(v.bytes);
                handles.list[handles.count++] = entered[i] = pictures[i];
                params[i] = &pictures[i];
                break;
            case ArgKind::String:
                std::memset(strings[i], 0, sizeof strings[i]);
                if (v.bytes.size() <= 255) {
                    strings[i][0] = static_cast<unsigned char>(v.bytes.size());
                    std::memcpy(strings[i] + 1, v.bytes.data(), v.bytes.size());
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
        switch (Arg(c, static_cast<int>(i)).kind) {
            case ArgKind::Short: {
                int16_t half;
                std::memcpy(&half, &v->integer, sizeof half);
                v->integer = half;
                break;
            }
            case ArgKind::String: v->bytes.assign(reinterpret_cast<const char*>(strings[i] + 1), strings[i][0]); break;
            case ArgKind::Text: {
                // The plug-in may have replaced the handle: the one in the block now is the one to keep.
                for (size_t h = 0; h < handles.count; ++h)
                    if (handles.list[h] == entered[i]) handles.list[h] = nullptr;
                v->bytes.assign(TextBytes(texts[i]));
                if (texts[i].handle != nullptr) HostDisposeHandle(texts[i].handle);
                break;
            }
            case ArgKind::Picture:
                for (size_t h = 0; h < handles.count; ++h)
                    if (handles.list[h] == entered[i]) handles.list[h] = nullptr;
                v->bytes.assign(HandleBytes(pictures[i]));
                if (pictures[i] != nullptr) HostDisposeHandle(pictures[i]);
                break;
            default: break;
        }
    }

    switch (c.result) {
        case ResultKind::None: result.kind = ValueKind::None; break;
        case ResultKind::Integer:
            result.kind = ValueKind::Integer;
            std::memcpy(&result.integer, slot, sizeof result.integer);
            break;
        case ResultKind::String:
            result.kind = ValueKind::Text;
            result.bytes.assign(reinterpret_cast<const char*>(stringResult + 1), stringResult[0]);
            break;
        case ResultKind::Text:
            // The handle is the host's from now on: its bytes are copied and it is disposed of.
            result.kind = ValueKind::Text;
            result.bytes.assign(TextBytes(textResult));
            if (textResult.handle != nullptr) HostDisposeHandle(textResult.handle);
            break;
        case ResultKind::Picture: {
            HostHandle picture = nullptr;
            std::memcpy(&picture, slot, sizeof picture);
            result.kind = ValueKind::Picture;
            result.bytes.assign(HandleBytes(picture));
            if (picture != nullptr) HostDisposeHandle(picture);
            break;
        }
    }
    return true;
}

}  // namespace zor::shell
