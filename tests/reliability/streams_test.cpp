// streams_test.cpp: stream commands on loopback with their 1st, 2nd, ... allocation failing: a stream
// is made whole or not at all, a send either delivers every byte as converted or reports a failure,
// a receive never loses what arrived, and nothing (records, handles, descriptors) is left behind.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "support/descriptors.h"
#include "sweep.h"

namespace zor::test {
namespace {

constexpr int32_t kLoopback = 0x7F000001;

class StreamSweep : public ::testing::Test {
protected:
    PluginHost host;

    int32_t Open(int32_t port) {
        Str255 name("127.0.0.1");
        int16_t remote = static_cast<int16_t>(port), local = 0;
        int32_t buffer = 0, unused = 0, reuse = 0, address = 0;
        return host.CallInt(2, {name.bytes, &remote, &buffer, &unused, &reuse, &local, &address});
    }
    int32_t Listen() {
        int32_t unused = 0, reuse = 0, buffer = 0, address = kLoopback;
        int16_t unusedShort = 0, local = 0;
        return host.CallInt(3, {&unused, &unusedShort, &local, &buffer, &unused, &reuse, &address});
    }
    int32_t Release(int32_t ref) {
        int32_t keep = 0;
        return host.CallInt(5, {&ref, &keep});
    }
    int32_t WaitEstablished(int32_t ref) {
        int32_t target = 8, timeout = 10;
        return host.CallInt(11, {&ref, &target, &timeout});
    }
    int32_t LocalPort(int32_t ref) {
        int32_t remote = 0, minusOne = 0, local = 0;
        int16_t remotePort = 0, localPort = 0;
        host.CallInt(10, {&ref, &remote, &remotePort, &localPort, &minusOne, &local});
        return static_cast<uint16_t>(localPort);
    }
    int32_t Send(int32_t ref, Text& text, int16_t push, int32_t flags) {
        return host.CallInt(7, {&ref, &text.block, &push, &flags});
    }
    int32_t Send(int32_t ref, const std::string& bytes, int16_t push, int32_t flags) {
        Text text(bytes);
        return Send(ref, text, push, flags);
    }
    int32_t Receive(int32_t ref, std::string& bytes, int32_t flags = 0) {
        Text text;
        int16_t maximum = 0;
        const int32_t r = host.CallInt(8, {&ref, &text.block, &maximum, &flags});
        bytes = text.str();
        return r;
    }
    int32_t Available(int32_t ref) { return host.CallInt(9, {&ref}); }
    // Everything that arrives on `ref` until `n` bytes came or a bound of passes with nothing new.
    std::string Drain(int32_t ref, size_t n) {
        std::string all;
        for (int idle = 0; all.size() < n && idle < 2000; ++idle) {
            if (Available(ref) <= 0) {
                usleep(200);
                continue;
            }
            std::string piece;
            if (Receive(ref, piece) > 0) idle = 0;
            all += piece;
        }
        return all;
    }
    // A connected pair of the plug-in's own streams.
    void Pair(int32_t& server, int32_t& client) {
        server = Listen();
        ASSERT_GT(server, 0);
        client = Open(LocalPort(server));
        ASSERT_GT(client, 0);
        ASSERT_EQ(WaitEstablished(client), 8);
        ASSERT_EQ(WaitEstablished(server), 8);
    }
};

// TcpOpen and TcpListen give a working stream or 0, and nothing of a stream that was not made stays.
TEST_F(StreamSweep, OpeningAndListening) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 512), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length), 0);
    const int32_t port = ntohs(a.sin_port);

    int descriptors = 0;
    const int runs = SweepAllocations(
        [&] { descriptors = OpenDescriptors(); }, [&] { return Open(port); },
        [&](int32_t ref, bool failed) {
            if (!failed) {
                EXPECT_GT(ref, 0);
            }
            if (ref > 0) {
                EXPECT_EQ(WaitEstablished(ref), 8);
                EXPECT_EQ(Release(ref), 0);
            }
            EXPECT_EQ(OpenDescriptors(), descriptors);
        });
    EXPECT_GT(runs, 1);
    close(listener);

    SweepAllocations(
        [&] { descriptors = OpenDescriptors(); }, [&] { return Listen(); },
        [&](int32_t ref, bool failed) {
            if (!failed) {
                EXPECT_GT(ref, 0);
            }
            if (ref > 0) {
                EXPECT_GT(LocalPort(ref), 0);
                Release(ref);
            }
            EXPECT_EQ(OpenDescriptors(), descriptors);
        });
}

// `count` numbered lines, each ended by a carriage return.
std::string Lines(const std::string& prefix, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += prefix + std::to_string(i) + "\r";
    return text;
}

