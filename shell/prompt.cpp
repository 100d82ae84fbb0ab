// prompt.cpp: the interactive prompt on libedit: edited lines with history, reads that a signal can
// interrupt, and help. libedit is loaded when the prompt first starts, so running a script does not
// pay for loading it (and its own libraries) at every start.
#include "shell/prompt.h"

#include <dlfcn.h>
#include <errno.h>
#include <histedit.h>
#include <locale.h>
#include <langinfo.h>
#include <poll.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>

#include "shell/reference.h"
#include "shell/script.h"

namespace zor::shell {
namespace {

constexpr int kHistorySize = 1000;

// The libedit routines the prompt uses, found in the library once it is loaded.
struct EditLibrary {
    decltype(&::el_init) init = nullptr;
    decltype(&::el_end) end = nullptr;
    decltype(&::el_set) set = nullptr;
    decltype(&::el_get) get = nullptr;
    decltype(&::el_gets) gets = nullptr;
    decltype(&::el_reset) reset = nullptr;
    decltype(&::el_source) source = nullptr;
    decltype(&::history_init) historyInit = nullptr;
    decltype(&::history_end) historyEnd = nullptr;
    decltype(&::history) history = nullptr;
    bool ready = false;  // every routine was found
};

template <typename Fn>
bool Find(void* library, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(dlsym(library, name));
    return fn != nullptr;
}

// libedit, loaded at the first call (null when it cannot be: the prompt then reads plain lines).
const EditLibrary* Edit() {
    static const EditLibrary edit = [] {
        EditLibrary e;
        void* library = dlopen("libedit.so.2", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) library = dlopen("libedit.so", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return e;
        e.ready = Find(library, "el_init", e.init) && Find(library, "el_end", e.end) && Find(library, "el_set", e.set) &&
                  Find(library, "el_get", e.get) && Find(library, "el_gets", e.gets) &&
                  Find(library, "el_reset", e.reset) && Find(library, "el_source", e.source) &&
                  Find(library, "history_init", e.historyInit) && Find(library, "history_end", e.historyEnd) &&
                  Find(library, "history", e.history);
        return e;
    }();
    return edit.ready ? &edit : nullptr;
}

// The line without the spaces and tabs around it.
std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

}  // namespace

bool PromptWord(std::string_view line, std::FILE* out, bool& quit) {
    quit = false;
    const std::string_view s = Trimmed(line);
    if (s.size() == 4 && strncasecmp(s.data(), "quit", 4) == 0) {
        quit = true;
        return true;
    }
    if (s.size() < 4 || strncasecmp(s.data(), "help", 4) != 0) return false;
    if (s.size() == 4) {
        PrintHelpIndex(out);
        return true;
    }
    if (s[4] != ' ' && s[4] != '\t') return false;
    const std::string name(Trimmed(s.substr(5)));
    if (!PrintHelp(out, name) && !PrintLanguageHelp(out, name))
        std::fprintf(out, "help: nothing is named %s (help lists the commands; docs/builtins.md the built-ins)\n", name.c_str());
    return true;
}

Prompt::Prompt(bool (*interrupted)(), int wakeFd) : interrupted_(interrupted), wakeFd_(wakeFd) {
    // Scripts are UTF-8 whatever the locale says; the editor must read and show them so.
    if (setlocale(LC_CTYPE, "") == nullptr || std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0)
        setlocale(LC_CTYPE, "C.UTF-8");
    const EditLibrary* edit = Edit();
    if (edit == nullptr) return;
    el_ = edit->init("zor-host", stdin, stdout, stderr);
    history_ = edit->historyInit();
    HistEvent event;
    edit->history(history_, &event, H_SETSIZE, kHistorySize);
    edit->history(history_, &event, H_SETUNIQUE, 1);
    if (const char* home = getenv("HOME"); home != nullptr && home[0] != '\0') {
        historyPath_ = std::string(home) + "/.zor_history";
        edit->history(history_, &event, H_LOAD, historyPath_.c_str());
    }
    edit->set(el_, EL_EDITOR, "emacs");
    edit->set(el_, EL_HIST, edit->history, history_);
    edit->set(el_, EL_CLIENTDATA, this);
    edit->set(el_, EL_PROMPT, PromptText);
    edit->set(el_, EL_GETCFN, ReadChar);
    edit->source(el_, nullptr);  // the user's ~/.editrc, if any
}

Prompt::~Prompt() {
    if (el_ != nullptr) Edit()->end(el_);
    if (history_ != nullptr) Edit()->historyEnd(history_);
}

char* Prompt::PromptText(editline* el) {
    Prompt* self = nullptr;
    Edit()->get(el, EL_CLIENTDATA, &self);
    return self->prompt_.data();
}

int Prompt::ReadByte(unsigned char& byte) {
    for (;;) {
        if (interrupted_()) return -1;
        pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(waits, wakeFd_ >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return -1;
        if (wakeFd_ >= 0 && waits[1].revents != 0) {
            char drain[16];
            while (read(wakeFd_, drain, sizeof drain) > 0) {
            }
        }
        if (interrupted_()) return -1;
        if (waits[0].revents == 0) continue;
        const ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 1) return 1;
        if (n == 0) return 0;
        if (errno != EINTR && errno != EAGAIN) return -1;
    }
}

// Reads one character for the editor, decoding UTF-8; a byte that does not start a well-formed
// sequence is taken as the character of that number.
int Prompt::ReadChar(editline* el, wchar_t* c) {
    Prompt* self = nullptr;
    Edit()->get(el, EL_CLIENTDATA, &self);
    unsigned char byte = 0;
    const int got = self->ReadByte(byte);
    if (got <= 0) return got;
    const int more = byte >= 0xF0 && byte < 0xF8 ? 3 : byte >= 0xE0 ? 2 : byte >= 0xC0 ? 1 : 0;
    uint32_t code = more == 3 ? (byte & 0x07u) : more == 2 ? (byte & 0x0Fu) : more == 1 ? (byte & 0x1Fu) : byte;
    for (int i = 0; i < more && byte < 0xF8; ++i) {
        unsigned char next = 0;
        const int r = self->ReadByte(next);
        if (r <= 0) return r;
        if ((next & 0xC0) != 0x80) {
            code = byte;  // not UTF-8: the lead byte alone (the next byte is lost with it)
            break;
        }
        code = code << 6 | (next & 0x3Fu);
    }
    *c = static_cast<wchar_t>(code);
    return 1;
}

Prompt::Outcome Prompt::Read(const char* prompt, std::string& line) {
    prompt_ = prompt;
    if (el_ == nullptr) return ReadPlain(line);
    const EditLibrary* edit = Edit();
    int count = 0;
    const char* got = edit->gets(el_, &count);
    if (got == nullptr || count <= 0) {
        if (interrupted_()) {
            // The editor keeps what was typed for the next read unless told otherwise.
            edit->reset(el_);
            return Outcome::Interrupted;
        }
        return Outcome::End;
    }
    line.assign(got, static_cast<size_t>(count));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (!Trimmed(line).empty()) {
        HistEvent event;
        edit->history(history_, &event, H_ENTER, line.c_str());
        if (!historyPath_.empty()) edit->history(history_, &event, H_SAVE, historyPath_.c_str());
    }
    return Outcome::Line;
}

// Without libedit: the prompt shown, a line read as typed (the terminal's own line editing only).
Prompt::Outcome Prompt::ReadPlain(std::string& line) {
    std::fputs(prompt_.c_str(), stdout);
    std::fflush(stdout);
    line.clear();
    while (true) {
        unsigned char byte = 0;
        const int got = ReadByte(byte);
        if (got < 0) return interrupted_() ? Outcome::Interrupted : Outcome::End;
        if (got == 0) return line.empty() ? Outcome::End : Outcome::Line;
        if (byte == '\n') break;
        line.push_back(static_cast<char>(byte));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return Outcome::Line;
}

}  // namespace zor::shell
