// script_parser.cpp: fuzzes the host language's parser with arbitrary script text. A script that
// parses gives statements on lines that exist, in order, with arguments the command table allows,
// variables resolved to slots their frames have and method calls resolved to methods that exist.
#include <cstdint>
#include <string_view>
#include <vector>

#include "shell/script.h"

namespace {

using zor::shell::Expr;
using zor::shell::Program;
using zor::shell::Statement;

void CheckExpr(const Program& p, const Expr& e, int depth, int slots) {
    using Form = Expr::Form;
    if (depth > 10000) __builtin_trap();
    if (e.form == Form::Command) {
        if (e.command == nullptr || e.args.size() > size_t(zor::ArgCount(*e.command))) __builtin_trap();
    }
    if (e.form == Form::Method) {
        if (e.slot < 0 || size_t(e.slot) >= p.methods.size()) __builtin_trap();
        if (e.args.size() != size_t(p.methods[size_t(e.slot)].parameters)) __builtin_trap();
    }
    if (e.form == Form::Variable || e.form == Form::Element) {
        const int limit = e.global ? int(p.globals.names.size()) : slots;
        if (e.slot < 0 || e.slot >= limit) __builtin_trap();
    }
    for (const auto& arg : e.args) CheckExpr(p, arg, depth + 1, slots);
}

void CheckList(const Program& p, const std::vector<Statement>& list, size_t lines, int slots, int depth) {
    int last = 0;
    if (depth > 100000) __builtin_trap();
    for (const auto& s : list) {
        if (s.line < last || s.line < 1 || size_t(s.line) > lines) __builtin_trap();
        last = s.line;
        CheckExpr(p, s.place, 0, slots);
        CheckExpr(p, s.value, 0, slots);
        for (const auto& e : s.range) CheckExpr(p, e, 0, slots);
        CheckList(p, s.body, lines, slots, depth + 1);
        CheckList(p, s.otherwise, lines, slots, depth + 1);
        for (const auto& b : s.branches) {
            CheckExpr(p, b.condition, 0, slots);
            CheckList(p, b.body, lines, slots, depth + 1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view source(reinterpret_cast<const char*>(data), size);
    Program program;
    zor::shell::ParseError error;
    size_t lines = 1;
    for (char c : source) lines += c == '\n';
    if (zor::shell::ParseProgram(source, "fuzz", program, error)) {
        CheckList(program, program.main, lines, int(program.mainScope.names.size()), 0);
        for (const auto& m : program.methods) CheckList(program, m.body, lines, m.slots, 0);
    } else if (error.line < 1 || size_t(error.line) > lines || error.message.empty()) {
        __builtin_trap();
    }
    return 0;
}
