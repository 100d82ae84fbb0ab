// script.h: the host language as parsed: expressions, statements, methods, and the parser (a function
// over text). The grammar is written out once, atop shell/parser.cpp; docs/language.md explains it.
//
// A script is parsed whole before anything runs: names, argument counts, which arguments must be
// variables, the kinds of literals and of call results, and the pairing of every block are checked
// here, so a script with such a fault runs no statement at all. Variables are resolved to numbered
// slots of their method's frame (or of the global frame for `<>name`) and method calls to methods.
#ifndef ZOR_SHELL_SCRIPT_H
#define ZOR_SHELL_SCRIPT_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "zor/zor.h"

namespace zor::shell {

// The kinds of value a host variable holds. Strings of the plug-in are texts here.
// The kinds held by reference (texts, pictures, arrays) come last, so one comparison tells them.
enum class ValueKind : uint8_t {
    None,     // no value: a call that gives nothing, or a variable not known until run
    Integer,  // 32-bit signed, wrapping; also what short arguments read
    Date,     // day, month, year
    Boolean,  // the result of a comparison, True or False
    Text,     // Mac Roman bytes, at most 32767
    Picture,  // picture or BLOB data (no data: no picture)
    Array,    // a one-dimensional array of one of the kinds above
};

const char* KindName(ValueKind kind);

// The value kind an argument of the plug-in takes or gives.
ValueKind KindOfArg(ArgKind kind);
ValueKind KindOfResult(ResultKind kind);

// The built-in routines of the host (the table of their names and argument counts is in parser.cpp).
enum class Builtin : uint8_t {
    Print, Hex, Length, Picture,                                  // output and bytes
    Substring, Position, ReplaceString, Uppercase, Lowercase,     // texts
    Char, CharCode, String, Num, Trim,                            // conversions
    True, False, Not,                                             // booleans
    CurrentDate, CurrentTime, CurrentSeconds, Delay,              // time
    ReadFile, WriteFile, AppendFile, FileExists, DeleteFile,      // files
    CreateDocument, OpenDocument, SendPacket, ReceivePacket,      // documents open by reference
    DocumentSize, CloseDocument,
    ArrayInteger, ArrayText, ArrayDate, ArrayPicture, ArrayBoolean,
    SizeOfArray, AppendToArray, InsertInArray, DeleteFromArray,   // arrays
    ErrorText, ErrorLine, Throw,                                  // errors
    Argument, ArgumentCount, Environment,                         // the script's surroundings
    StatusText,                                                   // what a command's result means
    SortArray, FindInArray, SplitText, JoinText,                  // arrays and texts
    IsNumber, DocumentList, FolderList,                           // numbers checked, folders listed
    TextToUtf8, Utf8ToText,                                       // texts on the wire as UTF-8
    NewProcess, CurrentProcess, ProcessState, AbortProcess,      // processes
    Semaphore, ClearSemaphore,
};

// One built-in: its name as documented, how many arguments it takes (`most` -1: any number), a
// letter per argument (i integer, t text, b boolean, x text or picture, * any value, a an array,
// A a variable the built-in sets or changes; arguments past the letters take the last one) and the
// kind of value it gives.
struct BuiltinSpec {
    const char* name;
    Builtin builtin;
    int least;
    int most;
    const char* args;
    ValueKind gives;
};

const BuiltinSpec& SpecOf(Builtin builtin);

// What a built-in or a keyword is for, as `help Name` and docs/builtins.md show it: the table beside
// the parser's table of built-ins (every built-in has an entry; a test holds them in step).
struct LanguageNote {
    const char* name;     // as written in scripts
    const char* usage;    // how it is called or written, arguments in braces when optional
    const char* summary;  // what it does, what it gives, and when it raises an error
};
extern const LanguageNote kBuiltinNotes[];
extern const size_t kBuiltinNoteCount;
extern const LanguageNote kKeywordNotes[];
extern const size_t kKeywordNoteCount;
// The note of a built-in or keyword, by its name in any case, or null.
const LanguageNote* FindLanguageNote(std::string_view name);
// docs/builtins.md, whole.
std::string LanguageMarkdown();
// `help Name` for a built-in or keyword; false when none has that name.
bool PrintLanguageHelp(std::FILE* out, std::string_view name);
// The parser's table of built-ins.
size_t BuiltinCount();
const BuiltinSpec& BuiltinAt(size_t index);
// The letter that argument `index` of a built-in takes.
char ArgLetter(const BuiltinSpec& spec, size_t index);
// Whether a value of `kind` fits an argument letter, and the letter's wording for messages.
bool ArgKindFits(char letter, ValueKind kind);
const char* ArgKindName(char letter);

// Operators of expressions, by the precedence the grammar gives them.
enum class Op : uint8_t { Neg, Mul, Div, Mod, Add, Sub, Eq, Ne, Lt, Gt, Le, Ge, And, Or };

struct Expr {
    enum class Form : uint8_t {
        Empty,     // an optional argument left out: the plug-in gets a null address
        Integer,   // `integer`
        Text,      // `text`: Mac Roman bytes
        Date,      // `date`
        Variable,  // `text`: the name without '$' or "<>"; `slot` in the frame (`global`: the global frame)
        Element,   // an array element: the array as for Variable, `args[0]` the index
        Command,   // `command`, `args`
        Builtin,   // `builtin`, `args`
        Method,    // a call of a method of the script: `text` its name, `slot` its number, `args`
        Unary,     // `op` (Neg), `args[0]`
        Binary,    // `op`, `args[0]` and `args[1]`
    };
    Form form = Form::Empty;
    Op op = Op::Add;
    bool global = false;       // Variable, Element: an interprocess `<>name`
    uint16_t depth = 1;        // height of this expression's tree (bounded, so evaluation stays shallow)
    int32_t integer = 0;
    int32_t slot = -1;
    std::string text;
    int16_t date[3] = {0, 0, 0};  // day, month, year
    const CommandSpec* command = nullptr;
    Builtin builtin = Builtin::Print;
    std::vector<Expr> args;
};

struct Statement;

// One `: (condition)` branch of a Case block.
struct Branch {
    int line = 0;
    Expr condition;
    std::vector<Statement> body;
};

struct Statement {
    enum class Form : uint8_t {
        Call,    // `value` is a call whose result (if any) is dropped
        Assign,  // `place` := `value`
        If,      // If (`value`) `body` Else `otherwise` End if
        Case,    // Case of `branches` Else `otherwise` End case
        While,   // While (`value`) `body` End while
        Repeat,  // Repeat `body` Until (`value`)
        For,     // For (`place`; `range`[0]; `range`[1] {; `range`[2]}) `body` End for
        Try,     // Try `body` Catch `otherwise` End try
        Break,     // leaves the innermost loop
        Continue,  // goes on with the innermost loop's next round
        Return,    // leaves the method; `value` (when not Empty) is first stored in `place`, its $0
    };
    Form form = Form::Call;
    int line = 0;        // 1-based line in its file
    int file = 0;        // index into Program::files
    int endLine = 0;     // Repeat: the line of its Until, where its condition is written
    std::string target;  // Assign: the variable assigned (without '$'); empty for other forms
    Expr place;
    Expr value;
    std::vector<Expr> range;
    std::vector<Statement> body;
    std::vector<Statement> otherwise;
    std::vector<Branch> branches;
};

// A method of the script: `Method Name($a; $b)` ... `End method`. Slot 0 is its result `$0`, slots 1
// to `parameters` its parameters, the others its local variables.
struct Method {
    std::string name;
    int file = 0;
    int line = 0;
    int parameters = 0;
    int slots = 1;
    bool givesValue = false;  // it assigns $0 somewhere: a function, else a procedure
    std::vector<Statement> body;
};

// Names to slots, case-blind (keys are lower-case), with the spelling first written for messages.
struct Scope {
    std::unordered_map<std::string, int32_t> slots;
    std::vector<std::string> names;
};

// A parsed script. Parsing more text into the same program (the prompt does, a chunk at a time)
// keeps its variables, globals and methods and replaces `main` with the new chunk's statements.
struct Program {
    std::vector<std::string> files;  // file names for messages; 0 is the script itself
    std::vector<Statement> main;     // the statements outside methods (of the last chunk parsed)
    Scope mainScope;                 // the main frame's variables
    Scope globals;                   // the `<>name` variables
    std::vector<Method> methods;
    std::unordered_map<std::string, int32_t> methodIndex;  // lower-case name -> index into methods
};

// The kind an expression is known to have before running: None where only running tells.
ValueKind StaticKind(const Expr& e);

struct ParseError {
    std::string file;     // the file holding the fault
    int line = 0;
    std::string message;
    bool open = false;    // the only fault is blocks left open at the end: more lines may close them
};

// Reads an included file: `path` as written, resolved against the including file's folder.
using FileLoader = std::function<bool(const std::string& path, std::string& text, std::string& error)>;

// Parses a whole text (lines end with LF, optionally CR LF) into `program`. Stops at the first fault;
// the program is then as it was before the call. `name` names the text in messages; its first line
// is numbered `firstLine` (a prompt's chunks go on from the lines before them).
bool ParseProgram(std::string_view source, const std::string& name, Program& program, ParseError& error,
                  const FileLoader& loader = {}, int firstLine = 1);

// The statements of a script with no methods: ParseProgram into a fresh program.
bool ParseScript(std::string_view source, std::vector<Statement>& statements, ParseError& error);

// Parses one line as a script of its own. Returns false with `error` set on a fault; true otherwise,
// with `has` telling whether the line held a statement (blank and comment lines hold none).
bool ParseLine(std::string_view line, int lineNumber, Statement& statement, bool& has, std::string& error);

}  // namespace zor::shell

#endif  // ZOR_SHELL_SCRIPT_H
