// builtins.cpp: the host's built-in routines: output, texts and numbers, time, files, folders,
// arrays, errors.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "shell/engine.h"
#include "shell/macroman.h"
#include "shell/reference.h"

namespace zor::shell {
namespace {

constexpr uint32_t kSecondsFrom1904To1970 = 2082844800u;

std::string HexOf(std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        out += kDigits[static_cast<unsigned char>(c) >> 4];
        out += kDigits[static_cast<unsigned char>(c) & 15];
    }
    return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Text to number: blanks, an optional sign, decimal digits; stops at the first other byte; wraps.
int32_t NumberOf(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && IsBlank(text[at])) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
    uint32_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') value = value * 10u + static_cast<uint32_t>(text[at++] - '0');
    return static_cast<int32_t>(negative ? 0u - value : value);
}

// Whether a text is a number as written in scripts: blanks, an optional sign, at least one decimal
// digit, blanks, and nothing else; its value fits a signed 32-bit integer.
bool IsNumberText(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && IsBlank(text[at])) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
    uint64_t value = 0;
    size_t digits = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10u + static_cast<uint64_t>(text[at++] - '0');
        if (value > 0x80000000ull) return false;
        ++digits;
    }
    while (at < text.size() && IsBlank(text[at])) ++at;
    return digits > 0 && at == text.size() && value <= (negative ? 0x80000000ull : 0x7FFFFFFFull);
}

// An integer through a picture: text with one `%[flags][width]conversion` in it (flags - 0 + and
// space; width up to 64; conversions d, u, x, X, o, b) and `%%` for a percent sign. False with
// `error` set when the picture is not of that form.
bool FormatInteger(int32_t n, std::string_view picture, std::string& out, std::string& error) {
    out.clear();
    bool converted = false;
    for (size_t at = 0; at < picture.size(); ++at) {
        if (picture[at] != '%') {
            out += picture[at];
            continue;
        }
        if (++at < picture.size() && picture[at] == '%') {
            out += '%';
            continue;
        }
        bool left = false, zero = false, plus = false, space = false;
        for (; at < picture.size(); ++at) {
            const char f = picture[at];
            if (f == '-') left = true;
            else if (f == '0') zero = true;
            else if (f == '+') plus = true;
            else if (f == ' ') space = true;
            else break;
        }
        size_t width = 0;
        while (at < picture.size() && picture[at] >= '0' && picture[at] <= '9') {
            width = width * 10 + static_cast<size_t>(picture[at++] - '0');
            if (width > 64) return error = "a width of more than 64 in the picture", false;
        }
        if (at >= picture.size()) return error = "the picture ends inside a %", false;
        if (converted) return error = "the picture has more than one %", false;
        converted = true;
        const char c = picture[at];
        const uint32_t bits = static_cast<uint32_t>(n);
        std::string digits, sign;
        if (c == 'd') {
            const uint32_t magnitude = n < 0 ? 0u - bits : bits;
            digits = std::to_string(magnitude);
            sign = n < 0 ? "-" : plus ? "+" : space ? " " : "";
        } else if (c == 'u') {
            digits = std::to_string(bits);
        } else if (c == 'x' || c == 'X' || c == 'o' || c == 'b') {
            const unsigned base = c == 'o' ? 8 : c == 'b' ? 2 : 16;
            const char* set = c == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
            uint32_t v = bits;
            do {
                digits.insert(digits.begin(), set[v % base]);
                v /= base;
            } while (v != 0);
        } else {
            return error = std::string("the picture has %") + c + ", not one of d u x X o b", false;
        }
        const size_t used = sign.size() + digits.size();
        const size_t pad = width > used ? width - used : 0;
        if (left) out += sign + digits + std::string(pad, ' ');
        else if (zero) out += sign + std::string(pad, '0') + digits;
        else out += std::string(pad, ' ') + sign + digits;
    }
    if (!converted) return error = "the picture has no % for the number", false;
    return true;
}

// The order of two array elements of one kind: texts and pictures by their bytes (unsigned).
int OrderOf(const Value& a, const Value& b) {
    switch (a.kind) {
        case ValueKind::Text:
        case ValueKind::Picture: {
            const int order = a.bytes().compare(b.bytes());
            return order < 0 ? -1 : order > 0;
        }
        case ValueKind::Date: {
            const int x = a.date[2] * 10000 + a.date[1] * 100 + a.date[0];
            const int y = b.date[2] * 10000 + b.date[1] * 100 + b.date[0];
            return x < y ? -1 : x > y;
        }
        default: return a.integer < b.integer ? -1 : a.integer > b.integer;
    }
}

constexpr int64_t kMostArrayElements = 10000000;

