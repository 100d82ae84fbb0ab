// host_program_test.cpp: zor-host as a process: exit statuses, the plug-in stopped on every way out
// (end, error, SIGINT, SIGTERM), standard input run line by line, and the interactive prompt.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A running zor-host with pipes on its standard streams (or a terminal on all three).
struct HostProcess {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;  // with a terminal, `in` and `out` are its master side, err = -1

    explicit HostProcess(const std::vector<std::string>& args, bool terminal = false) {
        std::vector<std::string> all{ZOR_HOST_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (terminal) {
            int master = -1;
            pid = forkpty(&master, nullptr, nullptr, nullptr);
            if (pid == 0) {
                execv(argv[0], argv.data());
                _exit(127);
            }
            in = out = master;
            return;
        }
        int pin[2], pout[2], perr[2];
        if (pipe(pin) != 0 || pipe(pout) != 0 || pipe(perr) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(pin[0], 0), dup2(pout[1], 1), dup2(perr[1], 2);
            for (int fd : {pin[0], pin[1], pout[0], pout[1], perr[0], perr[1]}) close(fd);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(pin[0]), close(pout[1]), close(perr[1]);
        in = pin[1], out = pout[0], err = perr[0];
    }
    ~HostProcess() {
        for (int fd : {in, out, err})
            if (fd >= 0 && !(fd == out && out == in)) close(fd);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    void Send(const std::string& text) const { ASSERT_EQ(write(in, text.data(), text.size()), static_cast<ssize_t>(text.size())); }
    // Ctrl-D once the line editor has the terminal: typed while the terminal is still in line mode
    // (between the prompt showing and the editor taking the terminal), the terminal itself would
    // take it for the end of a line that nobody reads.
    void SendEndOfInput() const {
        for (int i = 0; i < 10000; ++i) {
            termios mode{};
            if (tcgetattr(in, &mode) == 0 && (mode.c_lflag & ICANON) == 0) break;
            usleep(1000);
        }
        Send("\x04");
    }
    void CloseInput() {
        close(in);
        if (out == in) out = -1;
        in = -1;
    }
    // Reads from fd until `wanted` has appeared in what was read (or the stream ends).
    static std::string ReadUntil(int fd, const std::string& wanted, std::string& seen) {
        char buffer[4096];
        while (seen.find(wanted) == std::string::npos) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            seen.append(buffer, static_cast<size_t>(n));
        }
        return seen;
    }
    static std::string ReadAll(int fd) {
        std::string all;
        ReadUntil(fd, std::string(1, '\0') + "never", all);
        return all;
    }
    // Waits for the end; the exit status, or 128 + the signal that ended it.
    int Wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

struct Outcome {
    std::string out, err;
    int status = -1;
};

Outcome RunHost(const std::vector<std::string>& args, const std::string& input = "") {
    HostProcess host(args);
    host.Send(input);
    host.CloseInput();
    Outcome o;
    o.out = HostProcess::ReadAll(host.out);
    o.err = HostProcess::ReadAll(host.err);
    o.status = host.Wait();
    return o;
}

class HostProgram : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/zor-host-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir_ = folder;
        setenv("HOME", folder, 1);  // the prompt's history file goes there, not to the user's
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Script(const std::string& text) {
        const std::string path = dir_ + "/s" + std::to_string(++count_) + ".zor";
        std::ofstream(path) << text;
        return path;
    }
    std::string dir_;
    int count_ = 0;
};

constexpr char kStart[] = "zor-host: call -1\n";
constexpr char kStop[] = "zor-host: call -2\n";

TEST_F(HostProgram, BadUsageAndUnloadablePluginGiveStatusTwo) {
    EXPECT_EQ(RunHost({"--no-such-option"}).status, 2);
    EXPECT_EQ(RunHost({"a.zor", "b.zor"}).status, 2);
    EXPECT_EQ(RunHost({"--plugin"}).status, 2);
    const Outcome missing = RunHost({dir_ + "/missing.zor"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;
    const Outcome plugin = RunHost({"--plugin", dir_ + "/nothing.so", Script("print(1)\n")});
    EXPECT_EQ(plugin.status, 2);
    EXPECT_NE(plugin.err.find("cannot load the plug-in"), std::string::npos) << plugin.err;
    EXPECT_EQ(plugin.out, "");
    // A library that is not a plug-in.
    const Outcome notPlugin = RunHost({"--plugin", ZOR_BUILD_DIR "/libzorhost.so", Script("print(1)\n")});
    EXPECT_EQ(notPlugin.status, 2);
    EXPECT_NE(notPlugin.err.find("has no RozoZIvav"), std::string::npos) << notPlugin.err;
    // The bad option is named; a directory given as the script is refused, not read.
    const Outcome unknown = RunHost({"--no-such-option"});
    EXPECT_EQ(unknown.err.rfind("zor-host: unknown option --no-such-option\n", 0), 0u) << unknown.err;
    EXPECT_EQ(RunHost({"--plugin"}).err.rfind("zor-host: --plugin needs a value\n", 0), 0u);
    const Outcome directory = RunHost({dir_});
    EXPECT_EQ(directory.status, 2);
    EXPECT_EQ(directory.err, "zor-host: cannot read " + dir_ + ": it is a directory\n");
    const Outcome help = RunHost({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: zor-host"), std::string::npos);
}

TEST_F(HostProgram, ThePluginStopsOnEveryWayOut) {
    // To the end.
    Outcome o = RunHost({"--trace", Script("print(Unavailable26())\n")});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "0\n");
    EXPECT_EQ(o.err, std::string(kStart) + "zor-host: call 26 Unavailable26()\nzor-host: done 26 Unavailable26 -> 0 (always)\n" + kStop);

    // An empty script still starts and stops it.
    o = RunHost({"--trace", Script("")});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, std::string(kStart) + kStop);

    // A fault while running: what ran stays done, the rest does not run, and the plug-in stops.
    const std::string faulty = Script("print(1)\n$t := \"x\"\n$n := StreamList($t)\nprint(2)\n");
    o = RunHost({"--trace", faulty});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "1\n");
    EXPECT_EQ(o.err, std::string(kStart) + faulty + ":3: argument 1 of StreamList wants an integer, not a text ($t)\n" + kStop);

    // A fault found by the parser: nothing runs and the plug-in is never started.
    const std::string unparsable = Script("print(1)\nprint(\"open\n");
    o = RunHost({"--trace", unparsable});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, unparsable + ":2: unterminated string\n");
}

// The trace shows each call's arguments (outputs as "out", a left-out optional one as "-"), then
// its result with what that result means for the command, and the outputs it set.
TEST_F(HostProgram, TraceShowsArgumentsResultsAndTheirMeaning) {
    const Outcome o = RunHost({"--trace", Script("CopyTextStub(\"a\\\"\\x8E\"; $s; $n; 0)\n"
                                                 "BinHexDecode(\"missing.hqx\"; \"out\")\n"
                                                 "print(UrlEncode(\"a b\"; 0))\n")});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, std::string(kStart) +
                         "zor-host: call 53 CopyTextStub(\"a\\\"\\x8E\"; out; out; 0)\n"
                         "zor-host: done 53 CopyTextStub -> 0 (always) [2: \"a\\\"\\x8E\"; 3: 1000]\n"
                         "zor-host: call 20 BinHexDecode(\"missing.hqx\"; \"out\"; -)\n"
                         "zor-host: done 20 BinHexDecode -> -43 (the source, or the destination's folder, does not exist)\n"
                         "zor-host: call 30 UrlEncode(\"a b\"; 0)\n"
                         "zor-host: done 30 UrlEncode -> \"a+b\"\n" +
                         kStop);
}

// A reader that closes its end of the output: the print fails, the script stops with status 1, and
// the plug-in is still stopped.
TEST_F(HostProgram, ClosedOutputStopsTheScriptNotTheHost) {
    std::string lines;
    for (int i = 0; i < 50000; ++i) lines += "print(\"a line of output\")\n";
    HostProcess host({"--trace", Script(lines)});
    close(host.out);
    host.out = -1;
    host.CloseInput();
    const std::string err = HostProcess::ReadAll(host.err);
    EXPECT_EQ(host.Wait(), 1);
    EXPECT_NE(err.find(":1: cannot write the output: Broken pipe\n"), std::string::npos) << err;
    EXPECT_NE(err.find(kStop), std::string::npos) << err;
}

TEST_F(HostProgram, StandardInputRunsLineByLineAndStopsAtTheFirstFault) {
    Outcome o = RunHost({"--trace"}, "print(\"a\")\n\n// note\n$x := StreamList(0)\nprint($x)\nprint($y)\nprint(\"b\")\n");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "a\n0\n");
    EXPECT_EQ(o.err, std::string(kStart) + "zor-host: call 52 StreamList(0)\nzor-host: done 52 StreamList -> 0\n<stdin>:6: $y is not defined\n" + kStop);
    // "-" names standard input; a last line without its LF still runs.
    o = RunHost({"-"}, "print(7)");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "7\n");
}

