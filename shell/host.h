// host.h: the host side of zor-host: its variables, how it calls the plug-in, and the built-ins.
#ifndef ZOR_SHELL_HOST_H
#define ZOR_SHELL_HOST_H

#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>

#include "zor/host_toolbox.h"
#include "shell/script.h"

namespace zor::shell {

// A value the host owns: a variable, or a temporary made for one call. Texts and pictures live in
// host handles made with the host toolbox, as the plug-in expects; a text always has a handle.
struct Value {
    ValueKind kind = ValueKind::None;
    int32_t integer = 0;              // Integer (short arguments read its first two bytes)
    TextBlock text{0, nullptr};       // Text
    HostHandle picture = nullptr;     // Picture; may be null (no picture)
    int16_t date[3] = {0, 0, 0};      // Date: day, month, year

    Value() = default;
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
    Value(Value&& other) noexcept;
    Value& operator=(Value&& other) noexcept;
    ~Value() { Release(); }
    void Release();  // disposes of the handles and forgets the kind
};

// The valid bytes of a text (its count, bounded by its handle's size).
std::string_view TextBytes(const TextBlock& text);
// The bytes of a picture (empty for none).
std::string_view PictureBytes(HostHandle picture);

// How a value is shown by print: integers in decimal, texts in UTF-8 with CR, LF and the other
// control bytes escaped, dates YYYY-MM-DD, pictures as their size.
std::string FormatValue(const Value& value);

// A GIF, JPEG or PNG file as host picture data: GIF bytes as they are; JPEG and PNG behind the
// 10-byte picture header (size, top 0, left 0, bottom = height, right = width, machine byte order).
bool PictureFromImageFile(const std::string& path, std::string& data, std::string& error);

// The plug-in as the host sees it: its entry point and the variable that keeps its global record.
struct PluginLink {
    RozoZIvavFunction entry = nullptr;
    HostHandle globals = nullptr;
    bool trace = false;  // report every call on standard error
    void Call(int32_t selector, void** params, void* result);
};

class Interpreter {
public:
    Interpreter(PluginLink& plugin, std::FILE* out) : plugin_(plugin), out_(out) {}
    // Runs one statement; false with `error` set when it fails. With `echo`, the value a call gives
    // (or the value assigned) is printed after it, as the interactive prompt does.
    bool Run(const Statement& statement, bool echo, std::string& error);

private:
    bool Evaluate(const Expr& e, Value& out, std::string& error);
    // The value of an expression: a variable in place, or `scratch` filled by evaluating it.
    bool Reach(const Expr& e, Value& scratch, const Value*& value, std::string& error);
    bool CallCommand(const Expr& e, Value& result, std::string& error);
    bool CallBuiltin(const Expr& e, Value& result, std::string& error);
    bool Copy(const Value& from, Value& to, std::string& error);

    PluginLink& plugin_;
    std::FILE* out_;
    std::unordered_map<std::string, Value> variables_;
};

}  // namespace zor::shell

#endif  // ZOR_SHELL_HOST_H
