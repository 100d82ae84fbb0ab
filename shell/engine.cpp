// engine.cpp: compiles parsed scripts into nodes and steps and runs them: expressions, statements
// and blocks, method calls on the frame stack.
//
// Divisions: integer operations; expressions (quick integer routines, values, conditions); the
// compiler for expressions; statements; method calls and frames; the compiler for statements; Run.
#include <pthread.h>

#include <type_traits>
#include <utility>

#include "shell/engine.h"

namespace zor::shell {

namespace {

bool IsComparison(Op op) { return op >= Op::Eq && op <= Op::Ge; }

int32_t Wrap(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }

// The outcome of a comparison operator on two integers.
template <Op op>
bool Compare(int32_t a, int32_t b) {
    if constexpr (op == Op::Eq) return a == b;
    if constexpr (op == Op::Ne) return a != b;
    if constexpr (op == Op::Lt) return a < b;
    if constexpr (op == Op::Gt) return a > b;
    if constexpr (op == Op::Le) return a <= b;
    return a >= b;
}

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

// Integer arithmetic that cannot fail: false for a division or modulo by zero (the general path
// then says so).
// Wrapping 32-bit arithmetic, done in unsigned so overflow is defined; a divisor of -1 is taken
// apart, as -2147483648 / -1 does not fit (it wraps to itself, and its remainder is 0).
template <Op op>
bool Arith(int32_t a, int32_t b, int32_t& out) {
    const auto ua = static_cast<uint32_t>(a), ub = static_cast<uint32_t>(b);
    if constexpr (op == Op::Add) out = static_cast<int32_t>(ua + ub);
    if constexpr (op == Op::Sub) out = static_cast<int32_t>(ua - ub);
    if constexpr (op == Op::Mul) out = static_cast<int32_t>(ua * ub);
    if constexpr (op == Op::Div) {
        if (b == 0) return false;
        out = b == -1 ? static_cast<int32_t>(0u - ua) : a / b;  // truncates
    }
    if constexpr (op == Op::Mod) {
        if (b == 0) return false;
        out = b == -1 ? 0 : a % b;
    }
    return true;
}

// Division and modulo by a literal other than -1, 0 and 1, without a divide instruction. With m the
// largest 64-bit number over |d|, plus one, the quotient of any 32-bit magnitude by |d| is the high
// half of m times it, and the remainder is the high half of |d| times the low half of that product
// (exact for every 32-bit dividend and divisor). The signs follow the divide instruction's: the
// quotient truncates, the remainder takes the dividend's sign.
bool HasReciprocal(int32_t d) { return d < -1 || d > 1; }

uint32_t Magnitude(int32_t v) { return v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v); }

uint64_t Reciprocal(int32_t d) { return UINT64_MAX / Magnitude(d) + 1; }

template <Op op>
int32_t ByLiteral(int32_t a, int32_t d, uint64_t m) {
    const uint32_t ua = Magnitude(a);
    if constexpr (op == Op::Div) {
        const auto q = static_cast<uint32_t>(static_cast<unsigned __int128>(m) * ua >> 64);
        return static_cast<int32_t>((a < 0) != (d < 0) ? 0u - q : q);
    } else {
        const auto r = static_cast<uint32_t>(static_cast<unsigned __int128>(m * ua) * Magnitude(d) >> 64);
        return static_cast<int32_t>(a < 0 ? 0u - r : r);
    }
}

}  // namespace

// The routines of the compiled form: static members so they reach the flow's state.
struct Engine {
    // ---- Quick integer routines ------------------------------------------------------------------

    // The variable a Variable or Element node names.
    static Value& SlotOf(const Node& n, Interpreter& f) {
        return n.global ? (*f.globals_)[static_cast<size_t>(n.slot)] : f.frame_[n.slot];
    }

    // The elements of an array about to change, when it has some: in place when no other value
    // shares them, else copied first (EditItems).
    [[gnu::always_inline]] static std::vector<Value>& OwnItems(Value& array) {
        auto* body = static_cast<ArrayBody*>(array.body_);
        if (body != nullptr && body->refs == 1) [[likely]]
            return body->items;
        return array.EditItems();
    }

    // Element `index` of an integer array, when it is one and has that element.
    static bool IntegerAt(const Value& array, int32_t index, int32_t& out) {
        if (array.kind != ValueKind::Array || array.element != ValueKind::Integer || array.body_ == nullptr) return false;
        const std::vector<Value>& items = static_cast<const ArrayBody*>(array.body_)->items;
        // index - 1 taken as unsigned: an index below 1 is out of range too
        const size_t at = static_cast<uint32_t>(index) - 1u;
        if (at >= items.size()) return false;
        out = items[at].integer;
        return true;
    }
    static bool QuickInteger(const Node& n, Interpreter&, int32_t& out) {
        out = n.integer;
        return true;
    }
    static bool QuickLocal(const Node& n, Interpreter& f, int32_t& out) {
        const Value& v = f.frame_[n.slot];
        if (v.kind != ValueKind::Integer) return false;
        out = v.integer;
        return true;
    }
    static bool QuickGlobal(const Node& n, Interpreter& f, int32_t& out) {
        const Value& v = (*f.globals_)[static_cast<size_t>(n.slot)];
        if (v.kind != ValueKind::Integer) return false;
        out = v.integer;
        return true;
    }
    static bool QuickElement(const Node& n, Interpreter& f, int32_t& out) {
        int32_t index = 0;
        const Node& i = n.args[0];
        if (!i.quick(i, f, index)) return false;
        const Value& array = SlotOf(n, f);
        return IntegerAt(array, index, out);
    }
    // An element of a local integer array, its index quick.
    static bool QuickElementLocal(const Node& n, Interpreter& f, int32_t& out) {
        int32_t index = 0;
        const Node& i = n.args[0];
        if (!i.quick(i, f, index)) return false;
        const Value& array = f.frame_[n.slot];
        return IntegerAt(array, index, out);
    }
    // `$a{$i}`: a local integer array indexed by a local variable.
    static bool QuickElementLocalByLocal(const Node& n, Interpreter& f, int32_t& out) {
        const Value& i = f.frame_[n.integer];
        return i.kind == ValueKind::Integer && IntegerAt(f.frame_[n.slot], i.integer, out);
    }
    // `$a{$i - 1}`, `$a{$j - $gap}`: a local integer array, its index a local and a literal or two
    // locals (`index` the index node's routine's operands: a slot and a literal or slot).
    template <Op op, bool local>
    static bool QuickElementLocalAt(const Node& n, Interpreter& f, int32_t& out) {
        const Node& i = n.args[0];
        const Value& a = f.frame_[i.slot];
        int32_t index = 0;
        if (a.kind != ValueKind::Integer) return false;
        if constexpr (local) {
            const Value& b = f.frame_[i.integer];
            if (b.kind != ValueKind::Integer || !Arith<op>(a.integer, b.integer, index)) return false;
        } else if (!Arith<op>(a.integer, i.integer, index)) {
            return false;
        }
        const Value& array = f.frame_[n.slot];
        return IntegerAt(array, index, out);
    }
    static bool QuickNeg(const Node& n, Interpreter& f, int32_t& out) {
        if (!n.args[0].quick(n.args[0], f, out)) return false;
        out = Wrap(-int64_t{out});
        return true;
    }
    template <Op op>
    static bool QuickArith(const Node& n, Interpreter& f, int32_t& out) {
        int32_t a = 0, b = 0;
        return n.args[0].quick(n.args[0], f, a) && n.args[1].quick(n.args[1], f, b) && Arith<op>(a, b, out);
    }
    // A local integer variable and a literal, the commonest operands, fused into one routine.
    template <Op op>
    static bool QuickLocalLiteral(const Node& n, Interpreter& f, int32_t& out) {
        const Value& v = f.frame_[n.slot];
        return v.kind == ValueKind::Integer && Arith<op>(v.integer, n.integer, out);
    }
    // Any quick left side and a literal.
    template <Op op>
    static bool QuickAnyLiteral(const Node& n, Interpreter& f, int32_t& out) {
        int32_t a = 0;
        return n.args[0].quick(n.args[0], f, a) && Arith<op>(a, n.integer, out);
    }
    // A local integer variable, or any quick left side, divided by a literal (or its remainder).
    template <Op op>
    static bool QuickLocalByLiteral(const Node& n, Interpreter& f, int32_t& out) {
        const Value& v = f.frame_[n.slot];
        if (v.kind != ValueKind::Integer) return false;
        out = ByLiteral<op>(v.integer, n.integer, n.reciprocal);
        return true;
    }
    template <Op op>
    static bool QuickAnyByLiteral(const Node& n, Interpreter& f, int32_t& out) {
        int32_t a = 0;
        if (!n.args[0].quick(n.args[0], f, a)) return false;
        out = ByLiteral<op>(a, n.integer, n.reciprocal);
        return true;
    }
    template <Op op>
    static bool QuickLocalLocal(const Node& n, Interpreter& f, int32_t& out) {
        const Value& a = f.frame_[n.slot];
        const Value& b = f.frame_[n.integer];
        return a.kind == ValueKind::Integer && b.kind == ValueKind::Integer && Arith<op>(a.integer, b.integer, out);
    }

