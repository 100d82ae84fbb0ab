// script_parser.cpp: fuzzes the host language's parser with arbitrary script text. A script that
// parses gives statements on lines that exist, with arguments the command table allows.
#include <cstdint>
#include <string_view>
#include <vector>

#include "shell/script.h"

namespace {

void CheckExpr(const zor::shell::Expr& e, int depth) {
    using Form = zor::shell::Expr::Form;
    if (depth > 10000) __builtin_trap();
    if (e.form == Form::Command) {
        if (e.command == nullptr || e.args.size() > size_t(zor::ArgCount(*e.command))) __builtin_trap();
    }
    for (const auto& arg : e.args) CheckExpr(arg, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view source(reinterpret_cast<const char*>(data), size);
    std::vector<zor::shell::Statement> statements;
    zor::shell::ParseError error;
    size_t lines = 1;
    for (char c : source) lines += c == '\n';
    if (zor::shell::ParseScript(source, statements, error)) {
        int last = 0;
        for (const auto& s : statements) {
            if (s.line <= last || size_t(s.line) > lines) __builtin_trap();
            last = s.line;
            CheckExpr(s.value, 0);
        }
    } else if (error.line < 1 || size_t(error.line) > lines || error.message.empty()) {
        __builtin_trap();
    }
    return 0;
}
