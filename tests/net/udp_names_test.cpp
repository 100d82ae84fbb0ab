// udp_names_test.cpp: UDP datagrams against a python3 peer and between streams of the plug-in,
// and names and addresses through the resolver.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net_support.h"

namespace zor::test {
namespace {

using namespace zor::net;

int32_t UdpOpen(PluginHost& host, int32_t port) {
    int32_t unused = 0;
    return host.CallInt(41, {&port, &unused, &unused});
}

int32_t UdpSend(PluginHost& host, int32_t ref, const std::string& bytes, int32_t address, int32_t port) {
    Text text(bytes);
    int32_t unused = 0;
    return host.CallInt(43, {&ref, &text.block, &address, &port, &unused});
}

struct Datagram {
    int32_t result;
    std::string bytes;
    int32_t address = -7, port = -7;
    int16_t length;
};

Datagram UdpReceive(PluginHost& host, int32_t ref, int32_t timeout) {
    Text text("previous contents");
    Datagram d{};
    d.address = d.port = -7;
    int32_t unused = 0;
    d.result = host.CallInt(44, {&ref, &text.block, &d.address, &d.port, &unused, &timeout});
    d.bytes = text.str();
    d.length = text.block.length;
    return d;
}

int32_t UdpPort(PluginHost& host, int32_t ref) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    getsockname(RecordOf(host, ref)->socket, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
}

TEST(Udp, DatagramsBothWaysWithTheSenderInHostOrder) {
    PluginHost host;
    const int32_t ref = UdpOpen(host, 0);
    ASSERT_EQ(ref, 1);
    const int32_t port = UdpPort(host, ref);
    ASSERT_NE(port, 0);
    Peer peer(kPeerScript);
    peer.WriteLine("udp");
    const int peerPort = peer.ReadInt();
    EXPECT_EQ(UdpSend(host, ref, "hello peer", kLoopback, peerPort), 0);
    peer.WriteLine("udprecv");
    EXPECT_EQ(peer.ReadLine(), Hex("hello peer") + " 127.0.0.1 " + std::to_string(port));
    peer.WriteLine("udpsend " + std::to_string(port) + " " + Hex("hello plug-in"));
    peer.ReadLine();
    Datagram d = UdpReceive(host, ref, 5);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.bytes, "hello plug-in");
    EXPECT_EQ(d.address, kLoopback);
    EXPECT_EQ(d.port, peerPort);
    // An empty datagram both ways.
    EXPECT_EQ(UdpSend(host, ref, "", kLoopback, peerPort), 0);
    peer.WriteLine("udprecv");
    EXPECT_EQ(peer.ReadLine(), "- 127.0.0.1 " + std::to_string(port));
    peer.WriteLine("udpsend " + std::to_string(port));
    peer.ReadLine();
    d = UdpReceive(host, ref, 5);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.length, 0);
    EXPECT_EQ(d.port, peerPort);
    // UDP traffic is not in the byte counters, and a UDP stream has no TCP state.
    EXPECT_EQ(Counter(host, -11), 0);
    EXPECT_EQ(Counter(host, -12), 0);
    EXPECT_EQ(TcpState(host, ref), -1);
    EXPECT_EQ(TcpWaitState(host, ref, 8, 1), -1);
    int32_t any = 12345;
    EXPECT_EQ(host.CallInt(45, {&any}), kMaxDatagramSize);
    const int before = OpenDescriptors();
    EXPECT_EQ(host.CallInt(42, {const_cast<int32_t*>(&ref)}), 0);
    EXPECT_EQ(OpenDescriptors(), before - 1);
    int32_t zero = 0;
    EXPECT_EQ(host.CallInt(52, {&zero}), 0);
}