    // ---- Values ----------------------------------------------------------------------------------

    static bool EvalEmpty(const Node&, Interpreter&, Value& out) {
        out.Clear();
        return true;
    }
    static bool EvalInteger(const Node& n, Interpreter&, Value& out) {
        out.SetInteger(n.integer);
        return true;
    }
    static bool EvalConstant(const Node& n, Interpreter& f, Value& out) {
        const size_t size = n.constant.bytes().size();
        if (size > kMostTextBytes)
            return f.Fail("a text of " + std::to_string(size) + " bytes is longer than a text may be (32767)");
        out = n.constant;
        return true;
    }
    static bool EvalVariable(const Node& n, Interpreter& f, Value& out) {
        const Value& v = SlotOf(n, f);
        if (v.kind == ValueKind::None) return f.Fail(f.NameOf(*n.expr) + " is not defined");
        out = v;
        return true;
    }
    static bool EvalElement(const Node& n, Interpreter& f, Value& out) {
        const Value* v = Element(n, f, false);
        if (v == nullptr) return false;
        out = *v;
        return true;
    }
    static bool EvalCommand(const Node& n, Interpreter& f, Value& out) { return f.CallCommand(n, out); }
    static bool EvalBuiltin(const Node& n, Interpreter& f, Value& out) { return f.CallBuiltin(n, out); }
    static bool EvalNeg(const Node& n, Interpreter& f, Value& out) {
        int32_t v = 0;
        if (n.quick != nullptr && n.quick(n, f, v)) {
            out.SetInteger(v);
            return true;
        }
        if (!f.Eval(n.args[0], out)) return false;
        if (out.kind != ValueKind::Integer) return f.Fail(std::string("- wants an integer, not ") + KindName(out.kind));
        out.Reinteger(Wrap(-int64_t{out.integer}));
        return true;
    }
    static bool EvalBinary(const Node& n, Interpreter& f, Value& out) {
        int32_t v = 0;
        if (n.quick != nullptr && n.quick(n, f, v)) {
            out.SetInteger(v);
            return true;
        }
        return EvalMixed(n, f, out);
    }
    static bool EvalCondition(const Node& n, Interpreter& f, Value& out) {
        bool yes = false;
        if (!n.truth(n, f, yes)) return false;
        out.SetBoolean(yes);
        return true;
    }

    // The element an Element node names, or null (with the fault raised) when there is none. With
    // `edit` the array becomes its variable's own copy first, as the element is about to change.
    static Value* Element(const Node& n, Interpreter& f, bool edit) {
        int32_t index = 0;
        const Node& i = n.args[0];
        if (i.quick == nullptr || !i.quick(i, f, index)) {
            Value v;
            if (!f.Eval(i, v)) return nullptr;
            if (v.kind != ValueKind::Integer) {
                f.Fail("the index of " + f.NameOf(*n.expr) + " must be an integer, not " + KindName(v.kind));
                return nullptr;
            }
            index = v.integer;
        }
        Value& array = SlotOf(n, f);
        if (array.kind != ValueKind::Array) {
            f.Fail(f.NameOf(*n.expr) + (array.kind == ValueKind::None ? " is not defined" : " is not an array"));
            return nullptr;
        }
        const size_t size = array.items().size();
        if (index < 1 || static_cast<size_t>(index) > size) {
            f.Fail("index " + std::to_string(index) + " is out of range for " + f.NameOf(*n.expr) + " (1 to " +
                   std::to_string(size) + ")");
            return nullptr;
        }
        if (edit) return &OwnItems(array)[static_cast<size_t>(index - 1)];
        return const_cast<Value*>(&array.items()[static_cast<size_t>(index - 1)]);
    }

    // A binary operator whose sides are not both quick integers: texts, dates, booleans, calls.
    // Arithmetic over sides that are not quick (calls, mostly): both worked out into temporaries,
    // integers done here, anything else handed on.
    template <Op op>
    static bool EvalArithValues(const Node& n, Interpreter& f, Value& out) {
        Value left, right;
        if (!f.Eval(n.args[0], left) || !f.Eval(n.args[1], right)) return false;
        int32_t v = 0;
        if (left.kind == ValueKind::Integer && right.kind == ValueKind::Integer && Arith<op>(left.integer, right.integer, v)) {
            out.SetInteger(v);
            return true;
        }
        return Mixed(n, f, &left, &right, out);
    }

    static bool EvalMixed(const Node& n, Interpreter& f, Value& out) {
        Value left, right;
        const Value* l = &left;
        const Value* r = &right;
        // Variables are read in place; anything else is worked out into a temporary.
        const Node& ln = n.args[0];
        const Node& rn = n.args[1];
        if (ln.variable && SlotOf(ln, f).kind != ValueKind::None) l = &SlotOf(ln, f);
        else if (!f.Eval(ln, left)) return false;
        if (rn.variable && SlotOf(rn, f).kind != ValueKind::None) r = &SlotOf(rn, f);
        else if (!f.Eval(rn, right)) return false;
        return Mixed(n, f, l, r, out);
    }