// The text as the line-end conversion makes it: each carriage return followed by a line feed.
std::string WithLineFeeds(const std::string& text) {
    std::string converted;
    for (char c : text) converted += c == '\r' ? std::string("\r\n") : std::string(1, c);
    return converted;
}

// A send reports success only when every byte went out, converted as asked; otherwise nothing went.
TEST_F(StreamSweep, SendDeliversEverythingOrReportsFailure) {
    int32_t server = 0, client = 0;
    Pair(server, client);
    const std::string text = Lines("line ", 300);
    const std::string converted = WithLineFeeds(text);

    struct Mode {
        int16_t push;
        int32_t flags;
        const std::string* expected;
    };
    // The send converts its argument in place: a fresh one for every run, made before it.
    auto argument = std::make_unique<Text>(text);
    auto empty = std::make_unique<Text>();
    // The stream's queue of pending output is made at the first queued send and kept.
    ASSERT_GT(Send(client, "warm", 1, 0), 0);
    ASSERT_EQ(Send(client, *empty, 0, 0), 0);
    ASSERT_EQ(Drain(server, 4), "warm");
    for (const Mode& mode : {Mode{0, 0, &text}, Mode{1, 0, &text}, Mode{0, 4, &converted}, Mode{1, 4, &converted}}) {
        SCOPED_TRACE("push " + std::to_string(mode.push) + " flags " + std::to_string(mode.flags));
        SweepAllocations(
            [&] { argument = std::make_unique<Text>(text); },
            [&] {
                int32_t r = Send(client, *argument, mode.push, mode.flags);
                // A queued text goes out with the next send of nothing.
                if (r > 0) r = Send(client, *empty, 0, 0);
                return r;
            },
            [&](int32_t result, bool failed) {
                const std::string got = Drain(server, result == 0 ? mode.expected->size() : 0);
                if (!failed) {
                    EXPECT_EQ(result, 0);
                }
                if (result == 0) {
                    EXPECT_TRUE(got == *mode.expected) << got.size() << " bytes arrived";
                } else {
                    EXPECT_EQ(got, "") << "a failed send sent bytes";
                }
            });
    }
    Release(client);
    Release(server);
}

// A receive that cannot get its buffer leaves the bytes waiting for the next one.
TEST_F(StreamSweep, ReceiveLosesNothing) {
    int32_t server = 0, client = 0;
    Pair(server, client);
    const std::string bytes = Pattern(5000, 9);
    SweepAllocations(
        [&] {
            ASSERT_EQ(Send(client, bytes, 0, 0), 0);
            for (int i = 0; i < 5000 && Available(server) < int32_t(bytes.size()); ++i) usleep(200);
        },
        [&] {
            std::string got;
            const int32_t r = Receive(server, got);
            return std::make_pair(r, got);
        },
        [&](const std::pair<int32_t, std::string>& outcome, bool) {
            const std::string rest = Drain(server, bytes.size() - outcome.second.size());
            if (outcome.first > 0) {
                EXPECT_EQ(outcome.second.size(), size_t(outcome.first));
            }
            EXPECT_TRUE(outcome.second + rest == bytes);
        });
    Release(client);
    Release(server);
}

// A receive whose conversion runs short of memory says so (-1) and keeps the bytes as they came,
// so the caller never takes unconverted bytes for converted ones, and nothing is lost.
TEST_F(StreamSweep, ReceiveWithConversionConvertsOrReportsFailure) {
    int32_t server = 0, client = 0;
    Pair(server, client);
    const std::string bytes = Lines("row ", 200);
    const std::string converted = WithLineFeeds(bytes);
    SweepAllocations(
        [&] {
            ASSERT_EQ(Send(client, bytes, 0, 0), 0);
            for (int i = 0; i < 5000 && Available(server) < int32_t(bytes.size()); ++i) usleep(200);
        },
        [&] {
            std::string got;
            const int32_t r = Receive(server, got, 4);
            return std::make_pair(r, got);
        },
        [&](const std::pair<int32_t, std::string>& outcome, bool failed) {
            if (!failed) {
                EXPECT_EQ(outcome.first, int32_t(bytes.size()));
            }
            if (outcome.first > 0) {
                EXPECT_TRUE(outcome.second == converted) << "a receive reported success with unconverted bytes";
            } else if (outcome.first == -1 && !outcome.second.empty()) {
                EXPECT_TRUE(outcome.second == bytes.substr(0, outcome.second.size()));
                (void)Drain(server, bytes.size() - outcome.second.size());
            } else {
                (void)Drain(server, bytes.size());
            }
        });
    Release(client);
    Release(server);
}

