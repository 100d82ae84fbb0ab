// parser_test.cpp: the host language's parser: forms, literals, and the faults it must name.
#include <gtest/gtest.h>

#include <string>

#include "shell/script.h"

namespace zor::shell {
namespace {

// Parses one line that must hold a statement.
Statement Parse(const std::string& line) {
    Statement s;
    bool has = false;
    std::string error;
    EXPECT_TRUE(ParseLine(line, 1, s, has, error)) << line << ": " << error;
    EXPECT_TRUE(has) << line;
    return s;
}

// The fault a line gives (empty when it parses).
std::string Fault(const std::string& line) {
    Statement s;
    bool has = false;
    std::string error;
    if (ParseLine(line, 1, s, has, error)) return "";
    EXPECT_FALSE(error.empty()) << line;
    return error;
}

TEST(Parser, StatementForms) {
    Statement s = Parse("$ref := TcpOpen(\"127.0.0.1\"; 8080; 0; 0; 0; 0; 0)");
    EXPECT_EQ(s.target, "ref");
    ASSERT_EQ(s.value.form, Expr::Form::Command);
    EXPECT_EQ(s.value.command->selector, 2);
    ASSERT_EQ(s.value.args.size(), 7u);
    EXPECT_EQ(s.value.args[0].form, Expr::Form::Text);
    EXPECT_EQ(s.value.args[0].text, "127.0.0.1");
    EXPECT_EQ(s.value.args[1].integer, 8080);

    s = Parse("  SecondsToDate($secs; $d; $time; 1)  // trailing comment");
    EXPECT_TRUE(s.target.empty());
    EXPECT_EQ(s.value.command->selector, 51);
    EXPECT_EQ(s.value.args[1].form, Expr::Form::Variable);
    EXPECT_EQ(s.value.args[1].text, "d");

    s = Parse("$a := $b");
    EXPECT_EQ(s.value.form, Expr::Form::Variable);
    EXPECT_EQ(s.value.text, "b");

    s = Parse("$d := !1997-01-06!");
    EXPECT_EQ(s.value.date[0], 6);
    EXPECT_EQ(s.value.date[1], 1);
    EXPECT_EQ(s.value.date[2], 1997);

    s = Parse("print(length(hex(\"a\")); Unavailable21())");
    ASSERT_EQ(s.value.form, Expr::Form::Builtin);
    EXPECT_EQ(s.value.builtin, Builtin::Print);
    EXPECT_EQ(s.value.args[0].args[0].builtin, Builtin::Hex);
    EXPECT_EQ(s.value.args[1].command->selector, 21);
    EXPECT_EQ(Parse("Unavailable26( )").value.args.size(), 0u);
}

TEST(Parser, BlankAndCommentLinesHoldNothing) {
    for (const char* line : {"", "   ", "\t", "// only a comment", "   // indented", "\r"}) {
        Statement s;
        bool has = true;
        std::string error;
        EXPECT_TRUE(ParseLine(line, 3, s, has, error)) << line;
        EXPECT_FALSE(has) << line;
    }
}

TEST(Parser, IntegerLiterals) {
    const struct {
        const char* text;
        int32_t value;
    } good[] = {
        {"0", 0}, {"-7", -7}, {"+7", 7}, {"2147483647", 2147483647}, {"-2147483648", INT32_MIN},
        {"0x7fffffff", INT32_MAX}, {"0xFFFFFFFF", -1}, {"0x80000000", INT32_MIN}, {"-0x80000000", INT32_MIN},
        {"-0x1", -1}, {"000012", 12},
    };
    for (const auto& g : good) {
        const Statement s = Parse(std::string("$n := ") + g.text);
        EXPECT_EQ(s.value.form, Expr::Form::Integer) << g.text;
        EXPECT_EQ(s.value.integer, g.value) << g.text;
    }
    for (const char* bad : {"2147483648", "-2147483649", "0x100000000", "-0x80000001", "99999999999999999999999",
                            "0x1ffffffffffffffff"})
        EXPECT_NE(Fault(std::string("$n := ") + bad).find("does not fit 32 bits"), std::string::npos) << bad;
    for (const char* bad : {"12abc", "0x", "-", "+", "0xg1", "1.5"})
        EXPECT_NE(Fault(std::string("$n := ") + bad), "") << bad;
}

TEST(Parser, StringEscapesGiveTheirBytes) {
    EXPECT_EQ(Parse(R"($t := "\r\n\t\0\\\"")").value.text, std::string("\r\n\t\0\\\"", 6));
    // Every byte, upper- and lower-case hex.
    for (int b = 0; b < 256; ++b) {
        char lower[32], upper[32];
        std::snprintf(lower, sizeof lower, "$t := \"\\x%02x\"", b);
        std::snprintf(upper, sizeof upper, "$t := \"\\x%02X\"", b);
        EXPECT_EQ(Parse(lower).value.text, std::string(1, static_cast<char>(b))) << lower;
        EXPECT_EQ(Parse(upper).value.text, std::string(1, static_cast<char>(b))) << upper;
    }
    // Inside a string, separators and comment markers are characters.
    EXPECT_EQ(Parse("$t := \"a;b)c // d\"").value.text, "a;b)c // d");
    // UTF-8 becomes Mac Roman.
    EXPECT_EQ(Parse("$t := \"é€ﬁ\"").value.text, "\x8E\xDB\xDE");
}

TEST(Parser, StringFaults) {
    EXPECT_EQ(Fault("print(\"open"), "unterminated string");
    EXPECT_EQ(Fault("print(\"ends in a backslash\\"), "unterminated string");
    EXPECT_EQ(Fault("print(\"\\q\")"), "unknown escape \\q");
    EXPECT_EQ(Fault("print(\"\\x4\")"), "\\x needs two hex digits");
    EXPECT_EQ(Fault("print(\"\\x\")"), "\\x needs two hex digits");
    EXPECT_NE(Fault("print(\"\xC3\")").find("not UTF-8"), std::string::npos);
    EXPECT_NE(Fault("print(\"\xC0\x80\")").find("not UTF-8"), std::string::npos);  // overlong NUL
    EXPECT_NE(Fault("print(\"\xE2\x82\xA4\")").find("U+20A4"), std::string::npos);    // lira: not in Mac Roman
}

TEST(Parser, DateLiterals) {
    EXPECT_EQ(Parse("$d := !2000-02-29!").value.date[0], 29);
    EXPECT_EQ(Parse("$d := !0000-00-00!").value.date[1], 0);
    for (const char* bad : {"!1900-02-29!", "!1999-13-01!", "!1999-00-10!", "!1999-04-31!", "!1999-4-1!",
                            "!1999-04-01", "!99-04-01!", "!1999/04/01!"})
        EXPECT_NE(Fault(std::string("$d := ") + bad), "") << bad;
}

TEST(Parser, ArgumentChecks) {
    EXPECT_EQ(Fault("$r := TcpOpn(1)"), "unknown command TcpOpn");
    EXPECT_EQ(Fault("$r := CopyTextStub(\"a\"; $b; $c)"), "CopyTextStub takes 4 arguments, got 3");
    EXPECT_EQ(Fault("$r := StreamList()"), "StreamList takes 1 argument, got 0");
    EXPECT_EQ(Fault("$r := Unavailable21(1)"), "Unavailable21 takes 0 arguments, got 1");
    EXPECT_EQ(Fault("$r := CopyTextStub(\"a\"; \"b\"; $n; 0)"),
              "argument 2 of CopyTextStub is an output: it must be a variable");
    EXPECT_EQ(Fault("$r := CopyTextStub(\"a\"; $b; 3; 0)"),
              "argument 3 of CopyTextStub is an output: it must be a variable");
    EXPECT_EQ(Fault("$r := StreamList(\"0\")"), "argument 1 of StreamList wants an integer, not a text");
    EXPECT_EQ(Fault("$r := StreamList(!2000-01-01!)"), "argument 1 of StreamList wants an integer, not a date");
    EXPECT_EQ(Fault("$r := StreamList(hex(\"a\"))"), "argument 1 of StreamList wants an integer, not a text");
    EXPECT_EQ(Fault("$r := StreamList(StorePush(1; \"a\"))"), "argument 1 of StreamList: StorePush gives no value");
    EXPECT_EQ(Fault("$r := CopyTextStub(; $b; $c; 0)"), "argument 1 of CopyTextStub may not be left out");
    EXPECT_EQ(Fault("$v := StorePush(1; \"a\")"), "StorePush gives no value to assign");
    EXPECT_EQ(Fault("print(1; )"), "argument 2 of print may not be left out");
    EXPECT_EQ(Fault("hex(1)"), "argument 1 of hex wants a text or a picture, not an integer");
    EXPECT_EQ(Fault("picture(1)"), "argument 1 of picture wants a text, not an integer");
    EXPECT_EQ(Fault("length()"), "length takes 1 argument, got 0");
}

TEST(Parser, OptionalArgumentsMayBeLeftOut) {
    // MacBinaryDecode's third argument is optional: it may be left off the end, or written empty.
    EXPECT_EQ(Parse("$r := MacBinaryDecode(\"a\"; \"b\")").value.args.size(), 2u);
    const Statement s = Parse("$r := MacBinaryDecode(\"a\"; \"b\"; )");
    ASSERT_EQ(s.value.args.size(), 3u);
    EXPECT_EQ(s.value.args[2].form, Expr::Form::Empty);
    EXPECT_EQ(Fault("$r := MacBinaryDecode(\"a\")"), "MacBinaryDecode takes 2 to 3 arguments, got 1");
    // TcpSendPicture's picture is optional but not last: it can only be written empty.
    EXPECT_EQ(Parse("$r := TcpSendPicture(1; ; 0; 0)").value.args[1].form, Expr::Form::Empty);
    EXPECT_EQ(Fault("$r := TcpSendPicture(1; 0; 0)"), "TcpSendPicture takes 4 arguments, got 3");
}

TEST(Parser, SyntaxFaults) {
    EXPECT_EQ(Fault("$r := StreamList(0"), "unterminated argument list: expected )");
    EXPECT_EQ(Fault("$r := StreamList(0 1)"), "expected ; or ) in the arguments of StreamList");
    EXPECT_EQ(Fault("$r := StreamList"), "expected ( after StreamList");
    EXPECT_EQ(Fault("$r = 1"), "expected := after $r");
    EXPECT_EQ(Fault("$ := 1"), "expected a variable name after $");
    EXPECT_EQ(Fault("$r :="), "expected a value after :=");
    EXPECT_EQ(Fault("42"), "a statement is a call or an assignment $var := value");
    EXPECT_EQ(Fault("$r"), "expected := after $r");
    EXPECT_EQ(Fault("print(1) print(2)"), "unexpected text after the statement");
    EXPECT_EQ(Fault("print(1) ;"), "unexpected text after the statement");
    EXPECT_EQ(Fault("print(#)"), "unexpected character '#'");
}

TEST(Parser, NestingIsBounded) {
    auto nested = [](int depth) {
        std::string line = "print(";
        for (int i = 1; i < depth; ++i) line += "hex(";
        line += "\"a\"";
        for (int i = 0; i < depth; ++i) line += ")";
        return line;
    };
    EXPECT_EQ(Fault(nested(32)), "");
    EXPECT_EQ(Fault(nested(33)), "calls nested more than 32 deep");
    EXPECT_EQ(Fault(nested(100000)), "calls nested more than 32 deep");
}

// Every command of the table takes a call written from its own argument letters, and refuses one
// argument fewer than it needs: the parser and the table agree on every command.
TEST(Parser, EveryCommandOfTheTable) {
    for (const CommandSpec& c : kCommands) {
        std::string call = std::string(c.name) + "(";
        const int n = ArgCount(c);
        for (int i = 0; i < n; ++i) {
            const ArgSpec a = Arg(c, i);
            if (i > 0) call += "; ";
            if (a.output) {
                call += "$out" + std::to_string(i);
                continue;
            }
            switch (a.kind) {
                case ArgKind::Integer:
                case ArgKind::Short: call += "1"; break;
                case ArgKind::String:
                case ArgKind::Text: call += "\"x\""; break;
                case ArgKind::Picture: call += "picture(\"p.gif\")"; break;
                case ArgKind::Date: call += "!2000-01-01!"; break;
            }
        }
        call += ")";
        const std::string line = (c.result == ResultKind::None ? "" : "$r := ") + call;
        EXPECT_EQ(Fault(line), "") << line;
        if (n > 0 && !Arg(c, n - 1).optional) {
            const size_t cut = call.rfind(';');
            const std::string shorter = cut == std::string::npos ? std::string(c.name) + "()" : call.substr(0, cut) + ")";
            EXPECT_NE(Fault(shorter), "") << shorter;
        }
    }
}

TEST(ParseScript, NamesTheLineOfTheFirstFault) {
    std::vector<Statement> statements;
    ParseError error;
    ASSERT_TRUE(ParseScript("// one\r\n$a := 1\r\n\r\nprint($a)\n", statements, error));
    ASSERT_EQ(statements.size(), 2u);
    EXPECT_EQ(statements[0].line, 2);
    EXPECT_EQ(statements[1].line, 4);
    EXPECT_FALSE(ParseScript("$a := 1\n\nprint(\"x)\nprint(2)\n", statements, error));
    EXPECT_EQ(error.line, 3);
    EXPECT_EQ(error.message, "unterminated string");
    EXPECT_TRUE(ParseScript("", statements, error));
    EXPECT_TRUE(statements.empty());
}

// The fault a whole script gives, as "LINE: message" (empty when it parses).
std::string ScriptFault(const std::string& text) {
    Program program;
    ParseError error;
    if (ParseProgram(text, "s", program, error)) return "";
    return std::to_string(error.line) + ": " + error.message;
}

TEST(Parser, OperatorsBindByPrecedence) {
    // 1 + 2 * 3 = 7 | $a & $b  is  ((1 + (2 * 3)) = 7) | ($a & $b)
    const Statement s = Parse("$r := 1 + 2 * 3 = 7 | $a & $b");
    ASSERT_EQ(s.value.form, Expr::Form::Binary);
    EXPECT_EQ(s.value.op, Op::Or);
    const Expr& eq = s.value.args[0];
    EXPECT_EQ(eq.op, Op::Eq);
    EXPECT_EQ(eq.args[0].op, Op::Add);
    EXPECT_EQ(eq.args[0].args[1].op, Op::Mul);
    EXPECT_EQ(s.value.args[1].op, Op::And);
    // Left to right within a level: 10 - 4 - 3 is (10 - 4) - 3.
    const Statement d = Parse("$r := 10 - 4 - 3");
    EXPECT_EQ(d.value.args[0].op, Op::Sub);
    EXPECT_EQ(d.value.args[1].integer, 3);
    // A sign before a number belongs to the literal; before anything else it is an operator.
    EXPECT_EQ(Parse("$r := -2147483648").value.integer, INT32_MIN);
    EXPECT_EQ(Parse("$r := -$a").value.form, Expr::Form::Unary);
    EXPECT_EQ(Parse("$r := 8 / 2 // a comment, not a division").value.args[1].integer, 2);
    // A flat chain is not nesting (it is worked out in a loop); a line's operators are bounded.
    std::string chain = "$r := 1";
    for (int i = 0; i < 300; ++i) chain += " + 1";
    EXPECT_EQ(Fault(chain), "");
    EXPECT_LE(Parse(chain).value.depth, 2);
    for (int i = 300; i < 4001; ++i) chain += " + 1";
    EXPECT_EQ(Fault(chain), "more than 4000 operators on one line");
}

TEST(ParseScript, BlocksPairUpOrNothingRuns) {
    EXPECT_EQ(ScriptFault("IF (True)\n else\n end IF\ncase OF\n: (True)\nEnd Case\n"), "");
    EXPECT_EQ(ScriptFault("Else\n"), "1: Else without If or Case of");
    EXPECT_EQ(ScriptFault("If (True)\nElse\nElse\nEnd if\n"), "3: a second Else in one block");
    EXPECT_EQ(ScriptFault("Case of\nprint(1)\nEnd case\n"), "2: expected : (condition) after Case of");
    EXPECT_EQ(ScriptFault("Case of\nElse\n: (True)\nEnd case\n"), "3: a branch after the Else of a Case");
    EXPECT_EQ(ScriptFault(": (True)\n"), "1: : without Case of");
    EXPECT_EQ(ScriptFault("Repeat\nEnd while\n"), "2: End while without While (the Repeat of line 1 is open)");
    EXPECT_EQ(ScriptFault("Try\nCatch\nCatch\nEnd try\n"), "3: a second Catch in one Try");
    EXPECT_EQ(ScriptFault("While (True)\n\n"), "1: While without End while");
    EXPECT_EQ(ScriptFault("For ($i; 1)\nEnd for\n"), "1: expected ; in For ($var; from; to {; step})");
    EXPECT_EQ(ScriptFault("End\n"), "1: expected End if, End case, End while, End for, End try or End method");
    // Blocks nest at most 256 deep, however many lines a script has.
    std::string deep;
    for (int i = 0; i < 120000; ++i) deep += "While (False)\n";
    EXPECT_EQ(ScriptFault(deep), "257: blocks nested more than 256 deep");
    // Break and Continue belong in a loop, Return in a method.
    EXPECT_EQ(ScriptFault("While (True)\nIf (True)\nBreak\nEnd if\nContinue\nEnd while\n"), "");
    EXPECT_EQ(ScriptFault("If (True)\nBreak\nEnd if\n"), "2: Break outside a loop");
    EXPECT_EQ(ScriptFault("Method M\nContinue\nEnd method\n"), "2: Continue outside a loop");
    EXPECT_EQ(ScriptFault("Return\n"), "1: Return is written only inside a method");
    EXPECT_EQ(ScriptFault("Method M\nReturn(1)\nEnd method\n$x := M\n"), "");  // Return(value) makes a function
    EXPECT_EQ(ScriptFault("Method M\nReturn\nEnd method\n$x := M\n"), "4: M gives no value to assign");
}

TEST(ParseScript, MethodsAreCheckedBeforeAnythingRuns) {
    EXPECT_EQ(ScriptFault("print(Later(1))\nMethod Later($x)\n$0 := $x\nEnd method\n"), "");
    EXPECT_EQ(ScriptFault("Method M\nEnd method\nMethod m\nEnd method\n"), "3: a second method named m");
    EXPECT_EQ(ScriptFault("Method StreamList\nEnd method\n"), "1: the method StreamList has the name of a command");
    EXPECT_EQ(ScriptFault("If (True)\nMethod M\nEnd method\nEnd if\n"), "2: a method is defined only at the top level");
    EXPECT_EQ(ScriptFault("End method\n"), "1: End method without Method");
    EXPECT_EQ(ScriptFault("Method M\nIf (True)\nEnd method\n"), "3: End method without Method (the If of line 2 is open)");
    EXPECT_EQ(ScriptFault("Method M($a; $a)\nEnd method\n"), "1: a second parameter $a");
    EXPECT_EQ(ScriptFault("$0 := 1\n"), "1: $0 is a method's result: it has no meaning outside a method");
    EXPECT_EQ(ScriptFault("Method M($a)\n$0 := $a\nEnd method\nprint(M(1; 2))\n"), "4: M takes 1 argument, got 2");
    EXPECT_EQ(ScriptFault("Method P\nEnd method\n$x := P\n"), "3: P gives no value to assign");
    EXPECT_EQ(ScriptFault("Include \"x.inc\"\n"), "1: cannot include x.inc: no files here");
    // A method's variables are its own slots: $x in the method is not the main $x.
    Program program;
    ParseError error;
    ASSERT_TRUE(ParseProgram("$y := 1\n$x := 2\nMethod M($x)\n$0 := $x\nEnd method\n", "s", program, error));
    EXPECT_EQ(program.main[1].place.slot, 1);
    EXPECT_EQ(program.methods[0].body[0].value.slot, 1);  // slot 0 is $0, 1 the parameter
    EXPECT_EQ(program.methods[0].slots, 2);
}

}  // namespace
}  // namespace zor::shell