// The words after the script are its own arguments, options among them; Include finds files beside
// the including script; standard input reads on to the end of an open block before running it.
TEST_F(HostProgram, ScriptArgumentsIncludesAndBlocksOnStandardInput) {
    std::ofstream(dir_ + "/lib.inc") << "Method Shout($t)\n  $0 := Uppercase($t) + \"!\"\nEnd method\n";
    const std::string script = Script("Include \"lib.inc\"\nFor ($i; 1; ArgumentCount)\n  print($i; Shout(Argument($i)))\nEnd for\n");
    Outcome o = RunHost({"--trace", script, "one", "--trace", "Grüße"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "1\tONE!\n2\t--TRACE!\n3\tGRüßE!\n");
    o = RunHost({"-"}, "$n := 0\nWhile ($n < 3)\n  $n := $n + 1\n  print($n)\nEnd while\nprint(\"x\" + 1)\nprint(2)\n");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "1\n2\n3\n");
    EXPECT_EQ(o.err, "<stdin>:6: + wants two integers or two texts, not a text and an integer\n");
    // Input that ends inside a block runs none of it.
    o = RunHost({"-"}, "print(1)\nIf (True)\n  print(2)\n");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "1\n");
    EXPECT_EQ(o.err, "<stdin>:2: If without End if\n");
}

