// language_notes.cpp: what each built-in and keyword of the host language is for: the source of
// `help Name` for them and of docs/builtins.md (zor-host --language-reference).
#include <strings.h>

#include <string>

#include "shell/script.h"

namespace zor::shell {

// In the order docs/builtins.md lists them; every built-in of the parser's table has one entry.
const LanguageNote kBuiltinNotes[] = {
    {"print", "print(v {; v ...})", "Prints its values on one line, separated by tabs: texts as UTF-8 with control bytes escaped, dates YYYY-MM-DD, arrays in brackets."},
    {"length", "length(t)", "The number of bytes of a text or picture."},
    {"hex", "hex(t)", "The bytes of a text or picture in lower-case hex."},
    {"picture", "picture(path)", "A picture from a GIF, JPEG or PNG file."},
    {"Substring", "Substring(t; start {; count})", "`count` bytes (default: the rest) of `t` from `start` (counted from 1)."},
    {"Position", "Position(find; t {; start})", "Where `find` first occurs in `t` from `start`; 0 when it does not."},
    {"ReplaceString", "ReplaceString(t; old; new)", "`t` with every `old` replaced by `new`."},
    {"Uppercase", "Uppercase(t)", "`t` with its ASCII letters in upper case; other bytes as they are."},
    {"Lowercase", "Lowercase(t)", "`t` with its ASCII letters in lower case; other bytes as they are."},
    {"Trim", "Trim(t)", "`t` without the spaces, tabs, CRs and LFs at its ends."},
    {"Char", "Char(code)", "A one-byte text; a code outside 0 to 255 is a runtime error."},
    {"CharCode", "CharCode(t)", "The code of a text's first byte; an empty text is a runtime error."},
    {"String", "String(v {; picture})", "An integer, date (YYYY-MM-DD), boolean or text as text. With a picture, an integer through it: text holding one `%[flags][width]conversion` (flags `-` left-aligned, `0` zero padding, `+` and space for a sign; width up to 64; conversions `d` decimal, `u` unsigned, `x` and `X` hex, `o` octal, `b` binary; `%%` a percent sign): `String(255; \"%04X\")` gives \"00FF\", `String(-1; \"%x\")` gives \"ffffffff\", `String(7; \"[%-3d]\")` gives \"[7  ]\". A bad picture is a runtime error."},
    {"TextToUtf8", "TextToUtf8(t)", "The UTF-8 bytes of a Mac Roman text, for a peer that speaks UTF-8 (`TcpSend($s; TextToUtf8($t); 0; 0)`); a runtime error when they pass 32767 bytes (a Mac Roman byte takes up to 3)."},
    {"Utf8ToText", "Utf8ToText(t)", "UTF-8 bytes (such as `TcpReceive` gives) as a Mac Roman text; a character Mac Roman lacks becomes `?`, and bytes that are not UTF-8 are a runtime error (`Try` catches it)."},
    {"Num", "Num(v)", "A text's number (blanks, a sign, digits; it stops at the first other byte, wraps, and gives 0 when there are no digits), or a boolean as 1 or 0. `IsNumber` tells a text that is not a number."},
    {"IsNumber", "IsNumber(t)", "True when the whole text is a number: blanks, an optional sign, at least one digit, blanks, and a value that fits 32 bits. `IsNumber(\" -12 \")` is True; `IsNumber(\"12abc\")`, `IsNumber(\"\")` and `IsNumber(\"2147483648\")` are False."},
    {"True", "True", "The boolean true."},
    {"False", "False", "The boolean false."},
    {"Not", "Not(b)", "The other boolean."},
    {"CurrentDate", "CurrentDate", "Today's local date."},
    {"CurrentTime", "CurrentTime", "The local time of day in seconds."},
    {"CurrentSeconds", "CurrentSeconds", "Now, in the seconds from 1904 (GMT) that `DateToRfc822` and `SecondsToDate` take. The count is unsigned 32-bit read as a signed integer: negative for every date after 1972-01-19 (add 4294967296 for the true count), and it wraps on 2040-02-06 (`help Numbers`)."},
    {"Delay", "Delay(ticks)", "Waits (1 tick = 1/60 s), yielding to the host so socket events reach the plug-in."},
    {"ReadFile", "ReadFile(path {; raw})", "A file's text: UTF-8 on disk becomes Mac Roman; with `raw` True, the bytes as they are. A file longer than a text may be, or not UTF-8 in Mac Roman's repertoire, is a runtime error."},
    {"WriteFile", "WriteFile(path; t {; raw})", "Writes a text to a file (as UTF-8, or its bytes with `raw` True), replacing what it held."},
    {"AppendFile", "AppendFile(path; t {; raw})", "Appends a text to a file (as UTF-8, or its bytes with `raw` True)."},
    {"FileExists", "FileExists(path)", "Whether a path exists."},
    {"DeleteFile", "DeleteFile(path)", "Deletes a file."},
    {"CreateDocument", "CreateDocument(path)", "Makes a file (emptying one that exists), opens it to read and write, and gives its document reference."},
    {"OpenDocument", "OpenDocument(path {; mode})", "Opens an existing file and gives its document reference: mode 0 read and write (the default), 1 write, 2 read."},
    {"SendPacket", "SendPacket(doc; t)", "Writes a text's bytes, as they are, at the document's position."},
    {"ReceivePacket", "ReceivePacket(doc; $t; n or stop)", "Reads `n` bytes (at most 32767), or up to the text `stop` (taken from the document, left out of `$t`; at most 32767 bytes before it), into `$t`; gives the bytes taken from the document, 0 at its end."},
    {"DocumentSize", "DocumentSize(path or doc)", "A file's size in bytes, by its path or by an open document's reference; by path, -1 when no regular file is there (nothing, or a folder)."},
    {"CloseDocument", "CloseDocument(doc)", "Closes a document. A closed document, or a number that was never a document reference, is a runtime error; documents left open are closed when their process ends."},
    {"DocumentList", "DocumentList(folder; $names)", "Fills the text array `$names` with the names of the folder's files, sorted by their UTF-8 bytes, in Mac Roman. AppleDouble sidecars (`._name`) and names Mac Roman cannot write are left out; a link counts as what it points to."},
    {"FolderList", "FolderList(folder; $names)", "As `DocumentList`, for the folder's folders (`.` and `..` left out)."},
    {"NewProcess", "NewProcess(\"Method\"; \"name\" {; argument ...})", "Starts a process that runs a method of the script with its own locals and call stack, and gives its number (the script's main flow is process 1). Processes take turns: one runs at a time, and it gives way when it waits (in a command that waits on the network, in `Delay`, in `Semaphore`)."},
    {"CurrentProcess", "CurrentProcess", "The number of the process running."},
    {"ProcessState", "ProcessState(n)", "-1 when process `n` has ended or never was; while it lives: 0 running or ready, 1 in `Delay`, 2 waiting in a command, 3 waiting for a semaphore, 4 the main flow waiting for the others to end."},
    {"AbortProcess", "AbortProcess(n)", "Ends process `n` at once: its running command is cancelled, and what it holds of its own (semaphores, documents) is given back."},
    {"Semaphore", "Semaphore(\"name\" {; ticks})", "Takes the named semaphore: False when this process got it, True when another still holds it after waiting `ticks` (default 0) for it."},
    {"ClearSemaphore", "ClearSemaphore(\"name\")", "Gives back a semaphore this process holds; one it does not hold is left alone."},
    {"ArrayInteger", "ArrayInteger($a; n)", "Makes `$a` an array of `n` integers (0), or resizes it keeping what fits. More than 10000000 elements is a runtime error."},
    {"ArrayText", "ArrayText($a; n)", "As `ArrayInteger`, for texts (empty)."},
    {"ArrayDate", "ArrayDate($a; n)", "As `ArrayInteger`, for dates (null)."},
    {"ArrayPicture", "ArrayPicture($a; n)", "As `ArrayInteger`, for pictures (empty)."},
    {"ArrayBoolean", "ArrayBoolean($a; n)", "As `ArrayInteger`, for booleans (False)."},
    {"SizeOfArray", "SizeOfArray($a)", "The number of elements of an array."},
    {"AppendToArray", "AppendToArray($a; v)", "Adds `v` after the last element."},
    {"InsertInArray", "InsertInArray($a; at {; n})", "Inserts `n` (default 1) blank elements before element `at` (up to one past the end)."},
    {"DeleteFromArray", "DeleteFromArray($a; at {; n})", "Deletes `n` (default 1) elements from element `at`."},
    {"SortArray", "SortArray($a {; \">\"})", "Sorts an array in place, ascending (or descending with \">\"): integers and dates by value, texts and pictures by their bytes (Mac Roman byte order), False before True. Equal elements keep their order."},
    {"FindInArray", "FindInArray($a; v {; start})", "The index of the first element equal to `v`, from element `start` (default 1); -1 when there is none. A `v` of another kind than the elements is a runtime error."},
    {"SplitText", "SplitText(t; separator; $parts)", "Fills the text array `$parts` with the pieces of `t` between separators: `SplitText(\"a,,b\"; \",\"; $p)` gives \"a\", \"\", \"b\"; an empty `t` gives no pieces. An empty separator is a runtime error."},
    {"JoinText", "JoinText($a; separator)", "The elements of an array (texts as they are, others as `String` writes them) with `separator` between them."},
    {"ErrorText", "ErrorText", "The message of the error the last `Catch` handled."},
    {"ErrorLine", "ErrorLine", "The line of the error the last `Catch` handled (for a condition, the condition's line)."},
    {"Throw", "Throw(message)", "Raises a runtime error of the script's own."},
    {"StatusText", "StatusText(status {; command})", "What a command's status means: the command's own line for it when the command is named (`StatusText(-43; \"BinHexEncode\")`), else the number's shared name (`StatusText(-43)` gives \"file not found\"); empty for a number with no name."},
    {"Argument", "Argument(n)", "The script's argument `n` (after its file name on the command line)."},
    {"ArgumentCount", "ArgumentCount", "The number of the script's arguments."},
    {"Environment", "Environment(name)", "An environment variable; empty when unset."},
};
const size_t kBuiltinNoteCount = sizeof kBuiltinNotes / sizeof kBuiltinNotes[0];

const LanguageNote kKeywordNotes[] = {
    {"If", "If (condition) ... {Else ...} End if", "Runs its body when the condition is True, else its `Else` part."},
    {"Case", "Case of : (condition) ... {: (condition) ...} {Else ...} End case", "Runs the first branch whose condition is True, else its `Else` part."},
    {"While", "While (condition) ... End while", "Runs its body as long as the condition, tested before each round, is True."},
    {"Repeat", "Repeat ... Until (condition)", "Runs its body, then again until the condition is True."},
    {"For", "For ($i; from; to {; step}) ... End for", "Runs its body with `$i` taking each value from `from` to `to` (bounds read once); after the loop `$i` is the first value past the end, or where `Break` left it. A step of 0 is a runtime error."},
    {"Break", "Break", "Leaves the innermost loop (`While`, `Repeat`, `For`) around it; outside a loop it is a fault found before running."},
    {"Continue", "Continue", "Goes on with the innermost loop's next round (`While` and `Until` test their condition, `For` steps)."},
    {"Return", "Return {(value)}", "Leaves the method; with a value, first sets `$0` to it (the method is then a function). Outside a method it is a fault found before running."},
    {"Try", "Try ... Catch ... End try", "Runs its body; a runtime error in it runs the `Catch` part, where `ErrorText` and `ErrorLine` tell the error."},
    {"Method", "Method Name {($p; ...)} ... End method", "Defines a method, at the top level of a script or of an included file."},
    {"Include", "Include \"file\"", "Reads the methods of another file (a regular file of at most 8 MB), named relative to the including file's folder."},
};
const size_t kKeywordNoteCount = sizeof kKeywordNotes / sizeof kKeywordNotes[0];

const LanguageNote* FindLanguageNote(std::string_view name) {
    const std::string wanted(name);
    for (const LanguageNote& n : kBuiltinNotes)
        if (strcasecmp(n.name, wanted.c_str()) == 0) return &n;
    for (const LanguageNote& n : kKeywordNotes)
        if (strcasecmp(n.name, wanted.c_str()) == 0) return &n;
    return nullptr;
}

bool PrintLanguageHelp(std::FILE* out, std::string_view name) {
    const LanguageNote* note = FindLanguageNote(name);
    if (note == nullptr) return false;
    std::fprintf(out, "%s\n  %s\n", note->usage, note->summary);
    return true;
}

std::string LanguageMarkdown() {
    std::string md =
        "# Built-ins and keywords of the zor-host language\n\n"
        "Written by `zor-host --language-reference` from the table beside the parser's (a test checks it is "
        "current); `help Name` at the prompt shows the same. [The language guide](language.md) explains the "
        "language; arguments in braces may be left off.\n\n## Built-ins\n\n| built-in | what it does |\n|---|---|\n";
    for (const LanguageNote& n : kBuiltinNotes) md += std::string("| `") + n.usage + "` | " + n.summary + " |\n";
    md += "\n## Keywords\n\n| keyword | what it does |\n|---|---|\n";
    for (const LanguageNote& n : kKeywordNotes) md += std::string("| `") + n.usage + "` | " + n.summary + " |\n";
    return md;
}

}  // namespace zor::shell
