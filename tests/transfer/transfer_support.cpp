// transfer_support.cpp: scratch folders, files, python3 and descriptor counts for the tests.
#include "transfer_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace zor::test {

std::string RunPython(const std::string& script, std::initializer_list<std::string> args) {
    auto peer = PythonPeer(script, args);
    peer->CloseInput();
    std::string text;
    for (std::string line = peer->ReadLine(); !line.empty(); line = peer->ReadLine()) text += line + "\n";
    EXPECT_EQ(peer->Finish(), 0) << "python3 failed: " << text;
    return text;
}

// ---- Peers ---------------------------------------------------------------------------------------

std::unique_ptr<Peer> PythonPeer(const std::string& program, std::initializer_list<std::string> args) {
    std::vector<std::string> words = {"/usr/bin/python3", "-c", program};
    words.insert(words.end(), args.begin(), args.end());
    return std::make_unique<Peer>(std::move(words));
}

std::unique_ptr<Peer> SinkPeer(const std::string& path) {
    return PythonPeer("import socket, sys, hashlib\n"
                      "s = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen(1)\n"
                      "print(s.getsockname()[1], flush=True)\n"
                      "c, _ = s.accept(); h = hashlib.sha256(); n = 0\n"
                      "with open(sys.argv[1], 'wb') as out:\n"
                      "    while True:\n"
                      "        b = c.recv(1 << 16)\n"
                      "        if not b: break\n"
                      "        n += len(b); h.update(b); out.write(b)\n"
                      "print(n, h.hexdigest(), flush=True)\n",
                      {path});
}

int SinkPort(Peer& sink) {
    const std::string line = sink.ReadLine();
    return line.empty() ? 0 : std::stoi(line);
}

std::string Sha256OfFile(const std::string& path) {
    std::string out = RunPython("import sys, hashlib\nh = hashlib.sha256()\n"
                                "with open(sys.argv[1], 'rb') as f:\n"
                                "    for b in iter(lambda: f.read(1 << 20), b''): h.update(b)\n"
                                "print(h.hexdigest())\n",
                                {path});
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// ---- Stream commands -----------------------------------------------------------------------------

int32_t TcpOpen(PluginHost& host, int32_t port, int32_t buffer) {
    Str255 name("127.0.0.1");
    int16_t remote = static_cast<int16_t>(port), local = 0;
    int32_t unused = 0, reuse = 0, address = 0;
    return host.CallInt(2, {name.bytes, &remote, &buffer, &unused, &reuse, &local, &address});
}

int32_t TcpListen(PluginHost& host, int32_t buffer) {
    int32_t unused = 0, reuse = 0, address = 0x7F000001;
    int16_t unusedShort = 0, local = 0;
    return host.CallInt(3, {&unused, &unusedShort, &local, &buffer, &unused, &reuse, &address});
}

int32_t LocalPort(PluginHost& host, int32_t ref) {
    int32_t remoteAddress = 0, minusOne = 0, localAddress = 0;
    int16_t remotePort = 0, localPort = 0;
    host.CallInt(10, {&ref, &remoteAddress, &remotePort, &localPort, &minusOne, &localAddress});
    return static_cast<uint16_t>(localPort);
}

bool AwaitBytes(PluginHost& host, int32_t ref, int32_t n) {
    for (int pass = 0; pass < 30000; ++pass) {
        if (host.CallInt(9, {&ref}) >= n) return true;
        usleep(1000);
    }
    return false;
}

int32_t TcpClose(PluginHost& host, int32_t ref) { return host.CallInt(4, {&ref}); }

int32_t TcpRelease(PluginHost& host, int32_t ref) {
    int32_t keep = 0;
    return host.CallInt(5, {&ref, &keep});
}

int32_t TcpState(PluginHost& host, int32_t ref, int32_t selector) { return host.CallInt(6, {&ref, &selector}); }

int32_t TcpWaitState(PluginHost& host, int32_t ref, int32_t target, int32_t seconds) {
    return host.CallInt(11, {&ref, &target, &seconds});
}

int32_t TcpSend(PluginHost& host, int32_t ref, const std::string& bytes, int16_t push) {
    Text text(bytes);
    int32_t flags = 0;
    return host.CallInt(7, {&ref, &text.block, &push, &flags});
}

int32_t ConnectTo(PluginHost& host, Peer& sink, int32_t buffer) {
    const int port = SinkPort(sink);
    if (port == 0) return 0;
    const int32_t ref = TcpOpen(host, port, buffer);
    if (ref == 0 || TcpWaitState(host, ref, 8, 30) != 8) return 0;
    return ref;
}

YieldHook::YieldHook(std::function<void()> action) : action_(std::move(action)) {
    HostSetYieldCallback(Run, this);
}

YieldHook::~YieldHook() { HostSetYieldCallback(nullptr, nullptr); }

void YieldHook::Run(void* self) {
    auto* hook = static_cast<YieldHook*>(self);
    ++hook->yields;
    if (hook->action_) hook->action_();
}

}  // namespace zor::test
