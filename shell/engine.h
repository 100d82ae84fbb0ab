// engine.h: the compiled form a script runs as: each expression a node carrying the routines that
// work it out (chosen once, from its form and the forms of its operands), each statement a step
// carrying the routine that runs it. Made from the parse tree when a script first runs.
#ifndef ZOR_SHELL_ENGINE_H
#define ZOR_SHELL_ENGINE_H

#include <vector>

#include "shell/host.h"

namespace zor::shell {

// One expression, compiled. `eval` always works; `quick` (when set) works out pure integer
// arithmetic over literals, integer variables and integer array elements without temporaries, or
// says it cannot (a variable of another kind, an index out of range, a division by zero), and then
// `eval` runs and gives the value or the error. `quick` has no side effects, so trying it first is
// harmless. `truth` works the expression out as a condition.
struct Node {
    using EvalFn = bool (*)(const Node& node, Interpreter& flow, Value& out);
    using QuickFn = bool (*)(const Node& node, Interpreter& flow, int32_t& out);
    using TruthFn = bool (*)(const Node& node, Interpreter& flow, bool& out);

    EvalFn eval = nullptr;        // the value (false: a fault was raised)
    QuickFn quick = nullptr;      // the integer without temporaries, when it can (null: never)
    TruthFn truth = nullptr;      // as a condition: a boolean, else a fault
    const Expr* expr = nullptr;   // the expression compiled: names and forms for messages and calls
    int32_t slot = -1;            // a variable's slot; a method's index
    int32_t integer = 0;          // an integer literal (also the right operand folded into a fused node)
    uint64_t reciprocal = 0;      // division or modulo by the literal `integer`: its reciprocal (ByLiteral)
    Op op = Op::Add;              // a binary or unary operator
    bool global = false;          // the variable is a `<>` global
    bool variable = false;        // the node reads a variable (`slot`, `global`)
    Value constant;               // a text or date literal, made once
    std::vector<Node> args;       // operands, index, or arguments of a call
    mutable const Block* body = nullptr;  // a method call: the method's compiled body, once known
    mutable size_t frameSize = 0;         // and the number of values of its frame
    ArgSpec spec{};               // an argument of a command: what the command's table says of it
};

// How a statement or block ended: a fault (or a stop), normally, or leaving for the loop or method
// around it. A routine that gives a bool gives kFault or kNext.
using Flow = int;
constexpr Flow kFault = 0;     // a fault was raised, or the script is stopping
constexpr Flow kNext = 1;      // on to the next statement
constexpr Flow kBreak = 2;     // out of the innermost loop
constexpr Flow kContinue = 3;  // on with the innermost loop's next turn
constexpr Flow kReturn = 4;    // out of the method

// One statement, compiled.
struct Step {
    using RunFn = Flow (*)(const Step& step, Interpreter& flow);

    RunFn run = nullptr;                 // runs the statement
    const Statement* source = nullptr;   // the statement, for the line of a fault
    bool calls = false;                  // its own expressions call commands or built-ins: a stop is looked for first
    bool bodyLooks = false;              // a loop whose body starts with such a statement: no look of its own needed
    Node place;                          // Assign, For: the variable or element written
    Node value;                          // Call, Assign: the expression; If, While, Repeat: the condition
    std::vector<Node> range;             // For: start, end and step
    Block body;                          // the statements of the block (If: the true part)
    Block otherwise;                     // Else, Catch
    std::vector<Node> conditions;        // Case: each branch's condition
    std::vector<Block> branches;         // Case: each branch's statements
};

}  // namespace zor::shell

#endif  // ZOR_SHELL_ENGINE_H
