// parser.cpp: the host language's parser and its checks against the command table.
#include <cstdio>

#include "shell/macroman.h"
#include "shell/script.h"

namespace zor::shell {

const char* KindName(ValueKind kind) {
    switch (kind) {
        case ValueKind::None: return "nothing";
        case ValueKind::Integer: return "an integer";
        case ValueKind::Text: return "a text";
        case ValueKind::Picture: return "a picture";
        case ValueKind::Date: return "a date";
    }
    return "?";
}

ValueKind KindOfArg(ArgKind kind) {
    switch (kind) {
        case ArgKind::Integer:
        case ArgKind::Short: return ValueKind::Integer;
        case ArgKind::String:
        case ArgKind::Text: return ValueKind::Text;
        case ArgKind::Picture: return ValueKind::Picture;
        case ArgKind::Date: return ValueKind::Date;
    }
    return ValueKind::None;
}

ValueKind KindOfResult(ResultKind kind) {
    switch (kind) {
        case ResultKind::None: return ValueKind::None;
        case ResultKind::Integer: return ValueKind::Integer;
        case ResultKind::String:
        case ResultKind::Text: return ValueKind::Text;
        case ResultKind::Picture: return ValueKind::Picture;
    }
    return ValueKind::None;
}

ValueKind StaticKind(const Expr& e) {
    switch (e.form) {
        case Expr::Form::Empty:
        case Expr::Form::Variable: return ValueKind::None;
        case Expr::Form::Integer: return ValueKind::Integer;
        case Expr::Form::Text: return ValueKind::Text;
        case Expr::Form::Date: return ValueKind::Date;
        case Expr::Form::Command: return KindOfResult(e.command->result);
        case Expr::Form::Builtin:
            switch (e.builtin) {
                case Builtin::Print: return ValueKind::None;
                case Builtin::Hex: return ValueKind::Text;
                case Builtin::Length: return ValueKind::Integer;
                case Builtin::Picture: return ValueKind::Picture;
            }
    }
    return ValueKind::None;
}

namespace {

struct BuiltinSpec {
    const char* name;
    Builtin builtin;
    int arguments;  // -1: any number
};

constexpr BuiltinSpec kBuiltins[] = {
    {"print", Builtin::Print, -1},
    {"hex", Builtin::Hex, 1},
    {"length", Builtin::Length, 1},
    {"picture", Builtin::Picture, 1},
};

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A recursive-descent reader of one line; `error` holds the first fault.
class LineParser {
public:
    explicit LineParser(std::string_view line) : s_(line) {}

    bool Statement(zor::shell::Statement& statement, bool& has) {
        has = false;
        SkipSpace();
        if (AtEnd()) return true;
        if (s_[at_] == '$') {
            if (!VariableName(statement.target)) return false;
            SkipSpace();
            if (!Take(":=")) return Fail("expected := after $" + statement.target);
            SkipSpace();
            if (!Value(statement.value, false)) return false;
            if (statement.value.form == Expr::Form::Empty) return Fail("expected a value after :=");
            if (IsCall(statement.value) && StaticKind(statement.value) == ValueKind::None)
                return Fail(CallName(statement.value) + " gives no value to assign");
        } else {
            if (!Value(statement.value, false)) return false;
            if (!IsCall(statement.value)) return Fail("a statement is a call or an assignment $var := value");
        }
        SkipSpace();
        if (!AtEnd()) return Fail("unexpected text after the statement");
        has = true;
        return true;
    }

    std::string error;

private:
    static bool IsCall(const Expr& e) { return e.form == Expr::Form::Command || e.form == Expr::Form::Builtin; }
    static std::string CallName(const Expr& e) {
        if (e.form == Expr::Form::Command) return e.command->name;
        for (const BuiltinSpec& b : kBuiltins)
            if (b.builtin == e.builtin) return b.name;
        return "?";
    }

    bool Fail(std::string message) {
        if (error.empty()) error = std::move(message);
        return false;
    }