    static bool Mixed(const Node& n, Interpreter& f, const Value* l, const Value* r, Value& out) {
        const Op op = n.op;
        if (l->kind == ValueKind::Integer && r->kind == ValueKind::Integer) return IntegerOp(f, op, l->integer, r->integer, out);
        if (IsComparison(op)) {
            if (l->kind != r->kind || l->kind == ValueKind::Array || l->kind == ValueKind::None)
                return f.Fail(std::string("cannot compare ") + KindName(l->kind) + " with " + KindName(r->kind));
            int order = 0;
            switch (l->kind) {
                case ValueKind::Date: {
                    const int x = l->date[2] * 10000 + l->date[1] * 100 + l->date[0];
                    const int y = r->date[2] * 10000 + r->date[1] * 100 + r->date[0];
                    order = x < y ? -1 : x > y;
                    break;
                }
                case ValueKind::Boolean: order = l->integer < r->integer ? -1 : l->integer > r->integer; break;
                default: order = l->bytes().compare(r->bytes()); break;  // byte order (char_traits compare as unsigned)
            }
            if (l->kind == ValueKind::Picture && op != Op::Eq && op != Op::Ne) return f.Fail("pictures compare only with = and #");
            bool yes = false;
            switch (op) {
                case Op::Eq: yes = order == 0; break;
                case Op::Ne: yes = order != 0; break;
                case Op::Lt: yes = order < 0; break;
                case Op::Gt: yes = order > 0; break;
                case Op::Le: yes = order <= 0; break;
                default: yes = order >= 0; break;
            }
            out.SetBoolean(yes);
            return true;
        }
        if (op == Op::Add && l->kind == ValueKind::Text && r->kind == ValueKind::Text) {
            const size_t size = l->bytes().size() + r->bytes().size();
            if (size > kMostTextBytes) return f.Fail("a text of " + std::to_string(size) + " bytes is longer than a text may be (32767)");
            std::string joined;
            joined.reserve(size);
            joined.append(l->bytes()).append(r->bytes());
            out.SetBytes(ValueKind::Text, std::move(joined));
            return true;
        }
        static const char* const kSymbols[] = {"-", "*", "/", "%", "+", "-"};
        const char* symbol = kSymbols[static_cast<size_t>(op)];
        return f.Fail(std::string(symbol) + (op == Op::Add ? " wants two integers or two texts, not " : " wants two integers, not ") +
                      KindName(l->kind) + " and " + KindName(r->kind));
    }

    static bool IntegerOp(Interpreter& f, Op op, int32_t a, int32_t b, Value& out) {
        switch (op) {
            case Op::Add: out.SetInteger(Wrap(int64_t{a} + b)); return true;
            case Op::Sub: out.SetInteger(Wrap(int64_t{a} - b)); return true;
            case Op::Mul: out.SetInteger(Wrap(int64_t{a} * b)); return true;
            case Op::Div:
                if (b == 0) return f.Fail("division by zero");
                out.SetInteger(Wrap(int64_t{a} / b));
                return true;
            case Op::Mod:
                if (b == 0) return f.Fail("modulo by zero");
                out.SetInteger(Wrap(int64_t{a} % b));
                return true;
            default: break;
        }
        out.SetBoolean(Compared(op, a, b));
        return true;
    }

    // ---- Conditions ------------------------------------------------------------------------------

    static bool TruthOfValue(const Node& n, Interpreter& f, bool& yes) {
        Value v;
        if (!f.Eval(n, v)) return false;
        if (v.kind != ValueKind::Boolean) return f.Fail(std::string("a condition must be a boolean, not ") + KindName(v.kind));
        yes = v.integer != 0;
        return true;
    }
    // A comparison's general path: texts, dates, booleans, calls, and the faults.
    static bool TruthMixed(const Node& n, Interpreter& f, bool& yes) {
        Value out;
        if (!EvalMixed(n, f, out)) return false;
        yes = out.integer != 0;
        return true;
    }
    template <Op op>
    static bool TruthCompare(const Node& n, Interpreter& f, bool& yes) {
        int32_t a = 0, b = 0;
        const Node& l = n.args[0];
        const Node& r = n.args[1];
        if (l.quick != nullptr && r.quick != nullptr && l.quick(l, f, a) && r.quick(r, f, b)) {
            yes = Compare<op>(a, b);
            return true;
        }
        return TruthMixed(n, f, yes);
    }
    // A local variable compared with a literal, fused.
    template <Op op>
    static bool TruthLocalLiteral(const Node& n, Interpreter& f, bool& yes) {
        const Value& v = f.frame_[n.slot];
        if (v.kind == ValueKind::Integer) {
            yes = Compare<op>(v.integer, n.integer);
            return true;
        }
        return TruthMixed(n, f, yes);
    }
    // Any quick left side compared with a local variable.
    template <Op op>
    static bool TruthQuickLocal(const Node& n, Interpreter& f, bool& yes) {
        int32_t a = 0;
        const Node& l = n.args[0];
        const Value& b = f.frame_[n.slot];
        if (b.kind == ValueKind::Integer && l.quick(l, f, a)) {
            yes = Compare<op>(a, b.integer);
            return true;
        }
        return TruthMixed(n, f, yes);
    }
    // The same with the left side's routine known when compiling (called directly).
    template <Op op, Node::QuickFn quick>
    static bool TruthQuickLocalWith(const Node& n, Interpreter& f, bool& yes) {
        int32_t a = 0;
        const Value& b = f.frame_[n.slot];
        if (b.kind == ValueKind::Integer && quick(n.args[0], f, a)) {
            yes = Compare<op>(a, b.integer);
            return true;
        }
        return TruthMixed(n, f, yes);
    }
    // Two local variables compared.
    template <Op op>
    static bool TruthLocalLocal(const Node& n, Interpreter& f, bool& yes) {
        const Value& a = f.frame_[n.slot];
        const Value& b = f.frame_[n.integer];
        if (a.kind == ValueKind::Integer && b.kind == ValueKind::Integer) {
            yes = Compare<op>(a.integer, b.integer);
            return true;
        }
        return TruthMixed(n, f, yes);
    }
    template <bool isOr>
    static bool TruthLogic(const Node& n, Interpreter& f, bool& yes) {
        // The right side runs only when the left does not decide.
        if (!n.args[0].truth(n.args[0], f, yes)) return false;
        if (yes == isOr) return true;
        return n.args[1].truth(n.args[1], f, yes);
    }

    // ---- Compiling expressions -------------------------------------------------------------------

    template <template <Op> class Pick>
    static auto ByOp(Op op) {
        switch (op) {
            case Op::Add: return Pick<Op::Add>::fn;
            case Op::Sub: return Pick<Op::Sub>::fn;
            case Op::Mul: return Pick<Op::Mul>::fn;
            case Op::Div: return Pick<Op::Div>::fn;
            case Op::Mod: return Pick<Op::Mod>::fn;
            case Op::Eq: return Pick<Op::Eq>::fn;
            case Op::Ne: return Pick<Op::Ne>::fn;
            case Op::Lt: return Pick<Op::Lt>::fn;
            case Op::Gt: return Pick<Op::Gt>::fn;
            case Op::Le: return Pick<Op::Le>::fn;
            default: return Pick<Op::Ge>::fn;
        }
    }
    template <Op op> struct PickArith { static constexpr Node::QuickFn fn = &QuickArith<op>; };
    template <Op op> struct PickLocalLiteral { static constexpr Node::QuickFn fn = &QuickLocalLiteral<op>; };
    template <Op op> struct PickAnyLiteral { static constexpr Node::QuickFn fn = &QuickAnyLiteral<op>; };
    template <Op op> struct PickLocalLocal { static constexpr Node::QuickFn fn = &QuickLocalLocal<op>; };
    template <Op op> struct PickCompare { static constexpr Node::TruthFn fn = &TruthCompare<op>; };
    template <Op op> struct PickTruthLocalLiteral { static constexpr Node::TruthFn fn = &TruthLocalLiteral<op>; };
    template <Op op> struct PickTruthLocalLocal { static constexpr Node::TruthFn fn = &TruthLocalLocal<op>; };
    template <Op op> struct PickTruthQuickLocal { static constexpr Node::TruthFn fn = &TruthQuickLocal<op>; };
    template <Node::QuickFn quick> struct TruthQuickLocalOf {
        template <Op op> struct At { static constexpr Node::TruthFn fn = &TruthQuickLocalWith<op, quick>; };
        static Node::TruthFn For(Op op) { return ByOp<At>(op); }
    };
    template <Node::QuickFn quick> struct PickTruthQuickLocalFor { static constexpr Node::TruthFn (*fn)(Op) = &TruthQuickLocalOf<quick>::For; };

