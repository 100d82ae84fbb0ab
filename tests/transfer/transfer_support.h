// transfer_support.h: what the transfer tests share: a scratch folder, whole-file reads and writes,
// reproducible bytes, a python3 runner, and a count of open descriptors.
#ifndef ZOR_TESTS_TRANSFER_SUPPORT_H
#define ZOR_TESTS_TRANSFER_SUPPORT_H

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/descriptors.h"
#include "support/files.h"
#include "support/peer.h"
#include "support/plugin_host.h"

namespace zor::test {

// Runs /usr/bin/python3 with a script and arguments; its standard output. Fails the test on a
// non-zero exit status.
std::string RunPython(const std::string& script, std::initializer_list<std::string> args = {});


// A python3 peer running `program` with arguments.
std::unique_ptr<Peer> PythonPeer(const std::string& program, std::initializer_list<std::string> args = {});

// A python3 sink: listens on 127.0.0.1, prints its port, takes one connection, writes everything it
// receives to `path` and, when the connection ends, prints "<count> <sha-256 hex>".
std::unique_ptr<Peer> SinkPeer(const std::string& path);
int SinkPort(Peer& sink);  // reads the port line

// SHA-256 of a file, in hex, as python3's hashlib computes it.
std::string Sha256OfFile(const std::string& path);

// ---- Stream commands through the test host --------------------------------------------------------
int32_t TcpOpen(PluginHost& host, int32_t port, int32_t buffer = 0);  // to 127.0.0.1
// On 127.0.0.1, a port of the system's choice.
int32_t TcpListen(PluginHost& host, int32_t bufferSize = 0);
// Waits (a bounded number of passes, timing nothing) until `ref` has at least `n` bytes to read.
bool AwaitBytes(PluginHost& host, int32_t ref, int32_t n);
int32_t LocalPort(PluginHost& host, int32_t ref);
int32_t TcpClose(PluginHost& host, int32_t ref);
int32_t TcpRelease(PluginHost& host, int32_t ref);
int32_t TcpState(PluginHost& host, int32_t ref, int32_t selector = 0);
int32_t TcpWaitState(PluginHost& host, int32_t ref, int32_t target, int32_t seconds);
int32_t TcpSend(PluginHost& host, int32_t ref, const std::string& bytes, int16_t push);
// An established stream to a fresh sink, or 0.
int32_t ConnectTo(PluginHost& host, Peer& sink, int32_t buffer = 0);

// Runs a callable at the end of every HostYield while alive.
class YieldHook {
public:
    explicit YieldHook(std::function<void()> action);
    ~YieldHook();
    YieldHook(const YieldHook&) = delete;
    YieldHook& operator=(const YieldHook&) = delete;
    int yields = 0;

private:
    static void Run(void* self);
    std::function<void()> action_;
};

}  // namespace zor::test

#endif  // ZOR_TESTS_TRANSFER_SUPPORT_H