    // The end of the line, or a comment running to it.
    bool AtEnd() const { return at_ >= s_.size() || s_.substr(at_, 2) == "//"; }

    void SkipSpace() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r')) ++at_;
    }

    bool Take(std::string_view token) {
        if (s_.substr(at_, token.size()) != token) return false;
        at_ += token.size();
        return true;
    }

    bool VariableName(std::string& name) {
        ++at_;  // '$'
        const size_t start = at_;
        while (at_ < s_.size() && IsNameChar(s_[at_])) ++at_;
        if (at_ == start) return Fail("expected a variable name after $");
        name = std::string(s_.substr(start, at_ - start));
        return true;
    }

    // A value; with `inArguments`, an empty one (before ';' or ')') is an argument left out.
    bool Value(Expr& e, bool inArguments) {
        if (at_ >= s_.size() || AtEnd()) {
            if (inArguments) return Fail("unterminated argument list: expected )");
            e.form = Expr::Form::Empty;
            return true;
        }
        const char c = s_[at_];
        if (inArguments && (c == ';' || c == ')')) {
            e.form = Expr::Form::Empty;
            return true;
        }
        if (c == '$') {
            e.form = Expr::Form::Variable;
            return VariableName(e.text);
        }
        if (c == '"') return String(e);
        if (c == '!') return Date(e);
        if (IsDigit(c) || c == '-' || c == '+') return Integer(e);
        if (IsNameStart(c)) return Call(e);
        return Fail(std::string("unexpected character '") + c + "'");
    }

    bool Integer(Expr& e) {
        const size_t start = at_;
        bool negative = false;
        if (s_[at_] == '-' || s_[at_] == '+') negative = s_[at_++] == '-';
        uint64_t value = 0;
        bool hex = false, any = false, tooBig = false;
        if (s_.substr(at_, 2) == "0x" || s_.substr(at_, 2) == "0X") {
            hex = true;
            at_ += 2;
        }
        while (at_ < s_.size() && (hex ? HexDigit(s_[at_]) >= 0 : IsDigit(s_[at_]))) {
            value = value * (hex ? 16 : 10) + static_cast<uint64_t>(hex ? HexDigit(s_[at_]) : s_[at_] - '0');
            if (value > 0xFFFFFFFFull) tooBig = true, value = 0xFFFFFFFFull + 1;
            any = true;
            ++at_;
        }
        const std::string literal(s_.substr(start, at_ - start));
        if (!any || (at_ < s_.size() && IsNameChar(s_[at_]))) return Fail("bad number " + literal + Rest());
        // Decimal must fit a signed 32-bit number; hex may also be written as its unsigned 32 bits.
        const uint64_t limit = negative ? 0x80000000ull : (hex ? 0xFFFFFFFFull : 0x7FFFFFFFull);
        if (tooBig || value > limit) return Fail("the number " + literal + " does not fit 32 bits");
        e.form = Expr::Form::Integer;
        e.integer = static_cast<int32_t>(static_cast<uint32_t>(negative ? 0 - value : value));
        return true;
    }

    // The remainder of a bad token, for messages.
    std::string Rest() {
        std::string rest;
        while (at_ < s_.size() && IsNameChar(s_[at_])) rest += s_[at_++];
        return rest;
    }