    // A fused routine made for a quick operand of one of the commonest forms, which it then calls
    // directly (null for any other: the fused routine that calls through the node is used).
    template <template <Node::QuickFn> class Pick>
    static auto ByQuick(Node::QuickFn q) {
        using Fn = std::remove_const_t<decltype(Pick<&QuickLocal>::fn)>;
        if (q == &QuickLocal) return Fn{Pick<&QuickLocal>::fn};
        if (q == &QuickInteger) return Fn{Pick<&QuickInteger>::fn};
        if (q == &QuickElementLocalByLocal) return Fn{Pick<&QuickElementLocalByLocal>::fn};
        if (q == &QuickElementLocalAt<Op::Add, false>) return Fn{Pick<&QuickElementLocalAt<Op::Add, false>>::fn};
        if (q == &QuickElementLocalAt<Op::Sub, false>) return Fn{Pick<&QuickElementLocalAt<Op::Sub, false>>::fn};
        if (q == &QuickElementLocalAt<Op::Add, true>) return Fn{Pick<&QuickElementLocalAt<Op::Add, true>>::fn};
        if (q == &QuickElementLocalAt<Op::Sub, true>) return Fn{Pick<&QuickElementLocalAt<Op::Sub, true>>::fn};
        return Fn{nullptr};
    }
    template <Op op> struct PickArithValues { static constexpr Node::EvalFn fn = &EvalArithValues<op>; };

    static bool IsLocal(const Node& n) { return n.expr->form == Expr::Form::Variable && !n.global; }

    // A long chain of operators leaning left (1 + 2 + 3 ...): its leftmost operand, then one link per
    // operator holding the operator and its right side, worked out in a loop rather than by recursion.
    static constexpr size_t kChainFrom = 8;

    static Node CompileChain(const Expr& e, std::vector<const Expr*>& levels) {
        Node n;
        n.expr = &e;
        n.eval = &EvalChain;
        n.truth = &TruthOfValue;
        n.args.reserve(levels.size() + 1);
        n.args.push_back(Compile(levels.back()->args[0]));
        for (size_t i = levels.size(); i-- > 0;) {
            Node link;
            link.expr = levels[i];
            link.op = levels[i]->op;
            link.args.push_back(Compile(levels[i]->args[1]));
            n.args.push_back(std::move(link));
        }
        return n;
    }

    static bool EvalChain(const Node& n, Interpreter& f, Value& out) {
        Value so;  // the value so far: the left side of the next link
        if (!f.Eval(n.args[0], so)) return false;
        for (size_t i = 1; i < n.args.size(); ++i) {
            const Node& link = n.args[i];
            const Node& right = link.args[0];
            if (link.op == Op::And || link.op == Op::Or) {
                // The right side runs only when the left does not decide.
                if (so.kind != ValueKind::Boolean) return f.Fail(std::string("a condition must be a boolean, not ") + KindName(so.kind));
                if ((so.integer != 0) == (link.op == Op::Or)) continue;
                bool yes = false;
                if (!right.truth(right, f, yes)) return false;
                so.SetBoolean(yes);
                continue;
            }
            Value next;
            int32_t b = 0;
            if (so.kind == ValueKind::Integer && right.quick != nullptr && right.quick(right, f, b)) {
                if (!IntegerOp(f, link.op, so.integer, b, next)) return false;
            } else {
                Value temporary;
                const Value* r = &temporary;
                if (right.variable && SlotOf(right, f).kind != ValueKind::None) r = &SlotOf(right, f);
                else if (!f.Eval(right, temporary)) return false;
                if (!Mixed(link, f, &so, r, next)) return false;
            }
            so = std::move(next);
        }
        out = std::move(so);
        return true;
    }

    static Node Compile(const Expr& e) {
        if (e.form == Expr::Form::Binary && e.args[0].form == Expr::Form::Binary) {
            std::vector<const Expr*> levels;
            for (const Expr* x = &e; x->form == Expr::Form::Binary; x = &x->args[0]) levels.push_back(x);
            if (levels.size() >= kChainFrom) return CompileChain(e, levels);
        }
        Node n;
        n.expr = &e;
        n.slot = e.slot;
        n.global = e.global;
        n.op = e.op;
        n.truth = &TruthOfValue;
        n.args.reserve(e.args.size());
        for (const Expr& a : e.args) n.args.push_back(Compile(a));
        switch (e.form) {
            case Expr::Form::Empty: n.eval = &EvalEmpty; break;
            case Expr::Form::Integer:
                n.eval = &EvalInteger;
                n.quick = &QuickInteger;
                n.integer = e.integer;
                break;
            case Expr::Form::Text:
                n.eval = &EvalConstant;
                n.constant.SetBytes(ValueKind::Text, std::string(e.text));
                break;
            case Expr::Form::Date:
                n.eval = &EvalConstant;
                n.constant.SetDate(e.date);
                break;
            case Expr::Form::Variable:
                n.variable = true;
                n.eval = &EvalVariable;
                n.quick = e.global ? &QuickGlobal : &QuickLocal;
                break;
            case Expr::Form::Element:
                n.eval = &EvalElement;
                if (!e.global && IsLocal(n.args[0])) {
                    n.quick = &QuickElementLocalByLocal;
                    n.integer = n.args[0].slot;
                } else if (!e.global && n.args[0].quick == ByOp<PickLocalLiteral>(Op::Add)) {
                    n.quick = &QuickElementLocalAt<Op::Add, false>;
                } else if (!e.global && n.args[0].quick == ByOp<PickLocalLiteral>(Op::Sub)) {
                    n.quick = &QuickElementLocalAt<Op::Sub, false>;
                } else if (!e.global && n.args[0].quick == ByOp<PickLocalLocal>(Op::Add)) {
                    n.quick = &QuickElementLocalAt<Op::Add, true>;
                } else if (!e.global && n.args[0].quick == ByOp<PickLocalLocal>(Op::Sub)) {
                    n.quick = &QuickElementLocalAt<Op::Sub, true>;
                } else if (n.args[0].quick != nullptr) {
                    n.quick = e.global ? &QuickElement : &QuickElementLocal;
                }
                break;
            case Expr::Form::Command:
                n.eval = &EvalCommand;
                for (size_t i = 0; i < n.args.size(); ++i) n.args[i].spec = Arg(*e.command, static_cast<int>(i));
                break;
            case Expr::Form::Builtin: n.eval = &EvalBuiltin; break;
            case Expr::Form::Method: n.eval = &CallMethod; break;
            case Expr::Form::Unary:
                n.eval = &EvalNeg;
                if (n.args[0].quick != nullptr) n.quick = &QuickNeg;
                break;
            case Expr::Form::Binary: {
                const Node& l = n.args[0];
                const Node& r = n.args[1];
                const bool quickSides = l.quick != nullptr && r.quick != nullptr;
                if (e.op == Op::And || e.op == Op::Or) {
                    n.eval = &EvalCondition;
                    n.truth = e.op == Op::Or ? &TruthLogic<true> : &TruthLogic<false>;
                } else if (IsComparison(e.op)) {
                    n.eval = &EvalCondition;
                    if (IsLocal(l) && r.expr->form == Expr::Form::Integer) {
                        n.truth = ByOp<PickTruthLocalLiteral>(e.op);
                        n.slot = l.slot;
                        n.integer = r.integer;
                    } else if (IsLocal(l) && IsLocal(r)) {
                        n.truth = ByOp<PickTruthLocalLocal>(e.op);
                        n.slot = l.slot;
                        n.integer = r.slot;
                    } else if (l.quick != nullptr && IsLocal(r)) {
                        const auto forOp = ByQuick<PickTruthQuickLocalFor>(l.quick);
                        n.truth = forOp != nullptr ? forOp(e.op) : ByOp<PickTruthQuickLocal>(e.op);
                        n.slot = r.slot;
                    } else {
                        n.truth = ByOp<PickCompare>(e.op);
                    }
                } else {
                    n.eval = &EvalBinary;
                    const bool byLiteral = (e.op == Op::Div || e.op == Op::Mod) && r.expr->form == Expr::Form::Integer &&
                                           HasReciprocal(r.integer);
                    if (byLiteral && (IsLocal(l) || l.quick != nullptr)) {
                        const bool local = IsLocal(l);
                        if (e.op == Op::Div) n.quick = local ? &QuickLocalByLiteral<Op::Div> : &QuickAnyByLiteral<Op::Div>;
                        else n.quick = local ? &QuickLocalByLiteral<Op::Mod> : &QuickAnyByLiteral<Op::Mod>;
                        if (local) n.slot = l.slot;
                        n.integer = r.integer;
                        n.reciprocal = Reciprocal(r.integer);
                    } else if (IsLocal(l) && r.expr->form == Expr::Form::Integer) {
                        n.quick = ByOp<PickLocalLiteral>(e.op);
                        n.slot = l.slot;
                        n.integer = r.integer;
                    } else if (IsLocal(l) && IsLocal(r)) {
                        n.quick = ByOp<PickLocalLocal>(e.op);
                        n.slot = l.slot;
                        n.integer = r.slot;
                    } else if (quickSides && r.expr->form == Expr::Form::Integer) {
                        n.quick = ByOp<PickAnyLiteral>(e.op);
                        n.integer = r.integer;
                    } else if (quickSides) {
                        n.quick = ByOp<PickArith>(e.op);
                    } else if (l.expr->form != Expr::Form::Variable) {
                        // (A variable on the left is read in place after the right side runs,
                        // which may be a command writing it: EvalMixed does that.)
                        n.eval = ByOp<PickArithValues>(e.op);
                    }
                }
                break;
            }
        }
        return n;
    }

