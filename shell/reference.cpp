// reference.cpp: the command reference shown three ways: docs/commands.md, `help`, and the trace of
// each call (arguments, outputs, result and the status's meaning).
#include "shell/reference.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "zor/host_toolbox.h"

namespace zor::shell {
namespace {

const char* KindWord(ArgKind kind) {
    switch (kind) {
        case ArgKind::Integer: return "integer";
        case ArgKind::Short: return "short";
        case ArgKind::String: return "string";
        case ArgKind::Text: return "text";
        case ArgKind::Picture: return "picture";
        case ArgKind::Date: return "date";
    }
    return "?";
}

const char* ResultWord(ResultKind kind) {
    switch (kind) {
        case ResultKind::None: return "none";
        case ResultKind::Integer: return "integer";
        case ResultKind::String: return "text";
        case ResultKind::Text: return "text";
        case ResultKind::Picture: return "picture";
    }
    return "?";
}

// "name: meaning" split at the first ": ".
std::string_view ArgName(const char* note) {
    const std::string_view s(note);
    return s.substr(0, s.find(": "));
}
std::string_view ArgMeaning(const char* note) {
    const std::string_view s(note);
    const size_t colon = s.find(": ");
    return colon == std::string_view::npos ? std::string_view() : s.substr(colon + 2);
}

const char* SharedName(int32_t status) {
    for (const StatusNote& s : kStatusNames)
        if (s.value == status) return s.text;
    return nullptr;
}

// A status line of a command: its own text, or the shared name it refers to.
const char* LineOf(const StatusNote& s) { return s.text[0] != '\0' ? s.text : SharedName(s.value); }

const CommandSpec& SpecOf(const CommandNote& note) { return *FindCommand(note.selector); }

std::string InOut(const ArgSpec& a) {
    std::string s = a.output ? "out" : "in";
    if (a.optional) s += ", optional";
    return s;
}

// Bytes as a quoted text for the trace: printable ASCII as it is, the rest escaped, long texts cut.
std::string Quoted(std::string_view bytes) {
    constexpr size_t kShown = 48;
    std::string out = "\"";
    char buffer[8];
    for (size_t i = 0; i < bytes.size() && i < kShown; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    if (bytes.size() > kShown) out += "... (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

std::string_view HandleBytes(HostHandle h, int32_t length) {
    if (h == nullptr || *h == nullptr || length <= 0) return {};
    const int32_t size = HostGetHandleSize(h);
    return std::string_view(*h, static_cast<size_t>(length < size ? length : size));
}

// The value an argument's address points at, as the trace shows it.
std::string ShowArg(ArgKind kind, const void* p) {
    if (p == nullptr) return "-";
    char buffer[32];
    switch (kind) {
        case ArgKind::Integer: {
            int32_t v;
            std::memcpy(&v, p, sizeof v);
            return std::to_string(v);
        }
        case ArgKind::Short: {
            int16_t v;
            std::memcpy(&v, p, sizeof v);
            return std::to_string(v);
        }
        case ArgKind::String: {
            const auto* s = static_cast<const unsigned char*>(p);
            return Quoted(std::string_view(reinterpret_cast<const char*>(s + 1), s[0]));
        }
        case ArgKind::Text: {
            const auto* t = static_cast<const TextBlock*>(p);
            return Quoted(HandleBytes(t->handle, t->length));
        }
        case ArgKind::Picture: {
            const HostHandle h = *static_cast<const HostHandle*>(p);
            if (h == nullptr) return "<no picture>";
            return "<picture " + std::to_string(HostGetHandleSize(h)) + " bytes>";
        }
        case ArgKind::Date: {
            int16_t d[3];
            std::memcpy(d, p, sizeof d);
            std::snprintf(buffer, sizeof buffer, "!%04d-%02d-%02d!", d[2], d[1], d[0]);
            return buffer;
        }
    }
    return "?";
}

}  // namespace

const CommandNote* FindNote(int32_t selector) {
    for (size_t i = 0; i < kCommandNoteCount; ++i)
        if (kCommandNotes[i].selector == selector) return &kCommandNotes[i];
    return nullptr;
}

int StatusCount(const CommandNote& note) {
    int n = 0;
    while (n < kNoteStatuses && note.statuses[n].text != nullptr) ++n;
    return n;
}

const char* StatusText(int32_t status) { return SharedName(status); }

const char* StatusText(int32_t selector, int32_t status) {
    const CommandNote* note = FindNote(selector);
    if (note == nullptr) return nullptr;
    for (int i = 0; i < StatusCount(*note); ++i)
        if (note->statuses[i].value == status) return LineOf(note->statuses[i]);
    return nullptr;
}

std::string ReferenceMarkdown() {
    std::string md =
        "# zor commands\n\n"
        "Every command of the plug-in: its arguments, its result, every status it gives, and a call in\n"
        "zor-host's language. This page is generated from zor-host's command reference\n"
        "(`zor-host --reference`, or `cmake --build build --target reference-docs`); `help Name` at the\n"
        "prompt shows the same. An argument marked out is a variable the command sets; an optional one\n"
        "may be left out (`MacBinaryDecode(\"a.bin\"; \"a\"; )`).\n\n"
        "## Status numbers\n\n"
        "The statuses several commands share. A command's own list below says what each means for it.\n\n"
        "| status | meaning |\n|---:|---|\n";
    for (const StatusNote& s : kStatusNames) md += "| " + std::to_string(s.value) + " | " + s.text + " |\n";
    for (size_t i = 0; i < kTopicNoteCount; ++i) {
        const TopicNote& t = kTopicNotes[i];
        md += "\n## " + std::string(t.title) + "\n\n`help " + t.name + "` shows this too.\n\n```\n" + t.lines + "```\n";
    }
    std::vector<std::string_view> subsystems;
    for (size_t i = 0; i < kCommandNoteCount; ++i) {
        bool seen = false;
        for (std::string_view s : subsystems) seen = seen || s == kCommandNotes[i].subsystem;
        if (!seen) subsystems.emplace_back(kCommandNotes[i].subsystem);
    }
    for (std::string_view subsystem : subsystems) {
        md += "\n## " + std::string(subsystem) + "\n";
        for (size_t i = 0; i < kCommandNoteCount; ++i) {
            const CommandNote& note = kCommandNotes[i];
            if (subsystem != note.subsystem) continue;
            const CommandSpec& c = SpecOf(note);
            md += "\n### " + std::string(c.name) + " (" + std::to_string(c.selector) + ")\n\n";
            // The summary as a sentence: a first letter that is lower case is raised, any other kept.
            const char first = note.summary[0];
            md += std::string(1, first >= 'a' && first <= 'z' ? static_cast<char>(first - 'a' + 'A') : first) +
                  (note.summary + 1) + ".\n\n";
            if (ArgCount(c) > 0) {
                md += "| # | argument | kind | | meaning |\n|---:|---|---|---|---|\n";
                for (int a = 0; a < ArgCount(c); ++a) {
                    const ArgSpec spec = Arg(c, a);
                    md += "| " + std::to_string(a + 1) + " | " + std::string(ArgName(note.args[a])) + " | " +
                          KindWord(spec.kind) + " | " + InOut(spec) + " | " + std::string(ArgMeaning(note.args[a])) +
                          " |\n";
                }
                md += "\n";
            }
            md += "Result (" + std::string(ResultWord(c.result)) + "): " + note.result + ".\n\n";
            if (StatusCount(note) > 0) {
                md += "| result | meaning |\n|---:|---|\n";
                for (int s = 0; s < StatusCount(note); ++s)
                    md += "| " + std::to_string(note.statuses[s].value) + " | " + LineOf(note.statuses[s]) + " |\n";
                md += "\n";
            }
            md += "Example: `" + std::string(note.example) + "`\n";
        }
    }
    return md;
}

void PrintHelpIndex(std::FILE* out) {
    std::fputs("Commands of the plug-in, by subsystem (help Name shows one; quit ends the session):\n", out);
    std::vector<std::string_view> done;
    for (size_t i = 0; i < kCommandNoteCount; ++i) {
        const std::string_view subsystem = kCommandNotes[i].subsystem;
        bool seen = false;
        for (std::string_view s : done) seen = seen || s == subsystem;
        if (seen) continue;
        done.push_back(subsystem);
        std::string line = "  " + std::string(subsystem) + ":";
        size_t width = line.size();
        for (size_t j = i; j < kCommandNoteCount; ++j) {
            if (subsystem != kCommandNotes[j].subsystem) continue;
            const std::string name = SpecOf(kCommandNotes[j]).name;
            if (width + 1 + name.size() > 78) {
                line += "\n     ";
                width = 5;
            }
            line += " " + name;
            width += 1 + name.size();
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
    std::fputs("  topics:", out);
    for (size_t i = 0; i < kTopicNoteCount; ++i) std::fprintf(out, " %s", kTopicNotes[i].name);
    std::fputs(" (the conversion flags; numbers that read back negative)\n", out);
    std::fputs("The language and its built-ins (Print, StatusText ...): docs/language.md\n", out);
}

bool PrintHelp(std::FILE* out, const std::string& name) {
    const CommandNote* note = nullptr;
    for (size_t i = 0; i < kCommandNoteCount && note == nullptr; ++i) {
        const char* candidate = SpecOf(kCommandNotes[i]).name;
        if (name.size() == std::strlen(candidate) && strncasecmp(name.c_str(), candidate, name.size()) == 0)
            note = &kCommandNotes[i];
    }
    for (size_t i = 0; i < kTopicNoteCount && note == nullptr; ++i) {
        const char* topic = kTopicNotes[i].name;
        if (name.size() == std::strlen(topic) && strncasecmp(name.c_str(), topic, name.size()) == 0) {
            std::fprintf(out, "%s:\n%s", kTopicNotes[i].title, kTopicNotes[i].lines);
            return true;
        }
    }
    if (note == nullptr) return false;
    const CommandSpec& c = SpecOf(*note);
    std::fprintf(out, "%s (%d): %s\n", c.name, static_cast<int>(c.selector), note->summary);
    for (int a = 0; a < ArgCount(c); ++a) {
        const ArgSpec spec = Arg(c, a);
        std::fprintf(out, "  %d %-14s %-8s %-14s %s\n", a + 1, std::string(ArgName(note->args[a])).c_str(),
                     KindWord(spec.kind), InOut(spec).c_str(), std::string(ArgMeaning(note->args[a])).c_str());
    }
    std::fprintf(out, "  result (%s): %s\n", ResultWord(c.result), note->result);
    for (int s = 0; s < StatusCount(*note); ++s)
        std::fprintf(out, "  %6d  %s\n", static_cast<int>(note->statuses[s].value), LineOf(note->statuses[s]));
    std::fprintf(out, "  example: %s\n", note->example);
    return true;
}

void TraceBefore(std::FILE* out, int32_t selector, void* const* params) {
    const CommandSpec* c = FindCommand(selector);
    if (c == nullptr || params == nullptr) {
        std::fprintf(out, "zor-host: call %d\n", static_cast<int>(selector));
        return;
    }
    std::string line = "zor-host: call " + std::to_string(selector) + " " + c->name + "(";
    for (int a = 0; a < ArgCount(*c); ++a) {
        const ArgSpec spec = Arg(*c, a);
        if (a > 0) line += "; ";
        line += spec.output ? (params[a] == nullptr ? "-" : "out") : ShowArg(spec.kind, params[a]);
    }
    std::fprintf(out, "%s)\n", line.c_str());
}

void TraceAfter(std::FILE* out, int32_t selector, void* const* params, const void* result) {
    const CommandSpec* c = FindCommand(selector);
    if (c == nullptr || params == nullptr || result == nullptr) return;
    std::string line = "zor-host: done " + std::to_string(selector) + " " + c->name;
    switch (c->result) {
        case ResultKind::None: break;
        case ResultKind::Integer: {
            int32_t v;
            std::memcpy(&v, result, sizeof v);
            line += " -> " + std::to_string(v);
            if (const char* text = StatusText(selector, v)) line += std::string(" (") + text + ")";
            break;
        }
        case ResultKind::String: {
            const unsigned char* s;
            std::memcpy(&s, result, sizeof s);
            line += " -> " + ShowArg(ArgKind::String, s);
            break;
        }
        case ResultKind::Text: {
            const TextBlock* t;
            std::memcpy(&t, result, sizeof t);
            line += " -> " + ShowArg(ArgKind::Text, t);
            break;
        }
        case ResultKind::Picture: line += " -> " + ShowArg(ArgKind::Picture, result); break;
    }
    std::string outputs;
    for (int a = 0; a < ArgCount(*c); ++a) {
        const ArgSpec spec = Arg(*c, a);
        if (!spec.output || params[a] == nullptr) continue;
        outputs += (outputs.empty() ? "" : "; ") + std::to_string(a + 1) + ": " + ShowArg(spec.kind, params[a]);
    }
    if (!outputs.empty()) line += " [" + outputs + "]";
    std::fprintf(out, "%s\n", line.c_str());
}

}  // namespace zor::shell