// Short outputs come back as the two bytes the plug-in wrote, sign-extended into the 32-bit variable;
// a short input reads the first two bytes of its variable, so a port read back negative still works.
// --resources names the plug-in's resource file: without its translation tables MacToIso leaves
// the byte as it is.
TEST_F(HostProgram, ResourcesOptionChoosesTheResourceFile) {
    const std::string script = Script("print(hex(MacToIso(\"\\x8E\")))\n");
    const std::string empty = dir_ + "/empty.rsrc";
    std::ofstream{empty};
    EXPECT_EQ(RunHost({script}).out, "e9\n");
    EXPECT_EQ(RunHost({"--resources", ZOR_BUILD_DIR "/libzor.rsrc", script}).out, "e9\n");
    const Outcome without = RunHost({"--resources", empty, script});
    EXPECT_EQ(without.status, 0) << without.err;
    EXPECT_EQ(without.out, "8e\n");
}

// Both start-up paths: socket events delivered to the plug-in, and polling only.
TEST_F(HostProgram, ShortOutputsAreSignExtended) {
    // The kernel hands out ports from its ephemeral range; from 32768 up they read back negative.
    int low = 0, high = 0;
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    const bool highPorts = range >> low >> high && low >= 32768;
    for (const bool pollingOnly : {false, true}) {
        SCOPED_TRACE(pollingOnly ? "polling only" : "socket events");
        std::vector<std::string> args;
        if (pollingOnly) args.push_back("--polling-only");
        args.push_back(Script(
            "$l := TcpListen(0; 0; 0; 0; 0; 0; 0x7F000001)\n"
            "$r := TcpStreamInfo($l; $ra; $rp; $port; $x; $la)\n"
            "$c := TcpOpen(\"127.0.0.1\"; $port; 0; 0; 0; 0; 0)\n"
            "$s := TcpWaitState($c; 8; 30)\n"
            "$r := TcpStreamInfo($c; $ra; $remote; $local; $x; $la)\n"
            "print($port; $s; $remote; $ra)\n"));
        const Outcome o = RunHost(args);
        ASSERT_EQ(o.status, 0) << o.err;
        int port = 0, state = 0, remote = 0;
        long address = 0;
        ASSERT_EQ(std::sscanf(o.out.c_str(), "%d\t%d\t%d\t%ld", &port, &state, &remote, &address), 4) << o.out;
        EXPECT_EQ(state, 8);
        EXPECT_EQ(remote, port);
        EXPECT_EQ(address, 0x7F000001);
        EXPECT_GE(port, -32768);
        EXPECT_LE(port, 32767);
        EXPECT_NE(port, 0);
        if (highPorts) {
            EXPECT_LT(port, 0);
        }
    }
}