    // ---- Statements ------------------------------------------------------------------------------

    // A stop is looked for before each statement that calls the plug-in or a built-in (a cancelled
    // command stops the script before its next such statement), at each turn of a loop and at each
    // method call; statements of pure arithmetic in between run on.
    [[gnu::always_inline]] static Flow Exec(const Block& block, Interpreter& f) {
        for (const Step& s : block) {
            f.current_ = s.source;
            if (s.calls && f.Stopping()) return kFault;
            const Flow flow = s.run(s, f);
            if (flow != kNext) return flow;
        }
        return kNext;
    }

    static Flow RunCall(const Step& s, Interpreter& f) {
        Value value;
        return f.Eval(s.value, value);
    }
    static Flow RunCallEcho(const Step& s, Interpreter& f) {
        Value value;
        if (!f.Eval(s.value, value)) return false;
        if (value.kind != ValueKind::None) std::fprintf(f.out_, "%s\n", FormatValue(value).c_str());
        return true;
    }
    // Integer arithmetic into an integer variable or element skips the temporary.
    static Flow RunAssignLocal(const Step& s, Interpreter& f) {
        Value& slot = f.frame_[s.place.slot];
        int32_t n = 0;
        if ((slot.kind == ValueKind::Integer || slot.kind == ValueKind::None) && s.value.quick != nullptr &&
            s.value.quick(s.value, f, n)) {
            slot.SetInteger(n);
            return true;
        }
        return AssignGeneral(s, f);
    }
    template <Node::QuickFn quick>
    static Flow RunAssignLocalWith(const Step& s, Interpreter& f) {
        Value& slot = f.frame_[s.place.slot];
        int32_t n = 0;
        if ((slot.kind == ValueKind::Integer || slot.kind == ValueKind::None) && quick(s.value, f, n)) {
            slot.SetInteger(n);
            return true;
        }
        return AssignGeneral(s, f);
    }
    template <Node::QuickFn quick> struct PickAssignLocal { static constexpr Step::RunFn fn = &RunAssignLocalWith<quick>; };
    static Flow RunAssignElement(const Step& s, Interpreter& f) {
        int32_t n = 0;
        if (s.value.quick != nullptr && SlotOf(s.place, f).element == ValueKind::Integer && s.value.quick(s.value, f, n)) {
            Value* element = Element(s.place, f, true);
            if (element == nullptr) return false;
            element->Reinteger(n);
            return true;
        }
        return AssignGeneral(s, f);
    }
    // Integer arithmetic into an element of a local integer array, its index quick.
    static Flow RunAssignLocalElement(const Step& s, Interpreter& f) {
        int32_t n = 0, index = 0;
        Value& array = f.frame_[s.place.slot];
        const Node& i = s.place.args[0];
        if (array.kind == ValueKind::Array && array.element == ValueKind::Integer && s.value.quick != nullptr &&
            s.value.quick(s.value, f, n) && i.quick(i, f, index) && index >= 1 &&
            static_cast<size_t>(index) <= array.items().size()) {
            OwnItems(array)[static_cast<size_t>(index - 1)].Reinteger(n);
            return true;
        }
        return AssignGeneral(s, f);
    }
    // `$a{$i} := ...`: the same, indexed by a local variable.
    static Flow RunAssignLocalElementByLocal(const Step& s, Interpreter& f) {
        int32_t n = 0;
        Value& array = f.frame_[s.place.slot];
        const Value& index = f.frame_[s.place.args[0].slot];
        if (array.kind == ValueKind::Array && array.element == ValueKind::Integer && s.value.quick != nullptr &&
            s.value.quick(s.value, f, n) && index.kind == ValueKind::Integer && index.integer >= 1 &&
            static_cast<size_t>(index.integer) <= array.items().size()) {
            OwnItems(array)[static_cast<size_t>(index.integer - 1)].Reinteger(n);
            return true;
        }
        return AssignGeneral(s, f);
    }
    template <Node::QuickFn quick>
    static Flow RunAssignLocalElementByLocalWith(const Step& s, Interpreter& f) {
        int32_t n = 0;
        Value& array = f.frame_[s.place.slot];
        const Value& index = f.frame_[s.place.args[0].slot];
        if (array.kind == ValueKind::Array && array.element == ValueKind::Integer && quick(s.value, f, n) &&
            index.kind == ValueKind::Integer && index.integer >= 1 && static_cast<size_t>(index.integer) <= array.items().size()) {
            OwnItems(array)[static_cast<size_t>(index.integer - 1)].Reinteger(n);
            return true;
        }
        return AssignGeneral(s, f);
    }
    template <Node::QuickFn quick> struct PickAssignLocalElementByLocal { static constexpr Step::RunFn fn = &RunAssignLocalElementByLocalWith<quick>; };
    // `$x := $y`, `$x := $y + 1`, `$x := $y - $z` into a local integer variable: the arithmetic done
    // here rather than by the value's routine.
    static Flow RunAssignLocalFromLocal(const Step& s, Interpreter& f) {
        Value& slot = f.frame_[s.place.slot];
        const Value& v = f.frame_[s.value.slot];
        if ((slot.kind == ValueKind::Integer || slot.kind == ValueKind::None) && v.kind == ValueKind::Integer) {
            slot.SetInteger(v.integer);
            return kNext;
        }
        return AssignGeneral(s, f);
    }
    // (`local`: the right operand is the local variable of slot `integer`, else the literal `integer`.)
    template <Op op, bool local>
    static Flow RunAssignLocalOp(const Step& s, Interpreter& f) {
        Value& slot = f.frame_[s.place.slot];
        const Value& a = f.frame_[s.value.slot];
        int32_t b = s.value.integer, n = 0;
        if constexpr (local) {
            const Value& right = f.frame_[s.value.integer];
            if (right.kind != ValueKind::Integer) return AssignGeneral(s, f);
            b = right.integer;
        }
        if ((slot.kind == ValueKind::Integer || slot.kind == ValueKind::None) && a.kind == ValueKind::Integer &&
            Arith<op>(a.integer, b, n)) {
            slot.SetInteger(n);
            return kNext;
        }
        return AssignGeneral(s, f);
    }
    template <Op op> struct PickAssignLocalLiteral { static constexpr Step::RunFn fn = &RunAssignLocalOp<op, false>; };
    template <Op op> struct PickAssignLocalLocal { static constexpr Step::RunFn fn = &RunAssignLocalOp<op, true>; };
    // `$x := F($a) + F($b)` into a local variable: the two sides worked out (calls, mostly) and,
    // when both are integers, their sum stored without a temporary for it.
    template <Op op>
    static Flow RunAssignLocalArithValues(const Step& s, Interpreter& f) {
        const Node& l = s.value.args[0];
        const Node& r = s.value.args[1];
        Value left, right;
        if (!l.eval(l, f, left) || !r.eval(r, f, right)) return kFault;
        Value& slot = f.frame_[s.place.slot];
        int32_t n = 0;
        if (left.kind == ValueKind::Integer && right.kind == ValueKind::Integer &&
            (slot.kind == ValueKind::Integer || slot.kind == ValueKind::None) && Arith<op>(left.integer, right.integer, n)) {
            slot.SetInteger(n);
            return kNext;
        }
        Value value;
        if (!Mixed(s.value, f, &left, &right, value)) return kFault;
        return AssignValue(s, f, std::move(value));
    }
    template <Op op> struct PickAssignLocalArithValues { static constexpr Step::RunFn fn = &RunAssignLocalArithValues<op>; };