TEST(Udp, TimeOutsTooLongDatagramsAndBusyPorts) {
    PluginHost host;
    const int32_t ref = UdpOpen(host, 0);
    const int32_t port = UdpPort(host, ref);
    {
        ManualClock clock(1);
        Datagram d = UdpReceive(host, ref, 2);
        EXPECT_EQ(d.result, -1);
        EXPECT_EQ(d.length, 0);
        EXPECT_EQ(d.address, -7);  // not written
        EXPECT_GE(clock.yields, 120u);
        EXPECT_LE(clock.yields, 121u);
        clock.yields = 0;
        EXPECT_EQ(UdpReceive(host, ref, -3).result, -1);  // a negative time-out: the first empty pass ends it
        EXPECT_EQ(clock.yields, 1u);
    }
    // A datagram over 2048 bytes is refused, and the next one still arrives.
    Peer peer(kPeerScript);
    peer.WriteLine("udp");
    peer.ReadLine();
    peer.WriteLine("udpsend " + std::to_string(port) + " " + Hex(std::string(3000, 'x')));
    peer.ReadLine();
    peer.WriteLine("udpsend " + std::to_string(port) + " " + Hex(std::string(2048, 'y')));
    peer.ReadLine();
    Datagram d = UdpReceive(host, ref, 5);
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.length, 0);
    d = UdpReceive(host, ref, 5);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.bytes, std::string(2048, 'y'));
    // The port is taken now.
    const int before = OpenDescriptors();
    EXPECT_EQ(UdpOpen(host, port), 0);
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(Udp, ClosingATcpStreamReleasesItWhole) {
    PluginHost host;
    const int32_t port = FreePort(host);
    const int32_t a = TcpListen(host, port, kLoopback);
    const int32_t b = TcpListen(host, port, kLoopback);
    Peer peer(kPeerScript);
    const int before = OpenDescriptors();
    int32_t ref = a;
    EXPECT_EQ(host.CallInt(42, {&ref}), 0);  // a leaves the waiting list before its record goes
    EXPECT_EQ(TcpState(host, a), -1);
    peer.WriteLine("connect " + std::to_string(port));
    ASSERT_EQ(peer.ReadLine(), "0");
    EXPECT_EQ(TcpWaitState(host, b, 0, 10), StreamEstablished);
    EXPECT_EQ(OpenDescriptors(), before + 1);  // the shared socket lingers beside the connection
    int32_t zero = 0;
    EXPECT_EQ(host.CallInt(52, {&zero}), 1);
}

// The host's descriptor 0 (here a datagram socket of its own, holding one datagram) is never taken
// for the socket of a UDP stream that TcpClose has left without one.
TEST(Udp, AStreamWithoutASocketLeavesDescriptorZeroAlone) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, ends), 0);
    const int savedInput = dup(0);
    ASSERT_GE(savedInput, 0);
    ASSERT_EQ(dup2(ends[0], 0), 0);
    ASSERT_EQ(send(ends[1], "mine", 4, 0), 4);
    {
        PluginHost host;
        const int32_t ref = UdpOpen(host, 0);
        ASSERT_GT(ref, 0);
        EXPECT_EQ(TcpClose(host, ref), 0);
        EXPECT_EQ(UdpReceive(host, ref, -1).result, -1);
        EXPECT_EQ(UdpSend(host, ref, "x", kLoopback, 9), -1);
        int32_t r = ref;
        (void)host.CallInt(42, {&r});
    }
    char got[8] = {0};
    EXPECT_EQ(recv(0, got, sizeof got, MSG_DONTWAIT), 4) << "descriptor 0 read or closed";
    EXPECT_EQ(std::string(got), "mine");
    dup2(savedInput, 0);
    close(savedInput);
    close(ends[0]);
    close(ends[1]);
}

// UDP commands on a TCP stream and TCP send and receive on a UDP stream give -1 and touch nothing:
// the bytes and the datagram waiting stay for the right command.
TEST(Udp, CommandsOfTheOtherKindGiveMinusOneAndTouchNothing) {
    PluginHost host;
    const StreamPair pair = ConnectPair(host);
    ASSERT_GT(pair.client, 0);
    const int32_t udp = UdpOpen(host, 0);
    ASSERT_GT(udp, 0);
    ASSERT_EQ(TcpSend(host, pair.client, "for tcp"), 0);
    ASSERT_TRUE(AwaitBytes(host, pair.listener, 7));
    ASSERT_EQ(UdpSend(host, udp, "for udp", kLoopback, UdpPort(host, udp)), 0);

    const Datagram d = UdpReceive(host, pair.listener, 1);
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.bytes, "previous contents");
    EXPECT_EQ(UdpSend(host, pair.client, "x", kLoopback, LocalPort(host, pair.listener)), -1);
    std::string got = "previous";
    EXPECT_EQ(TcpReceive(host, udp, got), -1);
    EXPECT_EQ(got, "");
    EXPECT_EQ(TcpSend(host, udp, "x", 1), -1);

    EXPECT_EQ(ReceiveAll(host, pair.listener, 7), "for tcp");
    EXPECT_EQ(UdpReceive(host, udp, 5).bytes, "for udp");
}

