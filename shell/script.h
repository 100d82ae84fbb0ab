// script.h: the host language: its statements as parsed, and the parser (a function over text).
//
// One statement a line: `$var := value`, or a call `Name(arg; arg ...)` of a command of the plug-in
// or of a built-in. A value is an integer (decimal with an optional sign, or 0x hex; 32 bits), a
// string "..." (UTF-8 in the script, Mac Roman once parsed; escapes \r \n \t \0 \\ \" \xHH), a date
// !YYYY-MM-DD!, a variable $name, or a call. `//` starts a comment. Everything that can be known
// without running (names, argument counts, which arguments must be variables, the kinds of literals
// and of call results) is checked here, so a script with such a fault runs no statement at all.
#ifndef ZOR_SHELL_SCRIPT_H
#define ZOR_SHELL_SCRIPT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zor/zor.h"

namespace zor::shell {

// The kinds of value a host variable holds. Strings of the plug-in are texts here.
enum class ValueKind : uint8_t {
    None,     // no value: a call whose command returns nothing, or a variable not known until run
    Integer,  // 32-bit signed; also what short arguments read
    Text,     // Mac Roman bytes, at most 32767
    Picture,  // picture or BLOB data in a host handle
    Date,     // day, month, year
};

const char* KindName(ValueKind kind);

// The value kind an argument of the plug-in takes or gives.
ValueKind KindOfArg(ArgKind kind);
ValueKind KindOfResult(ResultKind kind);

enum class Builtin : uint8_t {
    Print,    // print(v; ...): values on one line, tab-separated
    Hex,      // hex(v): lower-case hex of a text's or picture's bytes
    Length,   // length(v): byte count of a text or picture
    Picture,  // picture(path): a host picture from a GIF, JPEG or PNG file
};

struct Expr {
    enum class Form : uint8_t {
        Empty,     // an optional argument left out: the plug-in gets a null address
        Integer,   // `integer`
        Text,      // `text`: Mac Roman bytes
        Date,      // `date`
        Variable,  // `text`: the name, without its '$'
        Command,   // `command`, `args`
        Builtin,   // `builtin`, `args`
    };
    Form form = Form::Empty;
    int32_t integer = 0;
    std::string text;
    int16_t date[3] = {0, 0, 0};  // day, month, year
    const CommandSpec* command = nullptr;
    Builtin builtin = Builtin::Print;
    std::vector<Expr> args;
};

struct Statement {
    int line = 0;        // 1-based line in the script
    std::string target;  // the variable assigned (without '$'); empty for a bare call
    Expr value;
};

// The kind an expression is known to have before running: None for variables (and for calls of
// commands that return nothing).
ValueKind StaticKind(const Expr& e);

struct ParseError {
    int line = 0;
    std::string message;
};

// Parses one line. Returns false with `error` set on a fault; true otherwise, with `has` telling
// whether the line held a statement (blank and comment lines hold none).
bool ParseLine(std::string_view line, int lineNumber, Statement& statement, bool& has, std::string& error);

// Parses a whole script (lines end with LF, optionally CR LF). Stops at the first fault.
bool ParseScript(std::string_view source, std::vector<Statement>& statements, ParseError& error);

}  // namespace zor::shell

#endif  // ZOR_SHELL_SCRIPT_H