    static Flow AssignGeneral(const Step& s, Interpreter& f) {
        Value value;
        if (!f.Eval(s.value, value)) return false;
        return AssignValue(s, f, std::move(value));
    }
    static Flow AssignValue(const Step& s, Interpreter& f, Value&& value) {
        if (s.place.variable) {
            Value& slot = SlotOf(s.place, f);
            if (value.kind != ValueKind::None && value.kind != ValueKind::Array &&
                (slot.kind == value.kind || slot.kind == ValueKind::None)) {
                slot = std::move(value);
                return true;
            }
        }
        return Store(s.place, f, std::move(value));
    }
    static Flow RunAssignEcho(const Step& s, Interpreter& f) {
        Value value;
        if (!f.Eval(s.value, value)) return false;
        const Expr::Form form = s.value.expr->form;
        if (form == Expr::Form::Command || form == Expr::Form::Builtin || form == Expr::Form::Method)
            std::fprintf(f.out_, "%s\n", FormatValue(value).c_str());
        return Store(s.place, f, std::move(value));
    }
    static bool Store(const Node& place, Interpreter& f, Value&& value) {
        const Expr& p = *place.expr;
        if (value.kind == ValueKind::None) return f.Fail("the value assigned to " + f.NameOf(p) + " is nothing");
        if (p.form == Expr::Form::Variable) {
            Value& slot = f.Slot(p);
            if (slot.kind != ValueKind::None && slot.kind != value.kind)
                return f.Fail(f.NameOf(p) + " holds " + KindName(slot.kind) + ", not " + KindName(value.kind));
            if (slot.kind == ValueKind::Array && slot.element != value.element)
                return f.Fail(f.NameOf(p) + " holds an array of elements that are " + KindName(slot.element) + ", not " +
                              KindName(value.element));
            slot = std::move(value);
            return true;
        }
        Value* element = Element(place, f, true);
        if (element == nullptr) return false;
        if (element->kind != value.kind)
            return f.Fail("an element of " + f.NameOf(p) + " is " + KindName(element->kind) + ", not " + KindName(value.kind));
        *element = std::move(value);
        return true;
    }
    static Flow RunIf(const Step& s, Interpreter& f) {
        bool yes = false;
        if (!s.value.truth(s.value, f, yes)) return false;
        return Exec(yes ? s.body : s.otherwise, f);
    }
    // If over a local compared with a literal, the comparison done here.
    template <Op op>
    static Flow RunIfLocalLiteral(const Step& s, Interpreter& f) {
        const Value& v = f.frame_[s.value.slot];
        bool yes = false;
        if (v.kind == ValueKind::Integer) yes = Compare<op>(v.integer, s.value.integer);
        else if (!s.value.truth(s.value, f, yes)) return false;
        return Exec(yes ? s.body : s.otherwise, f);
    }
    template <Op op> struct PickIfLocalLiteral { static constexpr Step::RunFn fn = &RunIfLocalLiteral<op>; };
    // A condition written on a line of its own (a Case branch, an Until): a fault in it is reported
    // at that line.
    static bool Condition(const Node& n, Interpreter& f, int line, bool& yes) {
        f.conditionLine_ = line;
        const bool ok = n.truth(n, f, yes);
        f.conditionLine_ = 0;
        return ok;
    }
    static Flow RunCase(const Step& s, Interpreter& f) {
        for (size_t i = 0; i < s.conditions.size(); ++i) {
            bool yes = false;
            if (!Condition(s.conditions[i], f, s.source->branches[i].line, yes)) return false;
            if (yes) return Exec(s.branches[i], f);
            f.current_ = s.source;
        }
        return Exec(s.otherwise, f);
    }
    static Flow RunWhile(const Step& s, Interpreter& f) {
        while (true) {
            bool yes = false;
            f.current_ = s.source;
            if ((!s.bodyLooks && f.LoopStopping()) || !s.value.truth(s.value, f, yes)) return false;
            if (!yes) return kNext;
            const Flow flow = Exec(s.body, f);
            if (flow == kFault || flow == kReturn) return flow;
            if (flow == kBreak) return kNext;
        }
    }
    // The same for the commonest conditions, their routine called directly.
    template <Node::TruthFn truth>
    static Flow RunWhileWith(const Step& s, Interpreter& f) {
        while (true) {
            bool yes = false;
            f.current_ = s.source;
            if ((!s.bodyLooks && f.LoopStopping()) || !truth(s.value, f, yes)) return false;
            if (!yes) return kNext;
            const Flow flow = Exec(s.body, f);
            if (flow == kFault || flow == kReturn) return flow;
            if (flow == kBreak) return kNext;
        }
    }
    template <Op op> struct PickWhileLocalLiteral { static constexpr Step::RunFn fn = &RunWhileWith<&TruthLocalLiteral<op>>; };
    template <Op op> struct PickWhileLocalLocal { static constexpr Step::RunFn fn = &RunWhileWith<&TruthLocalLocal<op>>; };
    // The Step routine for a While over `condition`.
    static Step::RunFn WhileFor(const Node& condition) {
        const Op op = condition.op;
        if (condition.truth == &TruthLogic<false>) return &RunWhileWith<&TruthLogic<false>>;
        if (condition.truth == &TruthLogic<true>) return &RunWhileWith<&TruthLogic<true>>;
        if (!IsComparison(op)) return &RunWhile;
        if (condition.truth == ByOp<PickTruthLocalLiteral>(op)) return ByOp<PickWhileLocalLiteral>(op);
        if (condition.truth == ByOp<PickTruthLocalLocal>(op)) return ByOp<PickWhileLocalLocal>(op);
        return &RunWhile;
    }
    static Flow RunRepeat(const Step& s, Interpreter& f) {
        while (true) {
            const Flow flow = Exec(s.body, f);
            if (flow == kFault || flow == kReturn) return flow;
            if (flow == kBreak) return kNext;
            bool yes = false;
            f.current_ = s.source;
            if (f.LoopStopping() || !Condition(s.value, f, s.source->endLine, yes)) return false;
            if (yes) return true;
        }
    }
    // For ($v; from; to {; step}): the bounds are read once; $v takes each value in turn and, after
    // the loop, the first value past the end.
    static Flow RunFor(const Step& s, Interpreter& f) {
        int32_t bounds[3] = {0, 0, 1};
        for (size_t i = 0; i < s.range.size(); ++i) {
            Value v;
            if (!f.Eval(s.range[i], v)) return false;
            if (v.kind != ValueKind::Integer)
                return f.Fail(std::string("the ") + (i == 0 ? "start" : i == 1 ? "end" : "step") +
                              " of a For loop must be an integer, not " + KindName(v.kind));
            bounds[i] = v.integer;
        }
        if (bounds[2] == 0) return f.Fail("the step of a For loop must not be 0");
        const Expr& place = *s.place.expr;
        Value& variable = f.Slot(place);
        if (variable.kind != ValueKind::None && variable.kind != ValueKind::Integer)
            return f.Fail(f.NameOf(place) + " holds " + KindName(variable.kind) + ", not an integer");
        variable.SetInteger(variable.integer);
        const int64_t to = bounds[1], step = bounds[2];
        int64_t i = bounds[0];
        for (; step > 0 ? i <= to : i >= to; i += step) {
            Value& v = f.Slot(place);
            if (v.kind != ValueKind::Integer) v.SetInteger(static_cast<int32_t>(i));
            else v.Reinteger(static_cast<int32_t>(i));
            const Flow flow = Exec(s.body, f);
            if (flow == kFault || flow == kReturn) return flow;
            f.current_ = s.source;
            if (flow == kBreak) break;
            if (!s.bodyLooks && f.LoopStopping()) return kFault;
        }
        Value& v = f.Slot(place);
        if (v.kind != ValueKind::Integer) return f.Fail(f.NameOf(place) + " holds " + KindName(v.kind) + ", not an integer");
        v.Reinteger(Wrap(i));
        return true;
    }
    static Flow RunBreak(const Step&, Interpreter&) { return kBreak; }
    static Flow RunContinue(const Step&, Interpreter&) { return kContinue; }
    // Return, or Return(value): the value is first stored in $0.
    static Flow RunReturn(const Step& s, Interpreter& f) {
        if (s.value.expr->form != Expr::Form::Empty) {
            Value value;
            if (!f.Eval(s.value, value) || !Store(s.place, f, std::move(value))) return kFault;
        }
        return kReturn;
    }
    static Flow RunTry(const Step& s, Interpreter& f) {
        Value* const frame = f.frame_;
        const int depth = f.depth_;
        const Flow flow = Exec(s.body, f);
        if (flow != kFault) return flow;
        if (f.stopped_) return kFault;
        // The error is caught: the methods it came through are gone, the Catch part runs here.
        f.frame_ = frame;
        f.depth_ = depth;
        f.caught_ = std::move(f.fault_);
        f.fault_ = Fault{};
        return Exec(s.otherwise, f);
    }

