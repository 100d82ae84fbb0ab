// receive_file_test.cpp: TcpReceiveFile from socat and python3 peers on 127.0.0.1: new files and
// appends, the idle time-out on the manual clock, streams that never connect, failed writes.
#include <gtest/gtest.h>

#include "support/faults.h"
#include "transfer_support.h"

namespace zor::test {
namespace {

constexpr int32_t kTcpReceiveFile = 13;

struct ReceiveFileArgs {
    int32_t flags = 0, append = 0, idleSeconds = 0;
};

int32_t CallReceiveFile(PluginHost& host, int32_t ref, const std::string& path, ReceiveFileArgs a = {}) {
    Text name(path);
    return host.CallInt(kTcpReceiveFile, {&ref, &name.block, &a.flags, &a.append, &a.idleSeconds});
}

// A listening stream and a socat that connects to it and sends a file; the stream once connected.
struct SocatSource {
    int32_t ref = 0;
    std::unique_ptr<Peer> socat;
    SocatSource(PluginHost& host, const std::string& file) {
        ref = TcpListen(host);
        const int32_t port = LocalPort(host, ref);
        socat = std::make_unique<Peer>(std::vector<std::string>{
            "/usr/bin/socat", "-u", "OPEN:" + file + ",rdonly", "TCP:127.0.0.1:" + std::to_string(port)});
        EXPECT_EQ(TcpWaitState(host, ref, 8, 30), 8);
    }
};

TEST(TcpReceiveFile, FromSocatIntoANewFileThenAppended) {
    PluginHost host;
    TempDir folder;
    const std::string first = PatternBytes(3 << 20, 11), second = PatternBytes(70000, 12);
    WriteFile(folder.File("first"), first);
    WriteFile(folder.File("second"), second);

    SocatSource a(host, folder.File("first"));
    EXPECT_EQ(CallReceiveFile(host, a.ref, folder.File("out")), PluginHost::kUntouched) << "no result written";
    EXPECT_EQ(a.socat->Finish(), 0);
    EXPECT_EQ(TcpState(host, a.ref), -1) << "the stream is released and its reference free";
    EXPECT_EQ(Sha256OfFile(folder.File("out")), Sha256OfFile(folder.File("first")));

    SocatSource b(host, folder.File("second"));
    EXPECT_EQ(b.ref, a.ref) << "the freed reference is handed out again";
    EXPECT_EQ(CallReceiveFile(host, b.ref, folder.File("out"), {0, 1, 0}), PluginHost::kUntouched);
    EXPECT_EQ(b.socat->Finish(), 0);
    EXPECT_TRUE(ReadFile(folder.File("out")) == first + second) << "appended after what was there";

    // Any other append value starts the file afresh.
    SocatSource c(host, folder.File("second"));
    EXPECT_EQ(CallReceiveFile(host, c.ref, folder.File("out"), {0, 2, 0}), PluginHost::kUntouched);
    EXPECT_EQ(c.socat->Finish(), 0);
    EXPECT_TRUE(ReadFile(folder.File("out")) == second);

    // Appending to a file that does not exist yet makes it.
    SocatSource d(host, folder.File("second"));
    EXPECT_EQ(CallReceiveFile(host, d.ref, folder.File("new"), {0, 1, 0}), PluginHost::kUntouched);
    EXPECT_EQ(d.socat->Finish(), 0);
    EXPECT_TRUE(ReadFile(folder.File("new")) == second);
}

// A python3 client that connects to `port` and obeys its input lines: "send HEX" sends those bytes
// and says "sent"; "shut" ends its sending side and says "shut". At the end of its input it reports
// whether its connection was closed by the other side.
std::unique_ptr<Peer> ClientPeer(int32_t port) {
    return PythonPeer("import socket, sys\n"
                      "c = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
                      "for line in sys.stdin:\n"
                      "    word = line.split()\n"
                      "    if word[0] == 'send': c.sendall(bytes.fromhex(word[1])); print('sent', flush=True)\n"
                      "    if word[0] == 'shut': c.shutdown(socket.SHUT_WR); print('shut', flush=True)\n"
                      "try:\n"
                      "    print('closed' if c.recv(1) == b'' else 'open', flush=True)\n"
                      "except ConnectionResetError:\n"
                      "    print('closed', flush=True)\n",
                      {std::to_string(port)});
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) hex += {digits[c >> 4], digits[c & 15]};
    return hex;
}

// Has the client send bytes and waits until they are on their way.
void ClientSends(Peer& client, const std::string& bytes) {
    client.WriteLine("send " + Hex(bytes));
    EXPECT_EQ(client.ReadLine(), "sent");
}

TEST(TcpReceiveFile, IdleTimeOutReleasesTheStreamAfterItsSilence) {
    PluginHost host;
    TempDir folder;
    const int32_t ref = TcpListen(host);
    auto client = ClientPeer(LocalPort(host, ref));
    ASSERT_EQ(TcpWaitState(host, ref, 8, 30), 8);

    HostSetManualClock(true);
    const uint32_t begin = HostTicks();
    uint32_t dataAt = 0;
    int phase = 0;
    YieldHook hook([&] {
        // Silence for 200 ticks; then five bytes, the clock standing still until they are in the
        // file; then silence until the time-out, 7 ticks a pass.
        if (phase == 0 && HostTicks() - begin >= 200) {
            ClientSends(*client, "xxxxx");
            phase = 1;
            return;
        }
        if (phase == 1) {
            if (ReadFile(folder.File("out")).size() < 5) return;
            dataAt = HostTicks();
            phase = 2;
        }
        HostAdvanceTicks(7);
    });
    EXPECT_EQ(CallReceiveFile(host, ref, folder.File("out"), {0, 0, 5}), PluginHost::kUntouched);
    const uint32_t end = HostTicks();
    HostSetManualClock(false);

    EXPECT_EQ(phase, 2);
    EXPECT_GT(end - dataAt, 300u) << "released only after 300 ticks without data";
    EXPECT_LE(end - dataAt, 300u + 7) << "and at the first pass after them";
    EXPECT_EQ(ReadFile(folder.File("out")), "xxxxx");
    EXPECT_EQ(TcpState(host, ref), -1) << "reference free";
    client->CloseInput();
    EXPECT_EQ(client->ReadLine(), "closed") << "the connection went with the stream";
    EXPECT_EQ(client->Finish(), 0);
}

TEST(TcpReceiveFile, AStreamNotYetConnectedIsReleasedAfterOnePass) {
    PluginHost host;
    TempDir folder;
    const int32_t ref = TcpListen(host);
    ASSERT_EQ(TcpState(host, ref), 2);
    YieldHook hook(nullptr);
    EXPECT_EQ(CallReceiveFile(host, ref, folder.File("out")), PluginHost::kUntouched);
    EXPECT_EQ(hook.yields, 1);
    EXPECT_EQ(TcpState(host, ref), -1);
    EXPECT_TRUE(FileExists(folder.File("out")));
}

TEST(TcpReceiveFile, AFailedWriteStopsReleasesAndReportsMinusOne) {
    PluginHost host;
    TempDir folder;
    for (bool fullDevice : {true, false}) {
        const int32_t ref = TcpListen(host);
        auto client = ClientPeer(LocalPort(host, ref));
        ASSERT_EQ(TcpWaitState(host, ref, 8, 30), 8);
        ClientSends(*client, std::string(5000, 'x'));
        client->WriteLine("shut");  // so a transfer that went on past the failure would end, unreported
        EXPECT_EQ(client->ReadLine(), "shut");
        const int descriptors = OpenDescriptors();
        if (fullDevice) {
            EXPECT_EQ(CallReceiveFile(host, ref, "/dev/full"), -1);
        } else {
            WriteFailure failure(1, EIO);
            EXPECT_EQ(CallReceiveFile(host, ref, folder.File("out")), -1);
            EXPECT_TRUE(failure.fired());
        }
        EXPECT_EQ(TcpState(host, ref), -1) << "the stream is released";
        EXPECT_EQ(OpenDescriptors(), descriptors - 1) << "file closed and the connection with it";
        client->CloseInput();
        EXPECT_EQ(client->ReadLine(), "closed");
        EXPECT_EQ(client->Finish(), 0);
    }
}

// Urgent data fails the stream in the middle of a file: the transfer ends, keeps what it wrote, and
// says the file is short.
TEST(TcpReceiveFile, AStreamThatFailsReportsMinusOne) {
    PluginHost host;
    TempDir folder;
    const int32_t ref = TcpListen(host);
    auto client = PythonPeer("import socket, sys\n"
                             "c = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
                             "sys.stdin.readline()\n"
                             "c.sendall(b'abc'); c.send(b'!', socket.MSG_OOB); c.sendall(b'def')\n"
                             "print('sent', flush=True)\n"
                             "sys.stdin.read()\n",
                             {std::to_string(LocalPort(host, ref))});
    ASSERT_EQ(TcpWaitState(host, ref, 8, 30), 8);
    client->WriteLine("go");
    EXPECT_EQ(client->ReadLine(), "sent");
    EXPECT_EQ(CallReceiveFile(host, ref, folder.File("out")), -1);
    EXPECT_EQ(TcpState(host, ref), -1) << "the stream is released";
    EXPECT_EQ(ReadFile(folder.File("out")), std::string("abc").substr(0, ReadFile(folder.File("out")).size()));
    EXPECT_EQ(client->Finish(), 0);
}

// Passes take at most 16,384 bytes of what was read ahead; a stream released between passes still
// leaves every byte read in the file, in order.
TEST(TcpReceiveFile, AStreamReleasedBetweenPassesKeepsAllItRead) {
    PluginHost host;
    TempDir folder;
    const int32_t ref = TcpListen(host, 32767);  // the system sizes the buffers: all arrives at once
    auto client = ClientPeer(LocalPort(host, ref));
    ASSERT_EQ(TcpWaitState(host, ref, 8, 30), 8);
    const std::string bytes = PatternBytes(30000, 13);
    ClientSends(*client, bytes);
    ASSERT_TRUE(AwaitBytes(host, ref, 30000));
    struct Watch {
        PluginHost* host;
        int32_t ref, yields = 0, passCount = 0;
    } watch{&host, ref};
    HostSetYieldCallback(
        [](void* context) {
            auto* w = static_cast<Watch*>(context);
            if (++w->yields != 2) return;  // after the first pass
            w->passCount = TcpState(*w->host, w->ref, 14);
            (void)TcpRelease(*w->host, w->ref);
        },
        &watch);
    EXPECT_EQ(CallReceiveFile(host, ref, folder.File("out")), -1) << "released before the peer closed";
    HostSetYieldCallback(nullptr, nullptr);
    EXPECT_EQ(watch.passCount, 16384) << "a pass takes at most 16,384 bytes";
    EXPECT_TRUE(ReadFile(folder.File("out")) == bytes);
    client->CloseInput();
    EXPECT_EQ(client->ReadLine(), "closed");
    EXPECT_EQ(client->Finish(), 0);
}

TEST(TcpReceiveFile, AFileThatCannotBeOpenedLeavesTheStream) {
    PluginHost host;
    TempDir folder;
    const int32_t ref = TcpListen(host);
    EXPECT_EQ(CallReceiveFile(host, ref, folder.File("no/such/folder")), -1);
    EXPECT_EQ(CallReceiveFile(host, ref, ""), -1);
    EXPECT_EQ(TcpState(host, ref), 2);
    EXPECT_EQ(TcpRelease(host, ref), 0);
    EXPECT_EQ(CallReceiveFile(host, ref, folder.File("out")), -1) << "no such stream";
}

}  // namespace
}  // namespace zor::test
