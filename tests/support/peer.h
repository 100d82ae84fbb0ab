// peer.h: a peer program (most often python3) run beside a test, talking over its standard input
// and output.
#ifndef ZOR_TESTS_PEER_H
#define ZOR_TESTS_PEER_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace zor::test {

class Peer {
public:
    // A program and its arguments (argv[0] is the program's path).
    explicit Peer(std::vector<std::string> argv);
    // A python3 program, run unbuffered with /usr/bin/python3 -u -c.
    explicit Peer(const std::string& pythonProgram);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    // The next line it printed, without the newline; at its end, what is left (empty when nothing).
    // A peer silent for a minute gives an empty line, so a hung peer fails the test, not the run.
    std::string ReadLine();
    int ReadInt() { return std::stoi(ReadLine()); }
    void WriteLine(const std::string& line);
    void CloseInput();
    // Closes its input and waits for it to end; its exit status (128 + signal when killed).
    int Finish();

private:
    pid_t pid_ = -1;
    int in_ = -1;   // its standard input
    int out_ = -1;  // its standard output
    std::string buffered_;
};

// The path of a file or folder of /usr/bin/python3's own test suite (Debian's
// libpython3.X-testsuite, which scripts/deps installs), or empty when it is not there.
std::string PythonTestData(const std::string& relative);

}  // namespace zor::test

#endif  // ZOR_TESTS_PEER_H