// Sorts texts or pictures by their bytes (unsigned), keeping equal ones in their order. Each is
// sorted as a key: its first 8 bytes as one number, which decides most comparisons without reaching
// the bytes, then the bytes, then its place. The elements are then put in their new places by
// following the cycles of the permutation, in place (no second array to fill).
void SortByBytes(std::vector<Value>& items, bool down) {
    struct Key {
        uint64_t prefix;  // the first 8 bytes, most significant first (0 past the end)
        uint64_t place;   // where the element was
    };
    std::vector<Key> keys(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        const std::string& b = items[i].bytes();
        uint64_t prefix = 0;
        if (b.size() >= 8) {
            std::memcpy(&prefix, b.data(), 8);
            prefix = __builtin_bswap64(prefix);
        } else {
            for (size_t k = 0; k < 8; ++k) prefix = prefix << 8 | (k < b.size() ? static_cast<unsigned char>(b[k]) : 0u);
        }
        keys[i] = {prefix, i};
    }
    std::sort(keys.begin(), keys.end(), [down, &items](const Key& x, const Key& y) {
        if (x.prefix != y.prefix) return down ? y.prefix < x.prefix : x.prefix < y.prefix;
        const int order = items[x.place].bytes().compare(items[y.place].bytes());
        if (order != 0) return down ? order > 0 : order < 0;
        return x.place < y.place;
    });
    // Element i becomes the one that was at keys[i].place; a place done is marked with the size.
    const size_t done = items.size();
    for (size_t i = 0; i < items.size(); ++i) {
        if (keys[i].place == i || keys[i].place == done) continue;
        Value held = std::move(items[i]);
        size_t at = i;
        while (true) {
            const size_t from = keys[at].place;
            keys[at].place = done;
            if (from == i) {
                items[at] = std::move(held);
                break;
            }
            items[at] = std::move(items[from]);
            at = from;
        }
    }
}

// The default value of an array element of a kind.
Value Blank(ValueKind kind) {
    Value v;
    if (kind == ValueKind::Integer) v.SetInteger(0);
    else if (kind == ValueKind::Boolean) v.SetBoolean(false);
    else if (kind == ValueKind::Date) v.SetDate(v.date);
    else v.SetBytes(kind, std::string());
    return v;
}

ValueKind ElementOf(Builtin b) {
    switch (b) {
        case Builtin::ArrayInteger: return ValueKind::Integer;
        case Builtin::ArrayText: return ValueKind::Text;
        case Builtin::ArrayDate: return ValueKind::Date;
        case Builtin::ArrayPicture: return ValueKind::Picture;
        default: return ValueKind::Boolean;
    }
}

std::string ArrayKindName(ValueKind element) {
    switch (element) {
        case ValueKind::Integer: return "an array of integers";
        case ValueKind::Text: return "an array of texts";
        case ValueKind::Date: return "an array of dates";
        case ValueKind::Picture: return "an array of pictures";
        default: return "an array of booleans";
    }
}

// Makes a variable nothing has set an array of texts. Empty when it is one now, else what it holds.
std::string MakeTextArray(Value& v) {
    if (v.kind == ValueKind::None) v.SetArray(ValueKind::Text);
    if (v.kind == ValueKind::Array && v.element == ValueKind::Text) return "";
    return v.kind == ValueKind::Array ? ArrayKindName(v.element) : KindName(v.kind);
}

}  // namespace