    bool String(Expr& e) {
        ++at_;  // opening quote
        e.form = Expr::Form::Text;
        std::string& out = e.text;
        while (true) {
            if (at_ >= s_.size()) return Fail("unterminated string");
            const char c = s_[at_];
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c == '\\') {
                if (at_ + 1 >= s_.size()) return Fail("unterminated string");
                const char k = s_[at_ + 1];
                at_ += 2;
                switch (k) {
                    case 'r': out += '\r'; break;
                    case 'n': out += '\n'; break;
                    case 't': out += '\t'; break;
                    case '0': out += '\0'; break;
                    case '\\': out += '\\'; break;
                    case '"': out += '"'; break;
                    case 'x': {
                        const int hi = at_ < s_.size() ? HexDigit(s_[at_]) : -1;
                        const int lo = at_ + 1 < s_.size() ? HexDigit(s_[at_ + 1]) : -1;
                        if (hi < 0 || lo < 0) return Fail("\\x needs two hex digits");
                        out += static_cast<char>(hi << 4 | lo);
                        at_ += 2;
                        break;
                    }
                    default: return Fail(std::string("unknown escape \\") + k);
                }
                continue;
            }
            char32_t code = 0;
            unsigned char byte = 0;
            const size_t start = at_;
            if (!DecodeUtf8(s_, at_, code)) return Fail("the script is not UTF-8 here");
            if (!UnicodeToMacRoman(code, byte)) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(code));
                return Fail("the character " + std::string(s_.substr(start, at_ - start)) + " (" + hex +
                            ") has no Mac Roman form");
            }
            out += static_cast<char>(byte);
        }
    }

    bool Date(Expr& e) {
        // !YYYY-MM-DD!; !0000-00-00! is the null date.
        const size_t start = at_;
        int fields[3] = {0, 0, 0};
        const int widths[3] = {4, 2, 2};
        ++at_;
        for (int f = 0; f < 3; ++f) {
            if (f > 0 && !Take("-")) return Fail("bad date: expected !YYYY-MM-DD!");
            for (int d = 0; d < widths[f]; ++d) {
                if (at_ >= s_.size() || !IsDigit(s_[at_])) return Fail("bad date: expected !YYYY-MM-DD!");
                fields[f] = fields[f] * 10 + (s_[at_++] - '0');
            }
        }
        if (!Take("!")) return Fail("bad date: expected !YYYY-MM-DD!");
        const int year = fields[0], month = fields[1], day = fields[2];
        const bool null = year == 0 && month == 0 && day == 0;
        if (!null) {
            static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
            const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
            if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap))
                return Fail("no such date " + std::string(s_.substr(start, at_ - start)));
        }
        e.form = Expr::Form::Date;
        e.date[0] = static_cast<int16_t>(day);
        e.date[1] = static_cast<int16_t>(month);
        e.date[2] = static_cast<int16_t>(year);
        return true;
    }

    bool Call(Expr& e) {
        const size_t start = at_;
        while (at_ < s_.size() && IsNameChar(s_[at_])) ++at_;
        const std::string name(s_.substr(start, at_ - start));
        const BuiltinSpec* builtin = nullptr;
        for (const BuiltinSpec& b : kBuiltins)
            if (name == b.name) builtin = &b;
        if (builtin != nullptr) {
            e.form = Expr::Form::Builtin;
            e.builtin = builtin->builtin;
        } else if (const CommandSpec* command = FindCommand(std::string_view(name)); command != nullptr) {
            e.form = Expr::Form::Command;
            e.command = command;
        } else {
            return Fail("unknown command " + name);
        }
        SkipSpace();
        if (!Take("(")) return Fail("expected ( after " + name);
        SkipSpace();
        if (!Take(")")) {
            while (true) {
                Expr& arg = e.args.emplace_back();
                SkipSpace();
                if (!Value(arg, true)) return false;
                SkipSpace();
                if (Take(")")) break;
                if (!Take(";")) {
                    if (at_ >= s_.size() || AtEnd()) return Fail("unterminated argument list: expected )");
                    return Fail("expected ; or ) in the arguments of " + name);
                }
            }
        }
        return builtin != nullptr ? CheckBuiltin(e, *builtin) : CheckCommand(e);
    }

    static std::string Ordinal(size_t n) { return "argument " + std::to_string(n + 1); }

    bool CheckCommand(const Expr& e) {
        const CommandSpec& c = *e.command;
        const size_t total = static_cast<size_t>(ArgCount(c));
        size_t least = total;
        while (least > 0 && Arg(c, static_cast<int>(least) - 1).optional) --least;
        const size_t given = e.args.size();
        // Only trailing optional arguments may be left off; a left-out one in the middle is written empty.
        bool countOk = given == total;
        if (given < total && given >= least) {
            countOk = true;
            for (size_t i = given; i < total; ++i)
                if (!Arg(c, static_cast<int>(i)).optional) countOk = false;
        }
        if (!countOk) {
            std::string wanted = std::to_string(total);
            if (least < total) wanted = std::to_string(least) + " to " + wanted;
            return Fail(std::string(c.name) + " takes " + wanted + (total == 1 ? " argument" : " arguments") +
                        ", got " + std::to_string(given));
        }
        for (size_t i = 0; i < given; ++i) {
            const ArgSpec a = Arg(c, static_cast<int>(i));
            const Expr& arg = e.args[i];
            const std::string where = Ordinal(i) + " of " + c.name;
            if (arg.form == Expr::Form::Empty) {
                if (!a.optional) return Fail(where + " may not be left out");
                continue;
            }
            if (a.output) {
                if (arg.form != Expr::Form::Variable) return Fail(where + " is an output: it must be a variable");
                continue;
            }
            if (!CheckInputKind(arg, KindOfArg(a.kind), where)) return false;
        }
        return true;
    }

    bool CheckInputKind(const Expr& arg, ValueKind wanted, const std::string& where) {
        if (arg.form == Expr::Form::Variable) return true;  // known when run
        const ValueKind got = StaticKind(arg);
        if (got == ValueKind::None) return Fail(where + ": " + CallName(arg) + " gives no value");
        if (got != wanted)
            return Fail(where + " wants " + KindName(wanted) + ", not " + KindName(got));
        return true;
    }

    bool CheckBuiltin(const Expr& e, const BuiltinSpec& b) {
        if (b.arguments >= 0 && e.args.size() != static_cast<size_t>(b.arguments))
            return Fail(std::string(b.name) + " takes " + std::to_string(b.arguments) +
                        (b.arguments == 1 ? " argument" : " arguments") + ", got " + std::to_string(e.args.size()));
        for (size_t i = 0; i < e.args.size(); ++i) {
            const Expr& arg = e.args[i];
            const std::string where = Ordinal(i) + " of " + b.name;
            if (arg.form == Expr::Form::Empty) return Fail(where + " may not be left out");
            if (arg.form == Expr::Form::Variable) continue;
            const ValueKind got = StaticKind(arg);
            if (got == ValueKind::None) return Fail(where + ": " + CallName(arg) + " gives no value");
            if ((b.builtin == Builtin::Hex || b.builtin == Builtin::Length) && got != ValueKind::Text &&
                got != ValueKind::Picture)
                return Fail(where + " wants a text or a picture, not " + KindName(got));
            if (b.builtin == Builtin::Picture && got != ValueKind::Text)
                return Fail(where + " wants a text, not " + KindName(got));
        }
        return true;
    }

    std::string_view s_;
    size_t at_ = 0;
};

}  // namespace

bool ParseLine(std::string_view line, int lineNumber, Statement& statement, bool& has, std::string& error) {
    statement = Statement{};
    statement.line = lineNumber;
    LineParser parser(line);
    if (!parser.Statement(statement, has)) {
        error = parser.error;
        has = false;
        return false;
    }
    return true;
}

bool ParseScript(std::string_view source, std::vector<Statement>& statements, ParseError& error) {
    statements.clear();
    int lineNumber = 0;
    size_t at = 0;
    while (at < source.size()) {
        size_t end = source.find('\n', at);
        if (end == std::string_view::npos) end = source.size();
        const std::string_view line = source.substr(at, end - at);
        at = end + 1;
        ++lineNumber;
        Statement statement;
        bool has = false;
        if (!ParseLine(line, lineNumber, statement, has, error.message)) {
            error.line = lineNumber;
            return false;
        }
        if (has) statements.push_back(std::move(statement));
    }
    return true;
}

}  // namespace zor::shell
