// parser.cpp: the host language's grammar, its parser, and its checks against the command table.
//
// The grammar (keywords and names of commands, built-ins and methods are case-blind; so are variable
// names; one statement a line; `//` starts a comment that runs to the end of the line):
//
//   script     := { line }                 lines end with LF or CR LF
//   line       := [ statement | block ] [ "//" comment ]
//   statement  := place ":=" expr          assignment (a variable keeps the kind it first gets)
//               | call                     a call whose result, if any, is dropped
//   place      := "$" name [ "{" expr "}" ]       local variable, or an element of a local array
//               | "<>" name [ "{" expr "}" ]      global variable (seen by every method)
//   block      := "If" expr | "Else" | "End if"
//               | "Case of" | ":" expr | "Else" | "End case"
//               | "While" expr | "End while"
//               | "Repeat" | "Until" expr
//               | "For" "(" "$" name ";" expr ";" expr [ ";" expr ] ")" | "End for"
//               | "Try" | "Catch" | "End try"
//               | "Method" name [ "(" [ "$" name { ";" "$" name } ] ")" ] | "End method"
//               | "Include" string
//               | "Break" | "Continue" | "Return" [ expr ]
//   expr       := or
//   or         := and { "|" and }                      booleans; the right side runs only when needed
//   and        := compare { "&" compare }
//   compare    := sum [ ( "=" | "#" | "<" | ">" | "<=" | ">=" ) sum ]
//   sum        := term { ( "+" | "-" ) term }          text + text joins
//   term       := unary { ( "*" | "/" | "%" ) unary }  integer division truncates
//   unary      := "-" unary | "+" unary | primary
//   primary    := integer | string | date | place | call | "(" expr ")"
//   call       := name [ "(" [ arg { ";" arg } ] ")" ]  parentheses may go only when there are no arguments
//   arg        := [ expr ]                             an empty argument is an optional one left out
//   integer    := digits | "0x" hexdigits              32 bits; a leading sign belongs to the literal
//   string     := '"' { char | escape } '"'            UTF-8 in the script, Mac Roman once parsed;
//                                                      escapes \r \n \t \0 \\ \" \xHH
//   date       := "!" YYYY "-" MM "-" DD "!"           !0000-00-00! is the null date
//
// Methods are defined at the top level of a script or of an included file (which holds only methods
// and Include lines); a method whose body uses `$0` is a function giving `$0`, else a procedure.
// Blocks nest up to 256 deep; one left open or closed twice is a fault found before anything runs.
// Break and Continue act on the innermost loop (While, Repeat, For) around them; Return leaves the
// method, and Return(value) first sets its $0. A line holds at most 4000 operators; a chain of them
// (1 + 2 + 3 ...) is not nesting, only parentheses, signs and calls nest.
//
// Divisions: kinds and the built-in table; the line parser (expressions, statements, block lines);
// the file parser (blocks, methods, includes); resolution of method calls; the entry points.
#include <algorithm>
#include <strings.h>

#include <cstdio>

#include "shell/macroman.h"
#include "shell/script.h"