bool Interpreter::CallBuiltin(const Node& call, Value& result) {
    const Expr& e = *call.expr;
    const BuiltinSpec& spec = SpecOf(e.builtin);
    const std::string& name = e.text;

    if (e.builtin == Builtin::Print) {
        std::string line;
        for (size_t i = 0; i < e.args.size(); ++i) {
            Value v;
            const Value* shown = &v;
            const Expr& arg = e.args[i];
            if (arg.form == Expr::Form::Variable && Slot(arg).kind != ValueKind::None) shown = &Slot(arg);
            else if (!Eval(call.args[i], v)) return false;
            if (shown->kind == ValueKind::None) return Fail("argument " + std::to_string(i + 1) + " of " + name + " gives no value");
            if (i > 0) line += '\t';
            line += FormatValue(*shown);
        }
        line += '\n';
        if (std::fwrite(line.data(), 1, line.size(), out_) != line.size() || std::fflush(out_) != 0)
            return Fail(std::string("cannot write the output: ") + std::strerror(errno));
        result.Clear();
        return true;
    }

    if (e.builtin >= Builtin::NewProcess) return CallProcessBuiltin(call, result);

    // Arguments: variables the built-in changes are reached in place, the others worked out.
    Value args[3];
    const Value* in[3] = {&args[0], &args[1], &args[2]};  // each argument's value, in place for variables
    Value* changed = nullptr;
    for (size_t i = 0; i < e.args.size(); ++i) {
        const Expr& arg = e.args[i];
        const char letter = ArgLetter(spec, i);
        const std::string where = "argument " + std::to_string(i + 1) + " of " + name;
        if (letter == 'A') {
            changed = &Slot(arg);
            continue;
        }
        if (arg.form == Expr::Form::Variable && Slot(arg).kind != ValueKind::None) in[i] = &Slot(arg);
        else if (!Eval(call.args[i], args[i])) return false;
        if (!ArgKindFits(letter, in[i]->kind)) {
            std::string message = where + " wants " + ArgKindName(letter) + ", not " + KindName(in[i]->kind);
            if (arg.form == Expr::Form::Variable) message += " (" + NameOf(arg) + ")";
            return Fail(message);
        }
    }
    const size_t count = e.args.size();
    const Value& a0 = *in[0];
    const Value& a1 = *in[1];
    const Value& a2 = *in[2];
    const std::string& text = a0.bytes();
    auto giveText = [&](std::string bytes) {
        if (bytes.size() > kMostTextBytes)
            return Fail("a text of " + std::to_string(bytes.size()) + " bytes is longer than a text may be (32767)");
        result.SetBytes(ValueKind::Text, std::move(bytes));
        return true;
    };
    auto giveInteger = [&](int32_t n) {
        result.SetInteger(n);
        return true;
    };
    auto giveBoolean = [&](bool b) {
        result.SetBoolean(b);
        return true;
    };
    auto nothing = [&]() {
        result.Clear();
        return true;
    };
    // A path as the system spells it: the host's Mac Roman text as UTF-8.
    auto path = [&](const Value& v) { return MacRomanToUtf8(v.bytes()); };
    const bool raw = count > 1 && in[count - 1]->kind == ValueKind::Boolean && in[count - 1]->integer != 0;
    // The system would read a path only up to a NUL byte: such a path names another file, so it is
    // refused.
    switch (e.builtin) {
        case Builtin::Picture: case Builtin::ReadFile: case Builtin::WriteFile: case Builtin::AppendFile:
        case Builtin::FileExists: case Builtin::DeleteFile: case Builtin::DocumentList: case Builtin::FolderList:
        case Builtin::CreateDocument: case Builtin::OpenDocument: case Builtin::DocumentSize:
            if (a0.kind == ValueKind::Text && a0.bytes().find('\0') != std::string::npos)
                return Fail("the path given to " + name + " holds a NUL byte");
            break;
        default: break;
    }

    switch (e.builtin) {
        case Builtin::Print: break;
        case Builtin::Hex: return giveText(HexOf(text));
        case Builtin::Length: return giveInteger(static_cast<int32_t>(text.size()));
        case Builtin::Picture: {
            std::string data, error;
            if (!PictureFromImageFile(path(a0), data, error)) return Fail(error);
            result.SetBytes(ValueKind::Picture, std::move(data));
            return true;
        }
        case Builtin::Substring: {
            int64_t start = a1.integer < 1 ? 1 : a1.integer;
            if (start > static_cast<int64_t>(text.size())) return giveText("");
            int64_t n = count > 2 ? a2.integer : static_cast<int64_t>(text.size());
            if (n < 0) n = 0;
            return giveText(text.substr(static_cast<size_t>(start - 1), static_cast<size_t>(n)));
        }
        case Builtin::Position: {
            const std::string& in = a1.bytes();
            const int64_t start = count > 2 ? (a2.integer < 1 ? 1 : a2.integer) : 1;
            if (text.empty() || start > static_cast<int64_t>(in.size())) return giveInteger(0);
            const size_t at = in.find(text, static_cast<size_t>(start - 1));
            return giveInteger(at == std::string::npos ? 0 : static_cast<int32_t>(at + 1));
        }
        case Builtin::ReplaceString: {
            const std::string& from = a1.bytes();
            const std::string& to = a2.bytes();
            if (from.empty()) return giveText(text);
            std::string out;
            size_t at = 0;
            while (true) {
                const size_t found = text.find(from, at);
                if (found == std::string::npos) break;
                out.append(text, at, found - at).append(to);
                at = found + from.size();
                if (out.size() > kMostTextBytes) break;  // too long already: the size check below says so
            }
            out.append(text, at, std::string::npos);
            return giveText(std::move(out));
        }
        case Builtin::Uppercase:
        case Builtin::Lowercase: {
            std::string out = text;
            for (char& c : out) {
                if (e.builtin == Builtin::Uppercase && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
                if (e.builtin == Builtin::Lowercase && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            }
            return giveText(std::move(out));
        }
        case Builtin::Char:
            if (a0.integer < 0 || a0.integer > 255)
                return Fail(name + " wants a code from 0 to 255, not " + std::to_string(a0.integer));
            return giveText(std::string(1, static_cast<char>(a0.integer)));
        case Builtin::CharCode:
            if (text.empty()) return Fail(name + " of an empty text");
            return giveInteger(static_cast<unsigned char>(text[0]));
        case Builtin::String:
            if (count > 1) {
                if (a0.kind != ValueKind::Integer) return Fail(name + " with a picture wants an integer, not " + std::string(KindName(a0.kind)));
                std::string formatted, why;
                if (!FormatInteger(a0.integer, a1.bytes(), formatted, why)) return Fail(name + ": " + why);
                return giveText(std::move(formatted));
            }
            if (a0.kind == ValueKind::Text) return giveText(text);
            if (a0.kind == ValueKind::Picture || a0.kind == ValueKind::Array)
                return Fail(name + " wants an integer, a text, a date or a boolean, not " + KindName(a0.kind));
            return giveText(FormatValue(a0));
        case Builtin::Num:
            if (a0.kind == ValueKind::Text) return giveInteger(NumberOf(text));
            if (a0.kind == ValueKind::Integer || a0.kind == ValueKind::Boolean) return giveInteger(a0.integer);
            return Fail(name + " wants a text, an integer or a boolean, not " + KindName(a0.kind));
        case Builtin::Trim: {
            size_t from = 0, to = text.size();
            while (from < to && IsBlank(text[from])) ++from;
            while (to > from && IsBlank(text[to - 1])) --to;
            return giveText(text.substr(from, to - from));
        }
        case Builtin::TextToUtf8: return giveText(MacRomanToUtf8(text));
        case Builtin::Utf8ToText: {
            // A character Mac Roman lacks becomes '?'; bytes that are not UTF-8 are an error.
            std::string converted;
            for (size_t at = 0; at < text.size();) {
                const size_t start = at;
                char32_t code = 0;
                unsigned char byte = '?';
                if (!DecodeUtf8(text, at, code)) return Fail(name + ": not UTF-8 at byte " + std::to_string(start + 1));
                if (!UnicodeToMacRoman(code, byte)) byte = '?';
                converted += static_cast<char>(byte);
            }
            return giveText(std::move(converted));
        }
        case Builtin::True: return giveBoolean(true);
        case Builtin::False: return giveBoolean(false);
        case Builtin::Not: return giveBoolean(a0.integer == 0);
        case Builtin::CurrentDate:
        case Builtin::CurrentTime: {
            const time_t now = time(nullptr);
            struct tm local {};
            localtime_r(&now, &local);
            if (e.builtin == Builtin::CurrentTime) return giveInteger(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
            const int16_t today[3] = {static_cast<int16_t>(local.tm_mday), static_cast<int16_t>(local.tm_mon + 1),
                                      static_cast<int16_t>(local.tm_year + 1900)};
            result.SetDate(today);
            return true;
        }
        case Builtin::CurrentSeconds:
            // GMT seconds from 1904 as the plug-in's date commands take them (unsigned 32 bits, wrapped).
            return giveInteger(static_cast<int32_t>(static_cast<uint32_t>(time(nullptr)) + kSecondsFrom1904To1970));
        case Builtin::Delay: {
            // Other processes run meanwhile, and socket events reach the plug-in.
            const uint32_t end = HostTicks() + static_cast<uint32_t>(a0.integer > 0 ? a0.integer : 0);
            while (static_cast<int32_t>(end - HostTicks()) > 0) {
                if (Stopping()) return false;
                if (scheduler_ != nullptr) {
                    HostYield();
                    const int32_t left = static_cast<int32_t>(end - HostTicks());
                    if (left > 0) scheduler_->GiveWay(ProcessStatus::Delayed, -1, 0, static_cast<uint32_t>(left));
                } else {
                    HostYieldWaiting(-1, 0, end - HostTicks());
                }
            }
            if (AbortedWhileAway()) return false;
            return nothing();
        }
        case Builtin::ReadFile: {
            const std::string file = path(a0);
            std::string bytes, why;
            const size_t most = raw ? kMostTextBytes : 3 * kMostTextBytes;  // a Mac Roman byte is 3 UTF-8 bytes at most
            if (!ReadWholeFile(file, bytes, why, most)) return Fail("cannot read " + file + ": " + why);
            if (bytes.size() > most) return Fail(file + " is longer than a text may be (32767 bytes)");
            if (raw) return giveText(std::move(bytes));
            std::string converted;
            size_t bad = 0;
            if (!Utf8ToMacRoman(bytes, converted, bad))
                return Fail(file + " is not UTF-8 text in Mac Roman's repertoire (at byte " + std::to_string(bad) + ")");
            return giveText(std::move(converted));
        }
        case Builtin::WriteFile:
        case Builtin::AppendFile: {
            const std::string file = path(a0);
            const std::string bytes = raw ? a1.bytes() : MacRomanToUtf8(a1.bytes());
            // One open, the bytes in as few writes as the system takes them, one close: a script
            // that appends every piece it receives pays no more than that for each.
            const int mode = e.builtin == Builtin::WriteFile ? O_TRUNC : O_APPEND;
            const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | mode, 0666);
            if (fd < 0) return Fail("cannot write " + file + ": " + std::strerror(errno));
            size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    if (n == 0) errno = EIO;  // nothing taken and no reason given
                    break;
                }
                done += static_cast<size_t>(n);
            }
            const int saved = done < bytes.size() ? errno : 0;
            const bool closed = close(fd) == 0;
            if (saved != 0 || !closed) return Fail("cannot write " + file + ": " + std::strerror(saved != 0 ? saved : errno));
            return nothing();
        }
        case Builtin::FileExists: {
            struct stat st {};
            return giveBoolean(stat(path(a0).c_str(), &st) == 0);
        }
        case Builtin::DeleteFile: {
            const std::string file = path(a0);
            if (unlink(file.c_str()) != 0) return Fail("cannot delete " + file + ": " + std::strerror(errno));
            return nothing();
        }
        case Builtin::CreateDocument:
        case Builtin::OpenDocument: {
            const std::string file = path(a0);
            const int32_t mode = count > 1 ? a1.integer : DocumentReadWrite;
            if (mode < DocumentReadWrite || mode > DocumentRead)
                return Fail(name + " wants mode 0 (read and write), 1 (write) or 2 (read), not " + std::to_string(mode));
            std::string why;
            const int32_t reference = documents_.Open(file, e.builtin == Builtin::CreateDocument, mode, process_, why);
            if (reference == 0) return Fail("cannot open " + file + ": " + why);
            return giveInteger(reference);
        }
        case Builtin::SendPacket:
        case Builtin::ReceivePacket:
        case Builtin::CloseDocument: {
            // Packets are bytes: they go to and come from the document as they are.
            std::string why;
            if (e.builtin == Builtin::CloseDocument) return documents_.Close(a0.integer, why) ? nothing() : Fail(name + ": " + why);
            const int fd = documents_.FileOf(a0.integer, why);
            if (fd < 0) return Fail(name + ": " + why);
            if (e.builtin == Builtin::SendPacket)
                return WritePacket(fd, a1.bytes(), why) ? nothing() : Fail(name + ": cannot write: " + why);
            std::string got;
            int64_t taken = 0;
            if (a2.kind == ValueKind::Integer) {
                if (a2.integer < 0 || static_cast<size_t>(a2.integer) > kMostTextBytes)
                    return Fail(name + " takes 0 to 32767 bytes, not " + std::to_string(a2.integer));
                if (!ReadPacket(fd, a2.integer, got, why)) return Fail(name + ": cannot read: " + why);
                taken = static_cast<int64_t>(got.size());
            } else if (a2.kind == ValueKind::Text) {
                if (!ReadPacketUntil(fd, a2.bytes(), kMostTextBytes, got, taken, why)) return Fail(name + ": cannot read: " + why);
            } else {
                return Fail("argument 3 of " + name + " wants a byte count or a stop text, not " + KindName(a2.kind));
            }
            if (changed->kind != ValueKind::None && changed->kind != ValueKind::Text)
                return Fail(NameOf(e.args[1]) + " holds " + KindName(changed->kind) + ", not a text");
            changed->SetBytes(ValueKind::Text, std::move(got));
            return giveInteger(static_cast<int32_t>(taken));
        }
        case Builtin::DocumentSize: {
            struct stat st {};
            std::string why;
            if (a0.kind == ValueKind::Integer) {
                const int fd = documents_.FileOf(a0.integer, why);
                if (fd < 0) return Fail(name + ": " + why);
                if (fstat(fd, &st) != 0) return Fail(name + ": " + std::strerror(errno));
            } else if (a0.kind == ValueKind::Text) {
                // By name: -1 when no regular file is there, so a program can ask before it opens.
                if (stat(path(a0).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return giveInteger(-1);
            } else {
                return Fail("argument 1 of " + name + " wants a file name or a document reference, not " + KindName(a0.kind));
            }
            if (st.st_size > INT32_MAX) return Fail(name + ": " + std::to_string(st.st_size) + " bytes is more than an integer holds");
            return giveInteger(static_cast<int32_t>(st.st_size));
        }
        case Builtin::ArrayInteger:
        case Builtin::ArrayText:
        case Builtin::ArrayDate:
        case Builtin::ArrayPicture:
        case Builtin::ArrayBoolean: {
            const ValueKind element = ElementOf(e.builtin);
            if (changed->kind == ValueKind::None) changed->SetArray(element);
            if (changed->kind != ValueKind::Array || changed->element != element)
                return Fail(NameOf(e.args[0]) + " holds " +
                            (changed->kind == ValueKind::Array ? ArrayKindName(changed->element) : KindName(changed->kind)) +
                            ", not " + ArrayKindName(element));
            if (a1.integer < 0 || a1.integer > kMostArrayElements)
                return Fail("an array cannot have " + std::to_string(a1.integer) + " elements (10000000 at most)");
            const size_t size = static_cast<size_t>(a1.integer);
            if (size != changed->items().size()) changed->EditItems().resize(size, Blank(element));
            return nothing();
        }
        case Builtin::SizeOfArray: return giveInteger(static_cast<int32_t>(a0.items().size()));
        case Builtin::AppendToArray:
        case Builtin::InsertInArray:
        case Builtin::DeleteFromArray: {
            const std::string array = NameOf(e.args[0]);
            if (changed->kind != ValueKind::Array)
                return Fail(array + (changed->kind == ValueKind::None ? " is not defined" : " is not an array"));
            if (e.builtin == Builtin::AppendToArray) {
                if (a1.kind != changed->element)
                    return Fail("an element of " + array + " is " + KindName(changed->element) + ", not " + KindName(a1.kind));
                if (static_cast<int64_t>(changed->items().size()) >= kMostArrayElements)
                    return Fail("an array of more than 10000000 elements");
                Value added = a1;  // before the array changes: it may be one of the array's own elements
                changed->EditItems().push_back(std::move(added));
                return nothing();
            }
            const std::vector<Value>& items = changed->items();
            const int64_t at = a1.integer;
            const int64_t n = count > 2 ? a2.integer : 1;
            const int64_t size = static_cast<int64_t>(items.size());
            const int64_t last = e.builtin == Builtin::InsertInArray ? size + 1 : size;
            if (at < 1 || at > last)
                return Fail("index " + std::to_string(at) + " is out of range for " + array + " (1 to " + std::to_string(last) + ")");
            if (n < 0) return Fail(name + " cannot take " + std::to_string(n) + " elements");
            if (e.builtin == Builtin::InsertInArray) {
                if (size + n > kMostArrayElements) return Fail("an array of more than 10000000 elements");
                std::vector<Value>& edited = changed->EditItems();
                edited.insert(edited.begin() + (at - 1), static_cast<size_t>(n), Blank(changed->element));
            } else {
                const int64_t end = at - 1 + n < size ? at - 1 + n : size;
                std::vector<Value>& edited = changed->EditItems();
                edited.erase(edited.begin() + (at - 1), edited.begin() + end);
            }
            return nothing();
        }
        case Builtin::ErrorText: {
            std::string converted;
            size_t bad = 0;
            const std::string& message = caught_.message;
            return giveText((Utf8ToMacRoman(message, converted, bad) ? converted : message).substr(0, kMostTextBytes));
        }
        case Builtin::ErrorLine: return giveInteger(caught_.line);
        case Builtin::Throw: return Fail(MacRomanToUtf8(text));
        case Builtin::Argument: {
            const int32_t n = a0.integer;
            if (n < 1 || static_cast<size_t>(n) > arguments_.size())
                return Fail("there is no argument " + std::to_string(n) + " (the script has " +
                            std::to_string(arguments_.size()) + ")");
            std::string converted;
            size_t bad = 0;
            const std::string& given = arguments_[static_cast<size_t>(n - 1)];
            return giveText(Utf8ToMacRoman(given, converted, bad) ? converted : given);
        }
        case Builtin::ArgumentCount: return giveInteger(static_cast<int32_t>(arguments_.size()));
        case Builtin::Environment: {
            const char* value = std::getenv(path(a0).c_str());
            std::string converted;
            size_t bad = 0;
            const std::string given = value != nullptr ? value : "";
            return giveText(Utf8ToMacRoman(given, converted, bad) ? converted : given);
        }
        case Builtin::NewProcess:
        case Builtin::CurrentProcess:
        case Builtin::ProcessState:
        case Builtin::AbortProcess:
        case Builtin::Semaphore:
        case Builtin::ClearSemaphore: break;  // CallProcessBuiltin
        case Builtin::StatusText: {
            // The command's own line for the number when a command is named and lists it, else
            // the number's shared name, else an empty text.
            const char* meaning = nullptr;
            if (count > 1) {
                const CommandSpec* c = nullptr;
                for (const CommandSpec& candidate : kCommands)
                    if (strcasecmp(candidate.name, a1.bytes().c_str()) == 0) c = &candidate;
                if (c == nullptr) return Fail("no command is named " + MacRomanToUtf8(a1.bytes()));
                meaning = zor::shell::StatusText(c->selector, a0.integer);
            }
            if (meaning == nullptr) meaning = zor::shell::StatusText(a0.integer);
            return giveText(meaning != nullptr ? meaning : "");
        }
        case Builtin::IsNumber: return giveBoolean(IsNumberText(text));
        case Builtin::SortArray:
        case Builtin::FindInArray:
        case Builtin::SplitText:
        case Builtin::JoinText: return ArrayBuiltin(call, in, changed, result);
        case Builtin::DocumentList:
        case Builtin::FolderList: {
            if (!FolderBuiltin(call, path(a0), changed)) return false;
            return nothing();
        }
    }
    return Fail("unknown built-in " + name);
}

// NewProcess, CurrentProcess, ProcessState, AbortProcess, Semaphore, ClearSemaphore.
bool Interpreter::CallProcessBuiltin(const Node& call, Value& result) {
    const Expr& e = *call.expr;
    const BuiltinSpec& spec = SpecOf(e.builtin);
    const std::string& name = e.text;
    std::vector<Value> args(e.args.size());
    for (size_t i = 0; i < e.args.size(); ++i) {
        if (!Eval(call.args[i], args[i])) return false;
        const char letter = ArgLetter(spec, i);
        if (!ArgKindFits(letter, args[i].kind))
            return Fail("argument " + std::to_string(i + 1) + " of " + name + " wants " + ArgKindName(letter) + ", not " +
                        KindName(args[i].kind));
    }
    result.Clear();
    if (scheduler_ == nullptr) return Fail(name + " needs zor-host's processes");
    switch (e.builtin) {
        case Builtin::NewProcess: {
            std::string key = args[0].bytes();
            for (char& c : key)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            const auto found = program_->methodIndex.find(key);
            if (found == program_->methodIndex.end()) return Fail("no method is named " + MacRomanToUtf8(args[0].bytes()));
            const Method& m = program_->methods[static_cast<size_t>(found->second)];
            const size_t given = args.size() - 2;
            if (given > static_cast<size_t>(m.parameters))
                return Fail(m.name + " takes " + std::to_string(m.parameters) + " parameters, not " + std::to_string(given));
            const std::string processName = MacRomanToUtf8(args[1].bytes());
            std::vector<Value> parameters(std::make_move_iterator(args.begin() + 2), std::make_move_iterator(args.end()));
            // The flow lives on the heap (its document table must not move) for as long as the
            // scheduler keeps the process's work: it is freed by whichever process holds the baton.
            std::shared_ptr<Interpreter> flow = Offspring();
            Scheduler* scheduler = scheduler_;
            const int32_t method = found->second;
            const int32_t number = scheduler_->Start(processName, [flow, scheduler, method, processName,
                                                                   parameters = std::move(parameters)]() mutable {
                const bool ended = flow->RunProcess(method, std::move(parameters)) || flow->stopped();
                flow->CloseDocuments(DocumentTable::kEveryOwner);  // a process's documents end with it
                if (ended) return;
                const Fault& f = flow->fault();
                std::fflush(stdout);
                std::fprintf(stderr, "%s:%d: %s (process %s)\n", f.file.c_str(), f.line, f.message.c_str(), processName.c_str());
                scheduler->NoteFailure();
            });
            if (number == 0) return Fail("cannot start process " + processName + ": no thread to be had");
            result.SetInteger(number);
            return true;
        }
        case Builtin::CurrentProcess: result.SetInteger(scheduler_->Current()); return true;
        case Builtin::ProcessState: result.SetInteger(scheduler_->State(args[0].integer)); return true;
        case Builtin::AbortProcess:
            // A process that aborts itself ends here, before any statement after this one runs.
            if (scheduler_->Abort(args[0].integer) && args[0].integer == scheduler_->Current()) return !AbortedWhileAway();
            return true;
        case Builtin::Semaphore: {
            const int32_t ticks = args.size() > 1 ? args[1].integer : 0;
            const bool held = scheduler_->TakeSemaphore(args[0].bytes(), static_cast<uint32_t>(ticks > 0 ? ticks : 0));
            if (AbortedWhileAway()) return false;
            result.SetBoolean(held);
            return true;
        }
        case Builtin::ClearSemaphore: scheduler_->ClearSemaphore(args[0].bytes()); return true;
        default: break;
    }
    return Fail("unknown built-in " + name);
}

}  // namespace zor::shell

namespace zor::shell {

// SortArray, FindInArray, SplitText and JoinText.
bool Interpreter::ArrayBuiltin(const Node& call, const Value* const* in, Value* changed, Value& result) {
    const Expr& e = *call.expr;
    const std::string& name = e.text;
    const Value& a0 = *in[0];
    const Value& a1 = *in[1];
    switch (e.builtin) {
        case Builtin::SortArray: {
            // Stable: equal elements keep their order, in either direction.
            const std::string array = NameOf(e.args[0]);
            if (changed->kind != ValueKind::Array)
                return Fail(array + (changed->kind == ValueKind::None ? " is not defined" : " is not an array"));
            bool down = false;
            if (e.args.size() > 1) {
                if (a1.bytes() != ">" && a1.bytes() != "<")
                    return Fail(name + " sorts by \"<\" or \">\", not \"" + MacRomanToUtf8(a1.bytes()) + "\"");
                down = a1.bytes() == ">";
            }
            if (changed->items().size() > 1) {
                std::vector<Value>& items = changed->EditItems();
                // Integers and booleans by their number, texts and pictures by their bytes, dates by
                // their day: each kind compared by its own routine.
                if (changed->element == ValueKind::Integer || changed->element == ValueKind::Boolean) {
                    if (down) std::stable_sort(items.begin(), items.end(), [](const Value& x, const Value& y) { return y.integer < x.integer; });
                    else std::stable_sort(items.begin(), items.end(), [](const Value& x, const Value& y) { return x.integer < y.integer; });
                } else if (changed->element == ValueKind::Text || changed->element == ValueKind::Picture) {
                    SortByBytes(items, down);
                } else {
                    std::stable_sort(items.begin(), items.end(), [down](const Value& x, const Value& y) {
                        return down ? OrderOf(y, x) < 0 : OrderOf(x, y) < 0;
                    });
                }
            }
            result.Clear();
            return true;
        }
        case Builtin::FindInArray: {
            if (a1.kind != a0.element)
                return Fail("an element of " + (e.args[0].form == Expr::Form::Variable ? NameOf(e.args[0]) : std::string("the array")) +
                            " is " + KindName(a0.element) + ", not " + KindName(a1.kind));
            const int64_t start = e.args.size() > 2 ? std::max<int64_t>(in[2]->integer, 1) : 1;
            const std::vector<Value>& items = a0.items();
            int32_t found = -1;
            for (size_t i = static_cast<size_t>(start - 1); i < items.size(); ++i)
                if (OrderOf(items[i], a1) == 0) {
                    found = static_cast<int32_t>(i + 1);
                    break;
                }
            result.SetInteger(found);
            return true;
        }
        case Builtin::SplitText: {
            if (const std::string held = MakeTextArray(*changed); !held.empty())
                return Fail(NameOf(e.args[2]) + " holds " + held + ", not an array of texts");
            const std::string text = a0.bytes();  // copies: the array to fill may be where they come from
            const std::string separator = a1.bytes();
            if (separator.empty()) return Fail(name + " wants a separator that is not empty");
            std::vector<Value> pieces;
            for (size_t at = 0; !text.empty();) {
                const size_t found = text.find(separator, at);
                Value& piece = pieces.emplace_back();
                piece.SetBytes(ValueKind::Text, text.substr(at, found == std::string::npos ? std::string::npos : found - at));
                if (found == std::string::npos) break;
                at = found + separator.size();
            }
            changed->EditItems() = std::move(pieces);
            result.Clear();
            return true;
        }
        default: {  // JoinText
            if (a0.element == ValueKind::Picture) return Fail(name + " cannot join pictures");
            std::string joined;
            const std::vector<Value>& items = a0.items();
            for (size_t i = 0; i < items.size(); ++i) {
                if (i > 0) joined += a1.bytes();
                joined += items[i].kind == ValueKind::Text ? items[i].bytes() : FormatValue(items[i]);
                if (joined.size() > kMostTextBytes)
                    return Fail("a text of more than 32767 bytes is longer than a text may be (32767)");
            }
            result.SetBytes(ValueKind::Text, std::move(joined));
            return true;
        }
    }
}

// DocumentList and FolderList: the names of the folder's files (or folders), sorted by their UTF-8
// bytes, as Mac Roman texts. "." and "..", AppleDouble sidecars ("._name") and names Mac Roman
// cannot write are left out. Links count as what they point to.
bool Interpreter::FolderBuiltin(const Node& call, const std::string& folder, Value* changed) {
    const Expr& e = *call.expr;
    const bool folders = e.builtin == Builtin::FolderList;
    if (const std::string held = MakeTextArray(*changed); !held.empty())
        return Fail(NameOf(e.args[1]) + " holds " + held + ", not an array of texts");
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return Fail("cannot list " + folder + ": " + std::strerror(errno));
    std::vector<std::string> names;
    while (const struct dirent* entry = readdir(dir)) {
        const std::string entryName = entry->d_name;
        if (entryName == "." || entryName == ".." || entryName.compare(0, 2, "._") == 0) continue;
        struct stat st {};
        if (fstatat(dirfd(dir), entry->d_name, &st, 0) != 0) continue;  // a dangling link: neither
        if (folders ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) continue;
        names.push_back(entryName);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    std::vector<Value> items;
    for (const std::string& n : names) {
        std::string converted;
        size_t bad = 0;
        if (!Utf8ToMacRoman(n, converted, bad)) continue;
        if (static_cast<int64_t>(items.size()) >= kMostArrayElements) return Fail("an array of more than 10000000 elements");
        items.emplace_back().SetBytes(ValueKind::Text, std::move(converted));
    }
    changed->EditItems() = std::move(items);
    return true;
}

}  // namespace zor::shell