    // ---- Methods and frames ----------------------------------------------------------------------

    // A frame of `count` empty values on top of the stack.
    static Value* Push(FrameStack& s, size_t count) {
        if (s.top + count > s.size) NextBlock(s, count);
        Value* frame = s.base + s.top;
        s.top += count;
        return frame;
    }
    static void NextBlock(FrameStack& s, size_t count) {
        const size_t next = s.block + 1;
        const size_t size = count > 4096 ? count : 4096;
        if (next == s.blocks.size()) {
            s.blocks.emplace_back(new Value[size]);
            s.sizes.push_back(size);
        } else if (s.sizes[next] < count) {
            s.blocks[next].reset(new Value[size]);  // above the top: holds nothing in use
            s.sizes[next] = size;
        }
        s.block = next;
        s.top = 0;
        s.base = s.blocks[next].get();
        s.size = s.sizes[next];
    }

    static bool CallMethod(const Node& n, Interpreter& f, Value& result) {
        const char here = 0;
        if (f.depth_ >= Interpreter::kMostMethodDepth || (f.stackLimit_ != nullptr && &here < f.stackLimit_) || n.body == nullptr)
            if (!PrepareCall(n, f, &here)) return false;
        const Block& code = *n.body;

        // The frame: on top of the stack, in the same block unless it is full. Only the top is put
        // back afterwards, and the rest of the stack's place when the frame went to the next block.
        FrameStack& stack = f.stack_;
        const size_t block = stack.block, top = stack.top;
        const size_t slots = n.frameSize;
        Value* frame = Push(stack, slots);
        bool ok = true;
        Value* parameter = frame + 1;
        for (const Node& arg : n.args) {
            int32_t v = 0;
            if (arg.quick != nullptr && arg.quick(arg, f, v)) {
                parameter->SetInteger(v);
            } else if (!arg.eval(arg, f, *parameter)) {
                ok = false;
                break;
            }
            ++parameter;
        }
        size_t from = 0;  // the first value of the frame still to be emptied
        if (ok) {
            Value* const caller = f.frame_;
            const Statement* const calling = f.current_;
            const int conditionLine = f.conditionLine_;
            f.frame_ = frame;
            f.conditionLine_ = 0;
            ++f.depth_;
            ok = Exec(code, f) != kFault;  // a Return ends here
            --f.depth_;
            f.frame_ = caller;
            f.conditionLine_ = conditionLine;
            if (ok) {
                f.current_ = calling;
                result = std::move(frame[0]);
                from = 1;
            }
        }
        for (size_t i = from; i < slots; ++i) frame[i].Clear();
        if (stack.block != block) [[unlikely]] {
            stack.block = block;
            stack.base = stack.blocks[block].get();
            stack.size = stack.sizes[block];
        }
        stack.top = top;
        return ok;
    }

    // The rare part of a call: the limits on depth, and the method's body compiled at its first call.
    static bool PrepareCall(const Node& n, Interpreter& f, const char* here) {
        const size_t index = static_cast<size_t>(n.slot);
        const Method& m = f.program_->methods[index];
        if (f.depth_ >= Interpreter::kMostMethodDepth)
            return f.Fail("methods nested more than " + std::to_string(Interpreter::kMostMethodDepth) + " deep (calling " + m.name + ")");
        if (f.stackLimit_ != nullptr && here != nullptr && here < f.stackLimit_) return f.Fail("methods nested too deep for the stack (calling " + m.name + ")");
        if (n.body == nullptr) {
            if (index >= f.methodCode_.size()) f.methodCode_.resize(f.program_->methods.size());
            if (f.methodCode_[index] == nullptr) f.methodCode_[index] = std::make_unique<Block>(CompileBlock(m.body, false));
            n.body = f.methodCode_[index].get();
            n.frameSize = static_cast<size_t>(m.slots);
        }
        return true;
    }

    // ---- Compiling statements --------------------------------------------------------------------

    // Whether an expression calls a command or a built-in (a chain of operators walked in a loop).
    static bool Calls(const Expr& e) {
        const Expr* x = &e;
        for (; x->form == Expr::Form::Binary; x = &x->args[0])
            if (Calls(x->args[1])) return true;
        if (x->form == Expr::Form::Command || x->form == Expr::Form::Builtin) return true;
        for (const Expr& a : x->args)
            if (Calls(a)) return true;
        return false;
    }

