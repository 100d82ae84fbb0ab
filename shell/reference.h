// reference.h: what every command's arguments, result and statuses mean, beside the command table of
// zor/zor.h (which holds their kinds): the source of `help`, of docs/commands.md and of the trace.
#ifndef ZOR_SHELL_REFERENCE_H
#define ZOR_SHELL_REFERENCE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "zor/zor.h"

namespace zor::shell {

// A status number and what it means. In a command's own list an empty `text` means the number's
// name in kStatusNames; the list ends at the first entry whose text is null.
struct StatusNote {
    int32_t value;
    const char* text;
};

inline constexpr int kNoteArgs = 7;
inline constexpr int kNoteStatuses = 16;

// The meanings of one command of kCommands, in the same order.
struct CommandNote {
    int32_t selector;                      // the command's selector, as in kCommands
    const char* subsystem;                 // the group `help` lists it under
    const char* summary;                   // one line: what it does
    const char* args[kNoteArgs];           // per argument: "name: meaning"; the kinds come from kCommands
    const char* result;                    // what the result is
    StatusNote statuses[kNoteStatuses];    // every status or special result it gives
    const char* example;                   // one call in zor-host's language
};

// Status numbers shared by several commands, named once.
inline constexpr StatusNote kStatusNames[] = {
    {0, "no error"},
    {-1, "failed"},
    {2, "no memory for the conversion"},
    {3, "not a MacBinary file"},
    {4, "no BinHex data in the file"},
    {5, "damaged BinHex data"},
    {-34, "disk full"},
    {-35, "no such volume"},
    {-36, "input/output error"},
    {-37, "bad file name"},
    {-39, "end of file"},
    {-43, "file not found"},
    {-48, "duplicate file name"},
    {-49, "file already open for writing"},
    {-54, "permission denied"},
    {-61, "no write permission"},
    {-108, "not enough memory"},
    {-120, "folder not found"},
    {-128, "cancelled"},
};

// Topics past the commands: `help Name` shows them, and docs/commands.md has a section for each.
struct TopicNote {
    const char* name;    // what `help` takes ("Conversions")
    const char* title;   // the section's heading
    const char* lines;   // the text, lines ending in '\n', shown as it stands (a code block in the page)
};
extern const TopicNote kTopicNotes[];
extern const size_t kTopicNoteCount;

extern const CommandNote kCommandNotes[];
extern const size_t kCommandNoteCount;

// The notes of a command, or null.
const CommandNote* FindNote(int32_t selector);
// The number of entries of a command's status list.
int StatusCount(const CommandNote& note);
// The text of a status number among the shared names ("file not found" for -43), or null.
const char* StatusText(int32_t status);
// The text of a command's result when it is one of that command's statuses (its own line, else the
// shared name), or null.
const char* StatusText(int32_t selector, int32_t status);

// docs/commands.md, whole.
std::string ReferenceMarkdown();
// `help`: the commands by subsystem. `help Name`: that command in full. False when no command has
// that name.
void PrintHelpIndex(std::FILE* out);
bool PrintHelp(std::FILE* out, const std::string& name);

// The trace of one call: the arguments before it, and after it the outputs and the result with the
// status's name. `params` and `result` are the call's parameter block and result slot.
void TraceBefore(std::FILE* out, int32_t selector, void* const* params);
void TraceAfter(std::FILE* out, int32_t selector, void* const* params, const void* result);

}  // namespace zor::shell

#endif  // ZOR_SHELL_REFERENCE_H