// UDP streams: made whole or not at all.
TEST_F(StreamSweep, UdpOpen) {
    int descriptors = 0;
    SweepAllocations(
        [&] { descriptors = OpenDescriptors(); },
        [&] {
            int32_t port = 0, address = kLoopback, buffer = 0;
            return host.CallInt(41, {&port, &address, &buffer});
        },
        [&](int32_t ref, bool failed) {
            if (!failed) {
                EXPECT_GT(ref, 0);
            }
            if (ref > 0) {
                EXPECT_EQ(host.CallInt(42, {&ref}), 0);
            }
            EXPECT_EQ(OpenDescriptors(), descriptors);
        });
}

}  // namespace
}  // namespace zor::test

namespace zor::test {
namespace {

// File transfers over a stream when the file fails: a read error while sending gives -1 (the peer
// got a prefix, never more than the file), a full disk while receiving gives -1 and the stream is
// released; the file being sent is untouched.
TEST_F(StreamSweep, FileTransfersWhenTheFileFails) {
    TempDir folder;
    const std::string bytes = Pattern(100000, 5);
    WriteFile(folder / "send.dat", bytes);
    int32_t server = 0, client = 0;
    Pair(server, client);
    Text sendName(folder / "send.dat");
    int32_t result = 0;
    {
        ReadFailure failure(2, EIO);
        // The copying loop: sending straight from the file would read nothing through the table.
        const auto sendfile = HostSystemCallTable()->sendfile;
        HostSystemCallTable()->sendfile = [](int, int, off_t*, size_t) -> ssize_t {
            errno = EINVAL;
            return -1;
        };
        int32_t flags = 0, chunk = 0, start = 0, end = 0;
        result = host.CallInt(12, {&client, &sendName.block, &flags, &chunk, &start, &end});
        HostSystemCallTable()->sendfile = sendfile;
        EXPECT_TRUE(failure.fired());
    }
    EXPECT_EQ(result, -1);
    const std::string got = Drain(server, bytes.size());
    EXPECT_LT(got.size(), bytes.size());
    EXPECT_TRUE(got == bytes.substr(0, got.size()));
    EXPECT_EQ(ReadFile(folder / "send.dat"), bytes);

    // The other way: the client sends and closes; the server's file cannot be written.
    ASSERT_EQ(Send(client, bytes.substr(0, 20000), 0, 0), 0);
    EXPECT_EQ(host.CallInt(4, {&client}), 0);
    Text receiveName(folder / "received.dat");
    for (const int error : {ENOSPC}) {
        WriteFailure failure(1, error);
        int32_t flags = 0, append = 0, idle = 5;
        result = host.CallInt(13, {&server, &receiveName.block, &flags, &append, &idle});
        EXPECT_TRUE(failure.fired());
    }
    EXPECT_EQ(result, -1);
    int32_t selector = 0;
    EXPECT_EQ(host.CallInt(6, {&server, &selector}), -1) << "the receiving stream is released";
    Release(client);
}

// A file sent with conversion while memory runs short: the peer gets the converted file whole and no
// result is written, or a converted prefix and -1; never unconverted bytes reported as sent.
TEST_F(StreamSweep, FileSentWithConversionConvertsOrReportsFailure) {
    TempDir folder;
    std::string bytes;
    for (int i = 0; i < 600; ++i) bytes += "line " + std::to_string(i) + "\r";  // fits the socket buffers
    std::string converted;
    for (char c : bytes) converted += c == '\r' ? std::string("\r\n") : std::string(1, c);
    WriteFile(folder / "lines.txt", bytes);
    int32_t server = 0, client = 0;
    Pair(server, client);
    Text name(folder / "lines.txt");
    SweepAllocations(
        [] {},
        [&] {
            int32_t flags = 4, chunk = 0, start = 0, end = 0;
            return host.CallInt(12, {&client, &name.block, &flags, &chunk, &start, &end});
        },
        [&](int32_t result, bool failed) {
            const bool whole = result == PluginHost::kUntouched;
            if (!failed) {
                EXPECT_TRUE(whole);
            }
            std::string got = Drain(server, whole ? converted.size() : 0);
            while (!whole && Available(server) > 0) {  // on loopback what was sent has arrived
                std::string piece;
                Receive(server, piece);
                got += piece;
            }
            if (whole) {
                EXPECT_TRUE(got == converted) << got.size() << " bytes arrived";
            } else {
                EXPECT_TRUE(got == converted.substr(0, got.size())) << "unconverted bytes were sent";
            }
        });
    Release(client);
    Release(server);
}

}  // namespace
}  // namespace zor::test