// SIGINT, SIGTERM and SIGHUP while zor-host waits for its next line: it stops the plug-in, then ends by the
// signal, and nothing sent afterwards runs.
TEST_F(HostProgram, StopSignalsStopThePlugin) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        HostProcess host({"--trace", "-"});
        host.Send("$l := TcpListen(0; 0; 0; 0; 0; 0; 0x7F000001)\nprint(\"ready\")\n");
        std::string seen;
        HostProcess::ReadUntil(host.out, "ready\n", seen);
        ASSERT_EQ(seen, "ready\n");
        ASSERT_EQ(kill(host.pid, signal), 0);
        const std::string err = HostProcess::ReadAll(host.err);
        EXPECT_EQ(host.Wait(), 128 + signal);
        EXPECT_EQ(err, std::string(kStart) + "zor-host: call 3 TcpListen(0; 0; 0; 0; 0; 0; 2130706433)\n" +
                           "zor-host: done 3 TcpListen -> 1\n" + kStop + "zor-host: stopped by " +
                           (signal == SIGINT ? "SIGINT" : signal == SIGHUP ? "SIGHUP" : "SIGTERM") +
                           "\n");
    }
}

// SIGINT or SIGTERM while a command waits (here for an hour): the command is cancelled, the script
// stops, the plug-in is shut down, and the status is 128 + the signal.
TEST_F(HostProgram, ASignalCancelsTheRunningCommandAndStopsTheScript) {
    for (const int signal : {SIGINT, SIGTERM}) {
        HostProcess host({"--trace", "-"});
        host.Send("$l := TcpListen(0; 0; 0; 0; 0; 0; 0x7F000001)\nTcpWaitState($l; 20; 3600)\nprint(\"ran\")\n");
        std::string err;
        HostProcess::ReadUntil(host.err, "call 11", err);
        ASSERT_NE(err.find("call 11"), std::string::npos) << err;
        ASSERT_EQ(kill(host.pid, signal), 0);
        err += HostProcess::ReadAll(host.err);
        EXPECT_EQ(HostProcess::ReadAll(host.out), "");
        EXPECT_EQ(host.Wait(), 128 + signal);
        // The command returned (with the stream's state) before the plug-in was shut down.
        const size_t returned = err.find("zor-host: done 11 TcpWaitState -> 2 (listening)\n");
        const size_t stopped = err.find(kStop);
        EXPECT_NE(returned, std::string::npos) << err;
        EXPECT_TRUE(stopped != std::string::npos && stopped > returned) << err;
        EXPECT_NE(err.find(signal == SIGINT ? "stopped by SIGINT\n" : "stopped by SIGTERM\n"), std::string::npos);
    }
}