    static bool HasMethodCall(const Expr& e) {
        const Expr* x = &e;
        for (; x->form == Expr::Form::Binary; x = &x->args[0])
            if (HasMethodCall(x->args[1])) return true;
        if (x->form == Expr::Form::Method) return true;
        for (const Expr& a : x->args)
            if (HasMethodCall(a)) return true;
        return false;
    }

    static Block CompileBlock(const std::vector<Statement>& list, bool echo) {
        Block block;
        block.reserve(list.size());
        for (const Statement& st : list) block.push_back(CompileStep(st, echo));
        return block;
    }

    // The Step routine for an assignment of `value` to a local variable.
    static Step::RunFn AssignLocalFor(const Expr& e, const Node& value) {
        if (e.form == Expr::Form::Variable && !e.global) return &RunAssignLocalFromLocal;
        if (e.form == Expr::Form::Binary && !IsComparison(e.op) && e.op != Op::And && e.op != Op::Or) {
            if (value.quick == ByOp<PickLocalLiteral>(e.op)) return ByOp<PickAssignLocalLiteral>(e.op);
            if (value.quick == ByOp<PickLocalLocal>(e.op)) return ByOp<PickAssignLocalLocal>(e.op);
            if (value.eval == ByOp<PickArithValues>(e.op)) return ByOp<PickAssignLocalArithValues>(e.op);
        }
        if (value.quick == nullptr) return &AssignGeneral;
        const Step::RunFn with = ByQuick<PickAssignLocal>(value.quick);
        return with != nullptr ? with : &RunAssignLocal;
    }

    static Step CompileStep(const Statement& st, bool echo) {
        Step s;
        s.source = &st;
        s.calls = Calls(st.place) || Calls(st.value) || st.form == Statement::Form::Case;
        for (const Expr& r : st.range) s.calls = s.calls || Calls(r);
        // A loop looks for a stop at each turn, unless the first statement of its body does so anyway
        // and nothing with effects runs between the two (a While's condition must then be pure).
        const bool bodyLooks = !st.body.empty() && (Calls(st.body[0].place) || Calls(st.body[0].value)) &&
                               st.body[0].form != Statement::Form::Case && st.body[0].range.empty();
        s.place = Compile(st.place);
        s.value = Compile(st.value);
        for (const Expr& r : st.range) s.range.push_back(Compile(r));
        s.body = CompileBlock(st.body, false);
        s.otherwise = CompileBlock(st.otherwise, false);
        for (const Branch& b : st.branches) {
            s.conditions.push_back(Compile(b.condition));
            s.branches.push_back(CompileBlock(b.body, false));
        }
        switch (st.form) {
            case Statement::Form::Call: s.run = echo ? &RunCallEcho : &RunCall; break;
            case Statement::Form::Assign:
                if (echo) s.run = &RunAssignEcho;
                else if (st.place.form == Expr::Form::Element && !st.place.global && IsLocal(s.place.args[0]) &&
                         ByQuick<PickAssignLocalElementByLocal>(s.value.quick) != nullptr)
                    s.run = ByQuick<PickAssignLocalElementByLocal>(s.value.quick);
                else if (st.place.form == Expr::Form::Element && !st.place.global && IsLocal(s.place.args[0]))
                    s.run = &RunAssignLocalElementByLocal;
                else if (st.place.form == Expr::Form::Element && !st.place.global && s.place.args[0].quick != nullptr)
                    s.run = &RunAssignLocalElement;
                else if (st.place.form == Expr::Form::Element) s.run = &RunAssignElement;
                else if (!st.place.global) s.run = AssignLocalFor(st.value, s.value);
                else s.run = &AssignGeneral;
                break;
            case Statement::Form::If:
                s.run = &RunIf;
                if (s.value.truth == ByOp<PickTruthLocalLiteral>(st.value.op)) s.run = ByOp<PickIfLocalLiteral>(st.value.op);
                break;
            case Statement::Form::Case: s.run = &RunCase; break;
            case Statement::Form::While:
                s.run = WhileFor(s.value);
                s.bodyLooks = bodyLooks && !Calls(st.value) && !HasMethodCall(st.value);
                break;
            case Statement::Form::Repeat: s.run = &RunRepeat; break;
            case Statement::Form::For:
                s.run = &RunFor;
                s.bodyLooks = bodyLooks;
                break;
            case Statement::Form::Try: s.run = &RunTry; break;
            case Statement::Form::Break: s.run = &RunBreak; break;
            case Statement::Form::Continue: s.run = &RunContinue; break;
            case Statement::Form::Return: s.run = &RunReturn; break;
        }
        return s;
    }
};

// ---- Running ---------------------------------------------------------------------------------------

Interpreter::Interpreter(PluginLink& plugin, std::FILE* out) : Interpreter(plugin, out, 4096) {}

Interpreter::Interpreter(PluginLink& plugin, std::FILE* out, size_t firstFrameValues)
    : plugin_(plugin), out_(out), globals_(std::make_shared<std::vector<Value>>()) {
    stack_.blocks.emplace_back(new Value[firstFrameValues]);
    stack_.sizes.push_back(firstFrameValues);
    stack_.base = stack_.blocks[0].get();
    stack_.size = firstFrameValues;
}

Interpreter::~Interpreter() = default;

bool Interpreter::Eval(const Node& node, Value& out) { return node.eval(node, *this, out); }

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
    // Methods keep their compiled bodies from chunk to chunk of one program (a chunk only adds
    // methods); another program starts afresh.
    if (program_ != &program) methodCode_.clear();
    program_ = &program;
    methodCode_.resize(program.methods.size());
    fault_ = Fault{};
    stopped_ = false;
    conditionLine_ = 0;
    main_.resize(program.mainScope.names.size());
    if (globals_->size() < program.globals.names.size()) globals_->resize(program.globals.names.size());
    frame_ = main_.data();
    depth_ = 0;
    mainCode_ = std::make_unique<Block>(Engine::CompileBlock(program.main, echo));
    return Engine::Exec(*mainCode_, *this) != kFault;
}

// A process starts with a small frame stack (one page of values), which grows as its calls need:
// a server may keep a thousand processes, most of them waiting one method deep.
std::unique_ptr<Interpreter> Interpreter::Offspring() const {
    std::unique_ptr<Interpreter> child(new Interpreter(plugin_, out_, 256));
    child->program_ = program_;
    child->globals_ = globals_;
    child->arguments_ = arguments_;
    child->stop_ = stop_;
    child->scheduler_ = scheduler_;
    return child;
}

bool Interpreter::RunProcess(int32_t method, std::vector<Value> args) {
    FindStackLimit();
    fault_ = Fault{};
    stopped_ = false;
    methodCode_.resize(program_->methods.size());
    // The process's method runs as a call from nowhere: its frame at the bottom of this flow's
    // stack, its parameters given as values.
    Expr call;
    call.form = Expr::Form::Method;
    call.slot = method;
    Node node;
    node.expr = &call;
    node.slot = method;
    if (!Engine::PrepareCall(node, *this, nullptr)) return false;
    Value* frame = Engine::Push(stack_, node.frameSize);
    for (size_t i = 0; i < args.size() && i + 1 < node.frameSize; ++i) frame[i + 1] = std::move(args[i]);
    frame_ = frame;
    depth_ = 1;
    const bool ok = Engine::Exec(*node.body, *this) != kFault;
    for (size_t i = 0; i < node.frameSize; ++i) frame[i].Clear();
    frame_ = main_.data();
    return ok;
}

}  // namespace zor::shell
