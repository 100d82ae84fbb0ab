// net_support.h: what the network tests share: python3 peers on 127.0.0.1, the network commands
// called through the test host, and descriptor counts.
#ifndef ZOR_TESTS_NET_SUPPORT_H
#define ZOR_TESTS_NET_SUPPORT_H

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "net/net.h"
#include "support/descriptors.h"
#include "support/peer.h"
#include "support/plugin_host.h"

namespace zor::test {

inline constexpr int32_t kLoopback = 0x7F000001;  // 127.0.0.1


// Bytes as hex text and back.
std::string Hex(const std::string& bytes);
std::string Unhex(const std::string& hex);


// A stream's record as the plug-in keeps it (its table entry in the host's global record).
net::StreamRecord* RecordOf(PluginHost& host, int32_t ref);

// The network commands through the host.
int32_t TcpOpen(PluginHost& host, const std::string& name, int32_t port, int32_t buffer = 0, int32_t localPort = 0,
                int32_t localAddress = 0);
int32_t TcpListen(PluginHost& host, int32_t port, int32_t localAddress = 0, int32_t buffer = 0);
int32_t TcpClose(PluginHost& host, int32_t ref);
int32_t TcpRelease(PluginHost& host, int32_t ref, int32_t keepCount = 0);
int32_t TcpState(PluginHost& host, int32_t ref, int32_t selector = 0);
int32_t TcpWaitState(PluginHost& host, int32_t ref, int32_t target, int32_t timeout);
int32_t TcpSend(PluginHost& host, int32_t ref, const std::string& bytes, int16_t push = 0, int32_t flags = 0);
int32_t TcpReceive(PluginHost& host, int32_t ref, std::string& bytes, int16_t maximum = 0, int32_t flags = 0);
int32_t TcpBytesAvailable(PluginHost& host, int32_t ref);
struct StreamInfo {
    int32_t result, remoteAddress, minusOne, localAddress;
    int16_t remotePort, localPort;
};
StreamInfo TcpStreamInfo(PluginHost& host, int32_t ref);
int32_t Counter(PluginHost& host, int32_t selector);
// A loopback port free a moment ago (bound by a listener, then released).
int32_t FreePort(PluginHost& host);
// The port a stream is bound to.
int32_t LocalPort(PluginHost& host, int32_t ref);
// Waits (without timing anything: a bound of many passes) until `ref` has `n` bytes to read.
bool AwaitBytes(PluginHost& host, int32_t ref, int32_t n);
// Receives until `n` bytes came or the stream ended.
std::string ReceiveAll(PluginHost& host, int32_t ref, size_t n);

// The manual clock for the life of a test; a yield advances it by `perYield` ticks.
class ManualClock {
public:
    explicit ManualClock(uint32_t perYield = 0);
    ~ManualClock();
    uint32_t yields = 0;

private:
    uint32_t perYield_;
    static void OnYield(void* self);
};

// A listener and a connected stream of the plug-in talking to each other.
struct StreamPair {
    int32_t listener = 0;  // the accepted side
    int32_t client = 0;
};
StreamPair ConnectPair(PluginHost& host, int32_t buffer = 0);

}  // namespace zor::test

#endif  // ZOR_TESTS_NET_SUPPORT_H

namespace zor::test {
// A python3 peer driven line by line on its standard input; every command prints one line.
//   listen [rcvbuf]   bind a TCP listener on 127.0.0.1 port 0: prints its port
//   accept            accepts one connection: prints its index
//   acceptall N       accepts N connections (raising its descriptor limit): prints the count
//   acceptloop        accepts and closes connections from now on, in a thread: prints ok
//   connect PORT      connects to 127.0.0.1:PORT: prints its index
//   send I HEX        sends the bytes: prints ok
//   recv I N          reads N bytes (or until the end): prints them in hex
//   drain I           reads until the end: prints the count
//   close I | reset I close, or reset with SO_LINGER 0: prints ok
//   oob I             sends one urgent byte: prints ok
//   udp               binds a UDP socket on 127.0.0.1 port 0: prints its port
//   udpsend PORT HEX  sends a datagram from it: prints ok
//   udprecv           receives one datagram: prints hex, address and port
extern const char* const kPeerScript;
}  // namespace zor::test
