// peer.cpp: starting a peer program with pipes to its standard input and output.
#include "support/peer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>

extern char** environ;

namespace zor::test {

Peer::Peer(std::vector<std::string> argv) {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<char*> args;
    for (std::string& word : argv) args.push_back(word.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    const int failed = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
    if (failed != 0) {
        pid_ = -1;
        throw std::runtime_error("posix_spawn " + argv[0]);
    }
}

Peer::Peer(const std::string& pythonProgram) : Peer(std::vector<std::string>{"/usr/bin/python3", "-u", "-c", pythonProgram}) {}

Peer::~Peer() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        (void)Finish();
    }
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
}

std::string Peer::ReadLine() {
    for (;;) {
        const size_t end = buffered_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        pollfd p{out_, POLLIN, 0};
        const int ready = poll(&p, 1, 60000);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return {};
        char chunk[4096];
        const ssize_t n = read(out_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::string rest;
            rest.swap(buffered_);
            return rest;
        }
        buffered_.append(chunk, static_cast<size_t>(n));
    }
}

void Peer::WriteLine(const std::string& line) {
    const std::string data = line + "\n";
    if (write(in_, data.data(), data.size()) != static_cast<ssize_t>(data.size())) ADD_FAILURE() << "peer input";
}

void Peer::CloseInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

int Peer::Finish() {
    CloseInput();
    if (pid_ <= 0) return -1;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (out_ >= 0) close(out_);
    out_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string PythonTestData(const std::string& relative) {
    static const std::string folder = [] {
        Peer python("import os, test; print(os.path.dirname(test.__file__))");
        return python.ReadLine();
    }();
    if (folder.empty()) return {};
    const std::string path = folder + "/" + relative;
    return access(path.c_str(), R_OK) == 0 ? path : std::string();
}

}  // namespace zor::test