namespace zor::shell {

// ---- Kinds and the built-in table ------------------------------------------------------------------

const char* KindName(ValueKind kind) {
    switch (kind) {
        case ValueKind::None: return "nothing";
        case ValueKind::Integer: return "an integer";
        case ValueKind::Text: return "a text";
        case ValueKind::Picture: return "a picture";
        case ValueKind::Date: return "a date";
        case ValueKind::Boolean: return "a boolean";
        case ValueKind::Array: return "an array";
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

constexpr BuiltinSpec kBuiltins[] = {
    {"print", Builtin::Print, 0, -1, "*", ValueKind::None},
    {"hex", Builtin::Hex, 1, 1, "x", ValueKind::Text},
    {"length", Builtin::Length, 1, 1, "x", ValueKind::Integer},
    {"picture", Builtin::Picture, 1, 1, "t", ValueKind::Picture},
    {"Substring", Builtin::Substring, 2, 3, "tii", ValueKind::Text},
    {"Position", Builtin::Position, 2, 3, "tti", ValueKind::Integer},
    {"ReplaceString", Builtin::ReplaceString, 3, 3, "ttt", ValueKind::Text},
    {"Uppercase", Builtin::Uppercase, 1, 1, "t", ValueKind::Text},
    {"Lowercase", Builtin::Lowercase, 1, 1, "t", ValueKind::Text},
    {"Char", Builtin::Char, 1, 1, "i", ValueKind::Text},
    {"CharCode", Builtin::CharCode, 1, 1, "t", ValueKind::Integer},
    {"String", Builtin::String, 1, 2, "*t", ValueKind::Text},
    {"Num", Builtin::Num, 1, 1, "*", ValueKind::Integer},
    {"Trim", Builtin::Trim, 1, 1, "t", ValueKind::Text},
    {"True", Builtin::True, 0, 0, "", ValueKind::Boolean},
    {"False", Builtin::False, 0, 0, "", ValueKind::Boolean},
    {"Not", Builtin::Not, 1, 1, "b", ValueKind::Boolean},
    {"CurrentDate", Builtin::CurrentDate, 0, 0, "", ValueKind::Date},
    {"CurrentTime", Builtin::CurrentTime, 0, 0, "", ValueKind::Integer},
    {"CurrentSeconds", Builtin::CurrentSeconds, 0, 0, "", ValueKind::Integer},
    {"Delay", Builtin::Delay, 1, 1, "i", ValueKind::None},
    {"ReadFile", Builtin::ReadFile, 1, 2, "tb", ValueKind::Text},
    {"WriteFile", Builtin::WriteFile, 2, 3, "ttb", ValueKind::None},
    {"AppendFile", Builtin::AppendFile, 2, 3, "ttb", ValueKind::None},
    {"FileExists", Builtin::FileExists, 1, 1, "t", ValueKind::Boolean},
    {"DeleteFile", Builtin::DeleteFile, 1, 1, "t", ValueKind::None},
    {"CreateDocument", Builtin::CreateDocument, 1, 1, "t", ValueKind::Integer},
    {"OpenDocument", Builtin::OpenDocument, 1, 2, "ti", ValueKind::Integer},
    {"SendPacket", Builtin::SendPacket, 2, 2, "it", ValueKind::None},
    {"ReceivePacket", Builtin::ReceivePacket, 3, 3, "iA*", ValueKind::Integer},
    {"DocumentSize", Builtin::DocumentSize, 1, 1, "*", ValueKind::Integer},
    {"CloseDocument", Builtin::CloseDocument, 1, 1, "i", ValueKind::None},
    {"ArrayInteger", Builtin::ArrayInteger, 2, 2, "Ai", ValueKind::None},
    {"ArrayText", Builtin::ArrayText, 2, 2, "Ai", ValueKind::None},
    {"ArrayDate", Builtin::ArrayDate, 2, 2, "Ai", ValueKind::None},
    {"ArrayPicture", Builtin::ArrayPicture, 2, 2, "Ai", ValueKind::None},
    {"ArrayBoolean", Builtin::ArrayBoolean, 2, 2, "Ai", ValueKind::None},
    {"SizeOfArray", Builtin::SizeOfArray, 1, 1, "a", ValueKind::Integer},
    {"AppendToArray", Builtin::AppendToArray, 2, 2, "A*", ValueKind::None},
    {"InsertInArray", Builtin::InsertInArray, 2, 3, "Aii", ValueKind::None},
    {"DeleteFromArray", Builtin::DeleteFromArray, 2, 3, "Aii", ValueKind::None},
    {"ErrorText", Builtin::ErrorText, 0, 0, "", ValueKind::Text},
    {"ErrorLine", Builtin::ErrorLine, 0, 0, "", ValueKind::Integer},
    {"Throw", Builtin::Throw, 1, 1, "t", ValueKind::None},
    {"Argument", Builtin::Argument, 1, 1, "i", ValueKind::Text},
    {"ArgumentCount", Builtin::ArgumentCount, 0, 0, "", ValueKind::Integer},
    {"Environment", Builtin::Environment, 1, 1, "t", ValueKind::Text},
    {"StatusText", Builtin::StatusText, 1, 2, "it", ValueKind::Text},
    {"SortArray", Builtin::SortArray, 1, 2, "At", ValueKind::None},
    {"FindInArray", Builtin::FindInArray, 2, 3, "a*i", ValueKind::Integer},
    {"SplitText", Builtin::SplitText, 3, 3, "ttA", ValueKind::None},
    {"JoinText", Builtin::JoinText, 2, 2, "at", ValueKind::Text},
    {"IsNumber", Builtin::IsNumber, 1, 1, "t", ValueKind::Boolean},
    {"DocumentList", Builtin::DocumentList, 2, 2, "tA", ValueKind::None},
    {"FolderList", Builtin::FolderList, 2, 2, "tA", ValueKind::None},
    {"TextToUtf8", Builtin::TextToUtf8, 1, 1, "t", ValueKind::Text},
    {"Utf8ToText", Builtin::Utf8ToText, 1, 1, "t", ValueKind::Text},
    {"NewProcess", Builtin::NewProcess, 2, -1, "tt*", ValueKind::Integer},
    {"CurrentProcess", Builtin::CurrentProcess, 0, 0, "", ValueKind::Integer},
    {"ProcessState", Builtin::ProcessState, 1, 1, "i", ValueKind::Integer},
    {"AbortProcess", Builtin::AbortProcess, 1, 1, "i", ValueKind::None},
    {"Semaphore", Builtin::Semaphore, 1, 2, "ti", ValueKind::Boolean},
    {"ClearSemaphore", Builtin::ClearSemaphore, 1, 1, "t", ValueKind::None},
};

size_t BuiltinCount() { return sizeof kBuiltins / sizeof kBuiltins[0]; }
const BuiltinSpec& BuiltinAt(size_t index) { return kBuiltins[index]; }

const BuiltinSpec& SpecOf(Builtin builtin) {
    for (const BuiltinSpec& b : kBuiltins)
        if (b.builtin == builtin) return b;
    return kBuiltins[0];
}

char ArgLetter(const BuiltinSpec& spec, size_t index) {
    const size_t n = std::char_traits<char>::length(spec.args);
    if (n == 0) return '*';
    return spec.args[index < n ? index : n - 1];
}

bool ArgKindFits(char letter, ValueKind kind) {
    switch (letter) {
        case 'i': return kind == ValueKind::Integer;
        case 't': return kind == ValueKind::Text;
        case 'b': return kind == ValueKind::Boolean;
        case 'x': return kind == ValueKind::Text || kind == ValueKind::Picture;
        case 'a': return kind == ValueKind::Array;
        default: return kind != ValueKind::None;
    }
}

const char* ArgKindName(char letter) {
    switch (letter) {
        case 'i': return "an integer";
        case 't': return "a text";
        case 'b': return "a boolean";
        case 'x': return "a text or a picture";
        case 'a': return "an array";
        default: return "a value";
    }
}

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Folded(std::string_view name) {
    std::string out(name);
    for (char& c : out) c = Lower(c);
    return out;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

const BuiltinSpec* FindBuiltin(std::string_view name) {
    for (const BuiltinSpec& b : kBuiltins)
        if (SameName(name, b.name)) return &b;
    return nullptr;
}

const CommandSpec* FindCommandBlind(std::string_view name) {
    for (const CommandSpec& c : kCommands)
        if (SameName(name, c.name)) return &c;
    return nullptr;
}

// Words that begin block lines: no method may take their names.
constexpr const char* kKeywords[] = {"if",     "else",  "end",    "case",    "while", "repeat",   "until", "for",
                                     "try",    "catch", "method", "include", "break", "continue", "return"};

bool IsKeyword(std::string_view folded) {
    for (const char* k : kKeywords)
        if (folded == k) return true;
    return false;
}

}  // namespace

ValueKind StaticKind(const Expr& e) {
    switch (e.form) {
        case Expr::Form::Empty:
        case Expr::Form::Variable:
        case Expr::Form::Element:
        case Expr::Form::Method: return ValueKind::None;
        case Expr::Form::Integer: return ValueKind::Integer;
        case Expr::Form::Text: return ValueKind::Text;
        case Expr::Form::Date: return ValueKind::Date;
        case Expr::Form::Command: return KindOfResult(e.command->result);
        case Expr::Form::Builtin: return SpecOf(e.builtin).gives;
        case Expr::Form::Unary: return ValueKind::Integer;
        case Expr::Form::Binary:
            switch (e.op) {
                case Op::Add: {
                    const ValueKind left = StaticKind(e.args[0]);
                    return left != ValueKind::None ? left : StaticKind(e.args[1]);
                }
                case Op::Eq: case Op::Ne: case Op::Lt: case Op::Gt: case Op::Le: case Op::Ge:
                case Op::And: case Op::Or: return ValueKind::Boolean;
                default: return ValueKind::Integer;
            }
    }
    return ValueKind::None;
}

namespace {

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsCall(const Expr& e) {
    return e.form == Expr::Form::Command || e.form == Expr::Form::Builtin || e.form == Expr::Form::Method;
}

// ---- The line parser -------------------------------------------------------------------------------

// What one line holds.
enum class LineKind : uint8_t {
    Nothing, Statement, If, Else, EndIf, CaseOf, Branch, EndCase, While, EndWhile, Repeat, Until,
    For, EndFor, Try, Catch, EndTry, Method, EndMethod, Include, Break, Continue, Return,
};

struct LineItem {
    LineKind kind = LineKind::Nothing;
    Statement statement;                  // Statement; If/While/Until/Branch: `value`; For: `place`, `range`
    std::string name;                     // Method: its name; Include: the path
    std::vector<std::string> parameters;  // Method: the parameters' names, without '$'
};

// A recursive-descent reader of one line; `error` holds the first fault. Variables are resolved in
// `scope` (new names get new slots); `method` is the method being parsed, if any.
class LineParser {
public:
    LineParser(std::string_view line, Program& program, Scope& scope, Method* method)
        : s_(line), program_(program), scope_(scope), method_(method) {}

    bool Item(LineItem& item) {
        SkipSpace();
        if (AtEnd()) return true;
        const bool ok = Line(item);
        SkipSpace();
        if (!ok || !AtEnd()) {
            // The words of the prompt are no statements: say so rather than what the parser tripped on.
            if (PromptWordHere()) error = "help and quit are words of the prompt (zor-host with no script, "
                                          "or zor-host - reading standard input), not statements of a script";
            return ok ? Fail("unexpected text after the statement") : false;
        }
        return true;
    }

    std::string error;

private:
    bool Line(LineItem& item) {
        Statement& st = item.statement;
        const char c = s_[at_];
        if (c == '$' || (c == '<' && Peek(1) == '>')) {
            item.kind = LineKind::Statement;
            st.form = Statement::Form::Assign;
            if (!Place(st.place)) return false;
            st.target = st.place.text;
            SkipSpace();
            if (!Take(":=")) return Fail("expected := after " + PlaceName(st.place));
            SkipSpace();
            if (AtEnd()) return Fail("expected a value after :=");
            if (!Expression(st.value)) return false;
            if (IsCall(st.value) && st.value.form != Expr::Form::Method && StaticKind(st.value) == ValueKind::None)
                return Fail(st.value.text + " gives no value to assign");
            return true;
        }
        if (c == ':' && Peek(1) != '=') {
            ++at_;
            item.kind = LineKind::Branch;
            return Condition(st.value);
        }
        if (IsNameStart(c)) {
            const size_t start = at_;
            const std::string word = Folded(Word());
            if (IsKeyword(word)) return Block(word, item);
            at_ = start;
        }
        item.kind = LineKind::Statement;
        st.form = Statement::Form::Call;
        if (!Expression(st.value)) return false;
        if (!IsCall(st.value)) return Fail("a statement is a call or an assignment $var := value");
        return true;
    }

    // The rest of a line that starts with a keyword.
    bool Block(const std::string& word, LineItem& item) {
        Statement& st = item.statement;
        if (word == "if") return item.kind = LineKind::If, Condition(st.value);
        if (word == "else") return item.kind = LineKind::Else, true;
        if (word == "while") return item.kind = LineKind::While, Condition(st.value);
        if (word == "repeat") return item.kind = LineKind::Repeat, true;
        if (word == "until") return item.kind = LineKind::Until, Condition(st.value);
        if (word == "try") return item.kind = LineKind::Try, true;
        if (word == "catch") return item.kind = LineKind::Catch, true;
        if (word == "for") return item.kind = LineKind::For, For(st);
        if (word == "break") return item.kind = LineKind::Break, st.form = Statement::Form::Break, true;
        if (word == "continue") return item.kind = LineKind::Continue, st.form = Statement::Form::Continue, true;
        if (word == "return") {
            // Return, or Return(value): the value becomes the method's $0.
            item.kind = LineKind::Return;
            st.form = Statement::Form::Return;
            if (method_ == nullptr) return Fail("Return is written only inside a method");
            SkipSpace();
            if (AtEnd()) return true;
            if (!Expression(st.value)) return false;
            method_->givesValue = true;
            st.place.form = Expr::Form::Variable;
            st.place.text = "0";
            st.place.slot = 0;
            return true;
        }
        if (word == "case") {
            SkipSpace();
            if (Folded(Word()) != "of") return Fail("expected Case of");
            item.kind = LineKind::CaseOf;
            return true;
        }
        if (word == "end") {
            SkipSpace();
            const std::string what = Folded(Word());
            const struct {
                const char* word;
                LineKind kind;
            } kEnds[] = {{"if", LineKind::EndIf},   {"case", LineKind::EndCase}, {"while", LineKind::EndWhile},
                         {"for", LineKind::EndFor}, {"try", LineKind::EndTry},   {"method", LineKind::EndMethod}};
            for (const auto& e : kEnds)
                if (what == e.word) return item.kind = e.kind, true;
            return Fail("expected End if, End case, End while, End for, End try or End method");
        }
        if (word == "include") {
            SkipSpace();
            Expr path;
            if (at_ >= s_.size() || s_[at_] != '"') return Fail("expected a file name in quotes after Include");
            if (!String(path)) return false;
            item.kind = LineKind::Include;
            item.name = MacRomanToUtf8(path.text);
            return true;
        }
        // method
        SkipSpace();
        if (at_ >= s_.size() || !IsNameStart(s_[at_])) return Fail("expected a method name after Method");
        item.kind = LineKind::Method;
        item.name = Word();
        if (IsKeyword(Folded(item.name))) return Fail(item.name + " is a keyword, not a method name");
        SkipSpace();
        if (Take("(")) {
            SkipSpace();
            if (!Take(")")) {
                while (true) {
                    SkipSpace();
                    if (at_ >= s_.size() || s_[at_] != '$') return Fail("expected a parameter $name");
                    ++at_;
                    const std::string name = Word();
                    if (name.empty()) return Fail("expected a variable name after $");
                    if (name == "0") return Fail("$0 is the method's result, not a parameter");
                    item.parameters.push_back(name);
                    SkipSpace();
                    if (Take(")")) break;
                    if (!Take(";")) return Fail("expected ; or ) in the parameters of " + item.name);
                }
            }
        }
        return true;
    }

    bool Condition(Expr& e) {
        SkipSpace();
        if (AtEnd()) return Fail("expected a condition");
        return Expression(e);
    }

    // For ($v; from; to {; step})
    bool For(Statement& st) {
        SkipSpace();
        if (!Take("(")) return Fail("expected ( after For");
        SkipSpace();
        if (at_ >= s_.size() || s_[at_] != '$') return Fail("expected the loop variable $name after For (");
        if (!Place(st.place)) return false;
        if (st.place.form != Expr::Form::Variable) return Fail("the loop variable must be a plain variable");
        for (int part = 0; part < 3; ++part) {
            SkipSpace();
            if (part == 2 && Take(")")) return true;
            if (!Take(";")) return Fail("expected ; in For ($var; from; to {; step})");
            SkipSpace();
            if (!Expression(st.range.emplace_back())) return false;
        }
        SkipSpace();
        if (!Take(")")) return Fail("expected ) to close For (");
        return true;
    }

    static std::string PlaceName(const Expr& place) {
        return (place.global ? "<>" : "$") + place.text + (place.form == Expr::Form::Element ? "{...}" : "");
    }

    bool Fail(std::string message) {
        if (error.empty()) error = std::move(message);
        return false;
    }

    // The line starts with `help` or `quit` as a word of its own.
    bool PromptWordHere() const {
        size_t i = 0;
        while (i < s_.size() && (s_[i] == ' ' || s_[i] == '\t')) ++i;
        for (const char* word : {"help", "quit"}) {
            if (s_.size() - i >= 4 && strncasecmp(s_.data() + i, word, 4) == 0 &&
                (s_.size() - i == 4 || s_[i + 4] == ' ' || s_[i + 4] == '\t' || s_[i + 4] == '\r'))
                return true;
        }
        return false;
    }

    char Peek(size_t ahead) const { return at_ + ahead < s_.size() ? s_[at_ + ahead] : '\0'; }

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

    std::string Word() {
        const size_t start = at_;
        while (at_ < s_.size() && IsNameChar(s_[at_])) ++at_;
        return std::string(s_.substr(start, at_ - start));
    }

    // `$name` or `<>name`, resolved to a slot, with an optional `{index}`.
    bool Place(Expr& e) {
        e.global = s_[at_] == '<';
        at_ += e.global ? 2 : 1;
        const size_t start = at_;
        while (at_ < s_.size() && IsNameChar(s_[at_])) ++at_;
        if (at_ == start) return Fail(std::string("expected a variable name after ") + (e.global ? "<>" : "$"));
        e.text = std::string(s_.substr(start, at_ - start));
        e.form = Expr::Form::Variable;
        if (!e.global && e.text == "0") {
            if (method_ == nullptr) return Fail("$0 is a method's result: it has no meaning outside a method");
            method_->givesValue = true;
        }
        Scope& scope = e.global ? program_.globals : scope_;
        const std::string key = Folded(e.text);
        const auto found = scope.slots.find(key);
        if (found != scope.slots.end()) {
            e.slot = found->second;
        } else {
            e.slot = static_cast<int32_t>(scope.names.size());
            scope.slots.emplace(key, e.slot);
            scope.names.push_back(e.text);
        }
        if (at_ < s_.size() && s_[at_] == '{') {
            ++at_;
            e.form = Expr::Form::Element;
            SkipSpace();
            if (!Expression(e.args.emplace_back())) return false;
            SkipSpace();
            if (!Take("}")) return Fail("expected } after the index of " + PlaceName(e));
            e.depth = static_cast<uint16_t>(e.args[0].depth + 1);
        }
        return true;
    }

    // ---- Expressions, by precedence ----

    bool Expression(Expr& e) {
        if (++nesting_ > kMostNesting) return Fail("expression nested more than " + std::to_string(kMostNesting) + " deep");
        const bool ok = Or(e);
        --nesting_;
        return ok;
    }

    // Makes `e` the operator node `op` over the old `e` and a right side parsed by `next`.
    template <typename Next>
    bool Combine(Expr& e, Op op, Next next) {
        Expr left = std::move(e);
        e = Expr{};
        e.form = Expr::Form::Binary;
        e.op = op;
        e.args.push_back(std::move(left));
        SkipSpace();
        if (!(this->*next)(e.args.emplace_back())) return false;
        if (++operators_ > kMostOperators) return Fail("more than " + std::to_string(kMostOperators) + " operators on one line");
        // A chain leaning left (1 + 2 + 3 ...) is worked out in a loop, not by recursion: only its
        // right sides add to its height.
        const int low = e.args[0].depth, high = e.args[1].depth;
        const int height = e.args[0].form == Expr::Form::Binary ? std::max(low, high + 1) : std::max(low, high) + 1;
        e.depth = static_cast<uint16_t>(height);
        if (e.depth > kMostDepth) return Fail("expression nested more than " + std::to_string(kMostDepth) + " deep");
        return true;
    }

    bool Or(Expr& e) {
        if (!And(e)) return false;
        while (true) {
            SkipSpace();
            if (!Take("|")) return true;
            if (!Combine(e, Op::Or, &LineParser::And)) return false;
        }
    }

    bool And(Expr& e) {
        if (!Compare(e)) return false;
        while (true) {
            SkipSpace();
            if (!Take("&")) return true;
            if (!Combine(e, Op::And, &LineParser::Compare)) return false;
        }
    }

    bool Compare(Expr& e) {
        if (!Sum(e)) return false;
        SkipSpace();
        Op op;
        if (Take("<=")) op = Op::Le;
        else if (Take(">=")) op = Op::Ge;
        else if (Take("=")) op = Op::Eq;
        else if (Take("#")) op = Op::Ne;
        else if (Take("<")) op = Op::Lt;
        else if (Take(">")) op = Op::Gt;
        else return true;
        return Combine(e, op, &LineParser::Sum);
    }

    bool Sum(Expr& e) {
        if (!Term(e)) return false;
        while (true) {
            SkipSpace();
            Op op;
            if (Take("+")) op = Op::Add;
            else if (Take("-")) op = Op::Sub;
            else return true;
            if (!Combine(e, op, &LineParser::Term)) return false;
        }
    }

    bool Term(Expr& e) {
        if (!Unary(e)) return false;
        while (true) {
            SkipSpace();
            Op op;
            if (AtEnd()) return true;  // "//" is a comment, not two divisions
            if (Take("*")) op = Op::Mul;
            else if (Take("/")) op = Op::Div;
            else if (Take("%")) op = Op::Mod;
            else return true;
            if (!Combine(e, op, &LineParser::Unary)) return false;
        }
    }

    bool Unary(Expr& e) {
        SkipSpace();
        if (at_ >= s_.size()) return Fail("expected a value");
        const char c = s_[at_];
        if ((c == '-' || c == '+') && IsDigit(Peek(1))) return Integer(e);
        if (c == '-' || c == '+') {
            ++at_;
            if (++nesting_ > kMostNesting) return Fail("expression nested more than " + std::to_string(kMostNesting) + " deep");
            Expr operand;
            const bool ok = Unary(operand);
            --nesting_;
            if (!ok) return false;
            if (c == '+') {
                e = std::move(operand);
                return true;
            }
            e.form = Expr::Form::Unary;
            e.op = Op::Neg;
            e.depth = static_cast<uint16_t>(operand.depth + 1);
            e.args.push_back(std::move(operand));
            return true;
        }
        return Primary(e);
    }

    bool Primary(Expr& e) {
        if (AtEnd()) return Fail("expected a value");
        const char c = s_[at_];
        if (c == '$' || (c == '<' && Peek(1) == '>')) return Place(e);
        if (c == '"') return String(e);
        if (c == '!') return Date(e);
        if (IsDigit(c)) return Integer(e);
        if (IsNameStart(c)) return Call(e);
        if (c == '(') {
            ++at_;
            SkipSpace();
            if (!Expression(e)) return false;
            SkipSpace();
            if (!Take(")")) return Fail("expected ) to close (");
            return true;
        }
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
        // Calls nest as arguments; the depth is bounded so no line can exhaust the stack.
        if (calls_ >= kMostCalls) return Fail("calls nested more than " + std::to_string(kMostCalls) + " deep");
        ++calls_;
        const bool ok = CallBody(e);
        --calls_;
        return ok;
    }

    bool CallBody(Expr& e) {
        const std::string name = Word();
        if (IsKeyword(Folded(name))) return Fail(name + " is a keyword, not a value");
        e.text = name;
        const BuiltinSpec* builtin = FindBuiltin(name);
        int least = 0;  // arguments a call must have, as far as the parser knows
        if (builtin != nullptr) {
            e.form = Expr::Form::Builtin;
            e.builtin = builtin->builtin;
            least = builtin->least;
        } else if (const CommandSpec* command = FindCommandBlind(name); command != nullptr) {
            e.form = Expr::Form::Command;
            e.command = command;
            least = ArgCount(*command);
        } else {
            e.form = Expr::Form::Method;  // resolved once the whole script is read
        }
        const size_t beforeSpace = at_;
        SkipSpace();
        if (!Take("(")) {
            // A call of nothing may leave out its parentheses.
            at_ = beforeSpace;
            if (least > 0) return Fail("expected ( after " + name);
            return e.form == Expr::Form::Builtin ? CheckBuiltin(e, *builtin)
                   : e.form == Expr::Form::Command ? CheckCommand(e) : true;
        }
        SkipSpace();
        if (!Take(")")) {
            while (true) {
                Expr& arg = e.args.emplace_back();
                SkipSpace();
                if (at_ >= s_.size() || AtEnd()) return Fail("unterminated argument list: expected )");
                if (s_[at_] != ';' && s_[at_] != ')' && !Expression(arg)) return false;
                if (arg.depth >= e.depth) e.depth = static_cast<uint16_t>(arg.depth + 1);
                SkipSpace();
                if (Take(")")) break;
                if (!Take(";")) {
                    if (at_ >= s_.size() || AtEnd()) return Fail("unterminated argument list: expected )");
                    return Fail("expected ; or ) in the arguments of " + name);
                }
            }
        }
        if (e.depth > kMostDepth) return Fail("expression nested more than " + std::to_string(kMostDepth) + " deep");
        if (e.form == Expr::Form::Builtin) return CheckBuiltin(e, *builtin);
        if (e.form == Expr::Form::Command) return CheckCommand(e);
        for (size_t i = 0; i < e.args.size(); ++i)
            if (e.args[i].form == Expr::Form::Empty) return Fail(Ordinal(i) + " of " + name + " may not be left out");
        return true;
    }

    static std::string Ordinal(size_t n) { return "argument " + std::to_string(n + 1); }

    bool CheckCommand(const Expr& e) {
        const CommandSpec& c = *e.command;
        const size_t total = static_cast<size_t>(ArgCount(c));
        size_t least = total;
        while (least > 0 && Arg(c, static_cast<int>(least) - 1).optional) --least;
        const size_t given = e.args.size();
        // Only trailing optional arguments may be left off; a left-out one in the middle is written empty.
        const bool countOk = given <= total && given >= least;
        if (!countOk) {
            std::string wanted = std::to_string(total);
            if (least < total) wanted = std::to_string(least) + " to " + wanted;
            return Fail(e.text + " takes " + wanted + (total == 1 ? " argument" : " arguments") + ", got " +
                        std::to_string(given));
        }
        for (size_t i = 0; i < given; ++i) {
            const ArgSpec a = Arg(c, static_cast<int>(i));
            const Expr& arg = e.args[i];
            const std::string where = Ordinal(i) + " of " + e.text;
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
        const ValueKind got = StaticKind(arg);
        if (got == ValueKind::None) {
            if (IsCall(arg) && arg.form != Expr::Form::Method) return Fail(where + ": " + arg.text + " gives no value");
            return true;  // known when run
        }
        if (got != wanted) return Fail(where + " wants " + KindName(wanted) + ", not " + KindName(got));
        return true;
    }

    bool CheckBuiltin(const Expr& e, const BuiltinSpec& b) {
        const size_t given = e.args.size();
        if (given < static_cast<size_t>(b.least) || (b.most >= 0 && given > static_cast<size_t>(b.most))) {
            std::string wanted = std::to_string(b.least);
            if (b.most < 0) wanted += " or more";
            else if (b.most != b.least) wanted += " to " + std::to_string(b.most);
            return Fail(e.text + " takes " + wanted + (b.most == 1 ? " argument" : " arguments") + ", got " +
                        std::to_string(given));
        }
        for (size_t i = 0; i < given; ++i) {
            const Expr& arg = e.args[i];
            const std::string where = Ordinal(i) + " of " + e.text;
            const char letter = ArgLetter(b, i);
            if (arg.form == Expr::Form::Empty) return Fail(where + " may not be left out");
            if (letter == 'A') {
                if (arg.form != Expr::Form::Variable) return Fail(where + " must be a variable");
                continue;
            }
            const ValueKind got = StaticKind(arg);
            if (got == ValueKind::None) {
                if (IsCall(arg) && arg.form != Expr::Form::Method) return Fail(where + ": " + arg.text + " gives no value");
                continue;
            }
            if (!ArgKindFits(letter, got)) return Fail(where + " wants " + ArgKindName(letter) + ", not " + KindName(got));
        }
        return true;
    }

    static constexpr int kMostCalls = 32;     // calls nested as arguments
    static constexpr int kMostNesting = 64;   // parentheses and signs nested
    static constexpr uint16_t kMostDepth = 256;  // height of an expression's tree
    static constexpr int kMostOperators = 4000;  // binary operators on one line

    std::string_view s_;
    size_t at_ = 0;
    int calls_ = 0;
    int nesting_ = 0;
    int operators_ = 0;
    Program& program_;
    Scope& scope_;
    Method* method_;
};

// ---- The file parser: blocks, methods, includes -----------------------------------------------------

// A block being read: its statement and which of its lists takes the next statements.
struct OpenBlock {
    LineKind opener;  // If, CaseOf, While, Repeat, For, Try
    Statement statement;
    int part = 0;     // 0 the body; 1 the Else or Catch part; for a Case, 2 once a branch is open
};

const char* BlockName(LineKind kind) {
    switch (kind) {
        case LineKind::If: return "If";
        case LineKind::CaseOf: return "Case of";
        case LineKind::While: return "While";
        case LineKind::Repeat: return "Repeat";
        case LineKind::For: return "For";
        case LineKind::Try: return "Try";
        default: return "?";
    }
}

const char* CloserOf(LineKind kind) {
    switch (kind) {
        case LineKind::If: return "End if";
        case LineKind::CaseOf: return "End case";
        case LineKind::While: return "End while";
        case LineKind::Repeat: return "Until";
        case LineKind::For: return "End for";
        case LineKind::Try: return "End try";
        default: return "?";
    }
}

class FileParser {
public:
    FileParser(Program& program, ParseError& error, const FileLoader& loader, int includes)
        : program_(program), error_(error), loader_(loader), includes_(includes) {}

    // Parses one file; `included` files hold only methods and Include lines.
    bool File(std::string_view source, const std::string& name, bool included, int firstLine) {
        file_ = -1;
        for (size_t i = 0; i < program_.files.size(); ++i)
            if (program_.files[i] == name) file_ = static_cast<int>(i);  // a prompt's next chunk
        if (file_ < 0) {
            file_ = static_cast<int>(program_.files.size());
            program_.files.push_back(name);
        }
        included_ = included;
        int lineNumber = firstLine - 1;
        size_t at = 0;
        while (at < source.size()) {
            size_t end = source.find('\n', at);
            if (end == std::string_view::npos) end = source.size();
            const std::string_view line = source.substr(at, end - at);
            at = end + 1;
            ++lineNumber;
            if (!Line(line, lineNumber)) return false;
        }
        if (!open_.empty()) {
            error_.open = true;
            return Fail(open_.back().statement.line,
                        std::string(BlockName(open_.back().opener)) + " without " + CloserOf(open_.back().opener));
        }
        if (method_ != nullptr) {
            error_.open = true;
            return Fail(method_->line, "Method " + method_->name + " without End method");
        }
        return true;
    }

private:
    bool Fail(int line, std::string message) {
        error_.file = program_.files[static_cast<size_t>(file_)];
        error_.line = line;
        error_.message = std::move(message);
        return false;
    }

    std::vector<Statement>& Current() {
        if (open_.empty()) return method_ != nullptr ? method_->body : program_.main;
        OpenBlock& top = open_.back();
        if (top.opener == LineKind::CaseOf) return top.part == 1 ? top.statement.otherwise : top.statement.branches.back().body;
        return top.part == 1 ? top.statement.otherwise : top.statement.body;
    }

    bool Line(std::string_view text, int lineNumber) {
        LineItem item;
        Scope& scope = method_ != nullptr ? methodScope_ : program_.mainScope;
        LineParser parser(text, program_, scope, method_);
        if (!parser.Item(item)) return Fail(lineNumber, parser.error);
        if (method_ != nullptr) method_->slots = static_cast<int>(methodScope_.names.size());
        Statement& st = item.statement;
        st.line = lineNumber;
        st.file = file_;
        if (item.kind == LineKind::Nothing) return true;
        const bool topLevel = open_.empty() && method_ == nullptr;
        if (included_ && topLevel && item.kind != LineKind::Method && item.kind != LineKind::Include)
            return Fail(lineNumber, "an included file holds only methods and Include lines");
        OpenBlock* top = open_.empty() ? nullptr : &open_.back();
        if (top != nullptr && top->opener == LineKind::CaseOf && top->part == 0 && item.kind != LineKind::Branch &&
            item.kind != LineKind::Else && item.kind != LineKind::EndCase)
            return Fail(lineNumber, "expected : (condition) after Case of");
        switch (item.kind) {
            case LineKind::Nothing: return true;
            case LineKind::Statement: Current().push_back(std::move(st)); return true;
            case LineKind::If: st.form = Statement::Form::If; return Open(item.kind, std::move(st));
            case LineKind::CaseOf: st.form = Statement::Form::Case; return Open(item.kind, std::move(st));
            case LineKind::While: st.form = Statement::Form::While; return Open(item.kind, std::move(st));
            case LineKind::Repeat: st.form = Statement::Form::Repeat; return Open(item.kind, std::move(st));
            case LineKind::For: st.form = Statement::Form::For; return Open(item.kind, std::move(st));
            case LineKind::Try: st.form = Statement::Form::Try; return Open(item.kind, std::move(st));
            case LineKind::Else:
                if (top == nullptr || (top->opener != LineKind::If && top->opener != LineKind::CaseOf))
                    return Mismatch(lineNumber, "Else", "If or Case of");
                if (top->part == 1) return Fail(lineNumber, "a second Else in one block");
                top->part = 1;
                return true;
            case LineKind::Catch:
                if (top == nullptr || top->opener != LineKind::Try) return Mismatch(lineNumber, "Catch", "Try");
                if (top->part == 1) return Fail(lineNumber, "a second Catch in one Try");
                top->part = 1;
                return true;
            case LineKind::Branch: {
                if (top == nullptr || top->opener != LineKind::CaseOf) return Mismatch(lineNumber, ":", "Case of");
                if (top->part == 1) return Fail(lineNumber, "a branch after the Else of a Case");
                Branch& b = top->statement.branches.emplace_back();
                b.line = lineNumber;
                b.condition = std::move(st.value);
                top->part = 2;
                return true;
            }
            case LineKind::EndIf: return Close(lineNumber, LineKind::If, "End if", nullptr);
            case LineKind::EndCase: return Close(lineNumber, LineKind::CaseOf, "End case", nullptr);
            case LineKind::EndWhile: return Close(lineNumber, LineKind::While, "End while", nullptr);
            case LineKind::EndFor: return Close(lineNumber, LineKind::For, "End for", nullptr);
            case LineKind::EndTry: return Close(lineNumber, LineKind::Try, "End try", nullptr);
            case LineKind::Until: return Close(lineNumber, LineKind::Repeat, "Until", &st.value);
            case LineKind::Method: return StartMethod(lineNumber, item);
            case LineKind::EndMethod:
                if (method_ == nullptr) return Fail(lineNumber, "End method without Method");
                if (top != nullptr) return Mismatch(lineNumber, "End method", "Method");
                method_->slots = static_cast<int>(methodScope_.names.size());
                method_ = nullptr;
                return true;
            case LineKind::Include: return Include(lineNumber, item.name);
            case LineKind::Break:
            case LineKind::Continue: {
                bool inLoop = false;
                for (const OpenBlock& b : open_)
                    inLoop = inLoop || b.opener == LineKind::While || b.opener == LineKind::Repeat || b.opener == LineKind::For;
                if (!inLoop) return Fail(lineNumber, std::string(item.kind == LineKind::Break ? "Break" : "Continue") + " outside a loop");
                Current().push_back(std::move(st));
                return true;
            }
            case LineKind::Return: Current().push_back(std::move(st)); return true;
        }
        return true;
    }

    bool Open(LineKind kind, Statement st) {
        if (open_.size() >= kMostBlocks)
            return Fail(st.line, "blocks nested more than " + std::to_string(kMostBlocks) + " deep");
        OpenBlock& block = open_.emplace_back();
        block.opener = kind;
        block.statement = std::move(st);
        return true;
    }

    // A closing line that does not match the innermost open block.
    bool Mismatch(int line, const std::string& closer, const std::string& opener) {
        std::string message = closer + " without " + opener;
        if (!open_.empty())
            message += " (the " + std::string(BlockName(open_.back().opener)) + " of line " +
                       std::to_string(open_.back().statement.line) + " is open)";
        return Fail(line, message);
    }

    bool Close(int line, LineKind opener, const char* closer, Expr* until) {
        if (open_.empty() || open_.back().opener != opener) return Mismatch(line, closer, BlockName(opener));
        Statement st = std::move(open_.back().statement);
        if (until != nullptr) {
            st.value = std::move(*until);
            st.endLine = line;
        }
        open_.pop_back();
        Current().push_back(std::move(st));
        return true;
    }

    bool StartMethod(int line, const LineItem& item) {
        if (method_ != nullptr || !open_.empty()) return Fail(line, "a method is defined only at the top level");
        const std::string key = Folded(item.name);
        if (FindBuiltin(item.name) != nullptr || FindCommandBlind(item.name) != nullptr)
            return Fail(line, "the method " + item.name + " has the name of a command");
        if (program_.methodIndex.count(key) != 0) return Fail(line, "a second method named " + item.name);
        program_.methodIndex.emplace(key, static_cast<int32_t>(program_.methods.size()));
        method_ = &program_.methods.emplace_back();
        method_->name = item.name;
        method_->file = file_;
        method_->line = line;
        method_->parameters = static_cast<int>(item.parameters.size());
        methodScope_ = Scope{};
        methodScope_.slots.emplace("0", 0);
        methodScope_.names.push_back("0");
        for (const std::string& p : item.parameters) {
            const std::string folded = Folded(p);
            if (methodScope_.slots.count(folded) != 0) return Fail(line, "a second parameter $" + p);
            methodScope_.slots.emplace(folded, static_cast<int32_t>(methodScope_.names.size()));
            methodScope_.names.push_back(p);
        }
        method_->slots = static_cast<int>(methodScope_.names.size());
        return true;
    }

    bool Include(int line, const std::string& path) {
        if (method_ != nullptr || !open_.empty()) return Fail(line, "Include is written only at the top level");
        if (!loader_) return Fail(line, "cannot include " + path + ": no files here");
        if (includes_ >= kMostIncludes) return Fail(line, "files included more than " + std::to_string(kMostIncludes) + " deep");
        // A path relative to the including file's folder.
        std::string resolved = path;
        const std::string& here = program_.files[static_cast<size_t>(file_)];
        const size_t slash = here.rfind('/');
        if (!path.empty() && path[0] != '/' && slash != std::string::npos) resolved = here.substr(0, slash + 1) + path;
        for (const std::string& seen : program_.files)
            if (seen == resolved) return true;  // each file is read once
        std::string text, why;
        if (!loader_(resolved, text, why)) return Fail(line, "cannot include " + path + ": " + why);
        FileParser inner(program_, error_, loader_, includes_ + 1);
        return inner.File(text, resolved, true, 1);
    }

    static constexpr int kMostIncludes = 16;
    static constexpr size_t kMostBlocks = 256;  // blocks open inside one another

    Program& program_;
    ParseError& error_;
    const FileLoader& loader_;
    int includes_;
    int file_ = 0;
    bool included_ = false;
    std::vector<OpenBlock> open_;
    Method* method_ = nullptr;  // the method being read, if any
    Scope methodScope_;         // its variables
};

// ---- Resolution of method calls ----------------------------------------------------------------------

class Resolver {
public:
    Resolver(Program& program, ParseError& error) : program_(program), error_(error) {}

    bool Statements(std::vector<Statement>& list) {
        for (Statement& st : list) {
            line_ = st.line;
            file_ = st.file;
            // A call statement drops its value; every other expression of a statement wants one.
            const bool valueWanted = st.form != Statement::Form::Call && st.form != Statement::Form::Assign;
            if (!Walk(st.place, true) || !Walk(st.value, valueWanted)) return false;
            if (st.form == Statement::Form::Assign && st.value.form == Expr::Form::Method &&
                !program_.methods[static_cast<size_t>(st.value.slot)].givesValue)
                return Fail(st.value.text + " gives no value to assign");
            for (Expr& e : st.range)
                if (!Walk(e, true)) return false;
            if (!Statements(st.body) || !Statements(st.otherwise)) return false;
            for (Branch& b : st.branches) {
                line_ = b.line;
                if (!Walk(b.condition, true) || !Statements(b.body)) return false;
            }
        }
        return true;
    }

private:
    bool Fail(std::string message) {
        error_.file = program_.files[static_cast<size_t>(file_)];
        error_.line = line_;
        error_.message = std::move(message);
        return false;
    }

    bool Walk(Expr& e, bool valueWanted) {
        if (e.form == Expr::Form::Method) {
            const auto found = program_.methodIndex.find(Folded(e.text));
            if (found == program_.methodIndex.end()) return Fail("unknown command " + e.text);
            e.slot = found->second;
            const Method& m = program_.methods[static_cast<size_t>(e.slot)];
            if (e.args.size() != static_cast<size_t>(m.parameters))
                return Fail(e.text + " takes " + std::to_string(m.parameters) +
                            (m.parameters == 1 ? " argument" : " arguments") + ", got " + std::to_string(e.args.size()));
            if (valueWanted && !m.givesValue) return Fail(e.text + " gives no value");
        }
        for (Expr& arg : e.args)
            if (!Walk(arg, true)) return false;
        return true;
    }

    Program& program_;
    ParseError& error_;
    int line_ = 0;
    int file_ = 0;
};

}  // namespace

// ---- Entry points ------------------------------------------------------------------------------------

bool ParseProgram(std::string_view source, const std::string& name, Program& program, ParseError& error,
                  const FileLoader& loader, int firstLine) {
    error = ParseError{};
    // Kept to put back on a fault, so a prompt's bad chunk leaves no half-made method or variable.
    const size_t methods = program.methods.size();
    const size_t files = program.files.size();
    const Scope mainScope = program.mainScope;
    const Scope globals = program.globals;
    const auto methodIndex = program.methodIndex;
    program.main.clear();

    FileParser parser(program, error, loader, 0);
    bool ok = parser.File(source, name, false, firstLine);
    if (ok) {
        Resolver resolver(program, error);
        ok = resolver.Statements(program.main);
        for (size_t m = methods; ok && m < program.methods.size(); ++m) ok = resolver.Statements(program.methods[m].body);
    }
    if (!ok) {
        program.main.clear();
        program.methods.resize(methods);
        program.files.resize(files);
        program.mainScope = mainScope;
        program.globals = globals;
        program.methodIndex = methodIndex;
    }
    return ok;
}

bool ParseScript(std::string_view source, std::vector<Statement>& statements, ParseError& error) {
    Program program;
    statements.clear();
    if (!ParseProgram(source, "<script>", program, error)) return false;
    statements = std::move(program.main);
    return true;
}

bool ParseLine(std::string_view line, int lineNumber, Statement& statement, bool& has, std::string& error) {
    statement = Statement{};
    has = false;
    // The line is parsed at its own line number: blank lines before it keep the numbering.
    std::string text(static_cast<size_t>(lineNumber > 1 ? lineNumber - 1 : 0), '\n');
    text.append(line);
    std::vector<Statement> statements;
    ParseError fault;
    if (!ParseScript(text, statements, fault)) {
        error = fault.message;
        return false;
    }
    if (statements.empty()) return true;
    statement = std::move(statements.front());
    has = true;
    return true;
}

}  // namespace zor::shell
