// prompt.h: zor-host's interactive prompt: line editing and history (libedit, kept in ~/.zor_history)
// and the prompt's own words (help, quit). main.cpp shows the continuation prompt while the parser
// finds a block still open.
#ifndef ZOR_SHELL_PROMPT_H
#define ZOR_SHELL_PROMPT_H

#include <cstdio>
#include <string>
#include <string_view>

struct editline;
struct history;

namespace zor::shell {

class Prompt {
public:
    enum class Outcome {
        Line,         // a line was read (without its line end)
        Interrupted,  // a signal came (Ctrl-C): the line typed so far is dropped
        End,          // end of input (Ctrl-D on an empty line)
    };
    // `interrupted` tells whether a signal asked the read to stop; `wakeFd` becomes readable when one
    // comes (a pipe the signal handler writes to; it is drained here).
    Prompt(bool (*interrupted)(), int wakeFd);
    ~Prompt();
    Prompt(const Prompt&) = delete;
    Prompt& operator=(const Prompt&) = delete;

    // Shows `prompt`, reads one edited line and adds it to the history (saved at once).
    Outcome Read(const char* prompt, std::string& line);

private:
    static char* PromptText(editline* el);
    static int ReadChar(editline* el, wchar_t* c);
    // One byte of input: 1, 0 at the end, -1 when interrupted or on an error.
    int ReadByte(unsigned char& byte);
    // A line read without libedit (when it could not be loaded).
    Outcome ReadPlain(std::string& line);

    editline* el_ = nullptr;      // the line editor (null: libedit could not be loaded)
    history* history_ = nullptr;
    bool (*interrupted_)();
    int wakeFd_;
    std::string prompt_;
    std::string historyPath_;  // empty: no history file (no HOME)
};

// The prompt's own words: "help", "help Name", "quit" (case-blind, spaces around allowed). True
// when the line was one of them; `quit` is then set for quit. Help goes to `out`.
bool PromptWord(std::string_view line, std::FILE* out, bool& quit);

}  // namespace zor::shell

#endif  // ZOR_SHELL_PROMPT_H