// At the prompt Ctrl-C cancels the running command, or the line being typed, and the session goes on
// with its variables.
TEST_F(HostProgram, CtrlCAtThePromptCancelsTheCommandNotTheSession) {
    HostProcess host({"--trace"}, true);
    std::string seen;
    HostProcess::ReadUntil(host.out, "zor> ", seen);
    host.Send("$l := TcpListen(0; 0; 0; 0; 0; 0; 0x7F000001)\n");
    HostProcess::ReadUntil(host.out, "zor> ", seen);
    host.Send("TcpWaitState($l; 20; 3600)\n");
    HostProcess::ReadUntil(host.out, "call 11", seen);
    ASSERT_NE(seen.find("call 11"), std::string::npos) << seen;
    host.Send("\x03");
    seen.clear();
    HostProcess::ReadUntil(host.out, "zor> ", seen);
    EXPECT_NE(seen.find("done 11 TcpWaitState -> 2"), std::string::npos) << seen;
    EXPECT_NE(seen.find(":2: "), std::string::npos) << seen;
    EXPECT_NE(seen.find("cancelled"), std::string::npos) << seen;
    host.Send("print(\"half a li\x03");
    seen.clear();
    HostProcess::ReadUntil(host.out, "zor> ", seen);
    host.Send("print($l)\n");
    seen.clear();
    HostProcess::ReadUntil(host.out, "1\r\n", seen);
    EXPECT_NE(seen.find("1\r\n"), std::string::npos) << seen;
    host.SendEndOfInput();
    HostProcess::ReadAll(host.out);
    EXPECT_EQ(host.Wait(), 0);
}

TEST_F(HostProgram, InteractivePromptShowsEachResultAndGoesOnAfterAFault) {
    HostProcess host({}, true);
    std::string seen;
    HostProcess::ReadUntil(host.out, "zor> ", seen);
    ASSERT_NE(seen.find("zor> "), std::string::npos);
    host.Send("$r := Unavailable21()\n");
    seen.clear();
    HostProcess::ReadUntil(host.out, "-1\r\nzor> ", seen);
    EXPECT_NE(seen.find("-1\r\nzor> "), std::string::npos) << seen;
    host.Send("$r := StreamList(\"x\")\n");
    seen.clear();
    HostProcess::ReadUntil(host.out, "zor> ", seen);
    EXPECT_NE(seen.find("<stdin>:2: argument 1 of StreamList wants an integer, not a text"), std::string::npos) << seen;
    host.Send("CopyTextStub(\"\xC3\xA9t\xC3\xA9\"; $s; $n; 0)\nprint($s; $n)\n");
    seen.clear();
    HostProcess::ReadUntil(host.out, "\xC3\xA9t\xC3\xA9\t1000\r\nzor> ", seen);
    EXPECT_NE(seen.find("0\r\nzor> "), std::string::npos) << seen;  // the call's own result
    EXPECT_NE(seen.find("\xC3\xA9t\xC3\xA9\t1000\r\n"), std::string::npos) << seen;
    host.SendEndOfInput();
    HostProcess::ReadAll(host.out);
    EXPECT_EQ(host.Wait(), 0);
}

}  // namespace

namespace {

// Every command's summary in the reference reads as a sentence starting with a letter, and help
// works from a pipe and from "-" as at a terminal, while a script file that holds it is told why.
TEST(HostReference, SummariesStartWithALetterAndHelpWorksFromEveryPrompt) {
    const Outcome reference = RunHost({"--reference"});
    ASSERT_EQ(reference.status, 0);
    std::istringstream lines(reference.out);
    std::string line, previous;
    int headings = 0;
    while (std::getline(lines, line)) {
        if (previous.rfind("### ", 0) == 0 && std::getline(lines, line)) {
            ++headings;
            EXPECT_TRUE(!line.empty() && std::isupper(static_cast<unsigned char>(line[0]))) << previous << ": " << line;
        }
        previous = line;
    }
    EXPECT_GT(headings, 50);
    EXPECT_NE(reference.out.find("## Conversion flags"), std::string::npos);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-"}, std::vector<std::string>{}}) {
        const Outcome help = RunHost(args, "help TcpSend\nhelp conversions\nprint(1)\n");
        EXPECT_EQ(help.status, 0) << help.err;
        EXPECT_EQ(help.out.rfind("TcpSend (7): ", 0), 0u) << help.out;
        EXPECT_NE(help.out.find("  64  text to HTML entities, markup kept"), std::string::npos);
    }
    char folder[] = "/tmp/zor-help-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string script = std::string(folder) + "/help.zor";
    std::ofstream(script) << "help TcpSend\n";
    const Outcome refused = RunHost({script});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("help and quit are words of the prompt"), std::string::npos) << refused.err;
    std::filesystem::remove_all(folder);
}

}  // namespace