// A time-out too long for the tick scale (over about 414 days) waits as long as the scale can
// count instead of wrapping into a deadline already past.
TEST(Udp, TimeOutsBeyondTheTickScaleStillWait) {
    PluginHost host;
    const int32_t ref = UdpOpen(host, 0);
    const StreamPair pair = ConnectPair(host);
    ManualClock clock(1u << 26);  // about 12 days a yield
    EXPECT_EQ(UdpReceive(host, ref, 40000000).result, -1);  // 463 days
    EXPECT_GE(clock.yields, 31u);
    clock.yields = 0;
    EXPECT_EQ(TcpWaitState(host, pair.client, StreamClosed, 40000000), StreamEstablished);
    EXPECT_GE(clock.yields, 31u);
}

TEST(Names, AddressesAndNames) {
    PluginHost host;
    auto resolve = [&](const std::string& name) {
        Str255 s(name);
        int32_t unused = 0;
        return host.CallInt(16, {s.bytes, &unused, &unused});
    };
    EXPECT_EQ(resolve("10.0.0.1"), 167772161);
    EXPECT_EQ(resolve("192.168.1.2"), -1062731518);
    EXPECT_EQ(resolve("255.255.255.255"), 0);
    EXPECT_EQ(resolve("no-such-host.invalid"), 0);
    EXPECT_EQ(resolve("localhost"), kLoopback);
    EXPECT_NE(resolve(""), 0);  // this machine
    auto name = [&](int32_t address, int32_t mode) {
        int32_t unused = 0;
        return host.CallString(15, {&address, &mode, &unused});
    };
    EXPECT_EQ(name(kLoopback, 2), "127.0.0.1");
    EXPECT_EQ(name(kLoopback, 1), "localhost");
    EXPECT_EQ(name(kLoopback, 0), "localhost");
    EXPECT_EQ(name(0x7F010203, 1), "");  // no reverse entry
    EXPECT_EQ(name(0x7F010203, 0), "127.1.2.3");
    EXPECT_EQ(name(0x7F010203, 7), "127.1.2.3");
    int32_t address = 0, five = 0, minusOne = 0;
    EXPECT_EQ(host.CallInt(14, {&address, &five, &minusOne}), 0);
    EXPECT_EQ(five, 5);
    EXPECT_EQ(minusOne, -1);
    EXPECT_EQ(address, resolve(""));
}

TEST(Names, TheLocalAddressFallsBackToTheFirstEstablishedConnection) {
    SetCachedLocalAddress(0);
    EXPECT_EQ(CachedLocalAddress(), 0u);
    ResetSocketTable();
    StreamRecord* listener = ListenStream(0, 0, 0x7F000002);
    ASSERT_NE(listener, nullptr);
    const unsigned char name[] = "\x09" "127.0.0.2";
    StreamRecord* client = OpenStream(name, StreamAddresses(&listener).localPort, 0, 0, 0x7F000003);
    ASSERT_NE(client, nullptr);
    for (int pass = 0; pass < 100000 && UpdateStreamState(client, 0) == StreamConnecting; ++pass) {
    }
    EXPECT_EQ(client->state, StreamEstablished);
    EXPECT_EQ(CachedLocalAddress(), 0x7F000003u);  // the connection's own local address
    EXPECT_EQ(ReleaseStream(&client), 0);
    EXPECT_EQ(ReleaseStream(&listener), 0);
}

}  // namespace
}  // namespace zor::test
