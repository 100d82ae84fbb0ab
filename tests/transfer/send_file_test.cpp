// send_file_test.cpp: TcpSendFile to python3 sinks on 127.0.0.1: whole files, byte ranges, chunk
// sizes, a peer that has gone, a stream closed or released while the file goes out, failures.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <utility>
#include <vector>

#include "transfer_support.h"

namespace zor::test {
namespace {

constexpr int32_t kTcpSendFile = 12;

// Records the size of every read the system-call table is asked for while alive. Unless `direct`,
// the system's sending from the file is refused meanwhile, so every chunk goes through the copying loop.
class ReadRecorder {
public:
    explicit ReadRecorder(bool direct = false) {
        saved_ = *HostSystemCallTable();
        sizes_ = &sizes;
        HostSystemCallTable()->read = Read;
        if (!direct) {
            HostSystemCallTable()->sendfile = [](int, int, off_t*, size_t) -> ssize_t {
                errno = EINVAL;
                return -1;
            };
        }
    }
    ~ReadRecorder() { *HostSystemCallTable() = saved_; }
    std::vector<size_t> sizes;

private:
    static ssize_t Read(int fd, void* buffer, size_t count) {
        sizes_->push_back(count);
        return saved_.read(fd, buffer, count);
    }
    static inline HostSystemCalls saved_{};
    static inline std::vector<size_t>* sizes_ = nullptr;
};

struct SendFileArgs {
    int32_t flags = 0, chunk = 0, start = 0, end = 0;
};

int32_t CallSendFile(PluginHost& host, int32_t ref, const std::string& path, SendFileArgs a = {}) {
    Text name(path);
    return host.CallInt(kTcpSendFile, {&ref, &name.block, &a.flags, &a.chunk, &a.start, &a.end});
}

// Sends a file to a fresh sink and returns what the sink received; `result` gets the command's.
std::string SendToSink(PluginHost& host, TempDir& folder, const std::string& path, SendFileArgs a,
                       int32_t* result = nullptr, std::vector<size_t>* reads = nullptr, bool direct = false) {
    auto sink = SinkPeer(folder.File("received"));
    const int32_t ref = ConnectTo(host, *sink);
    EXPECT_NE(ref, 0);
    int32_t r;
    {
        ReadRecorder recorder(direct);
        r = CallSendFile(host, ref, path, a);
        if (reads != nullptr) *reads = recorder.sizes;
    }
    if (result != nullptr) *result = r;
    EXPECT_EQ(TcpClose(host, ref), 0);
    EXPECT_EQ(TcpRelease(host, ref), 0);
    EXPECT_FALSE(sink->ReadLine().empty());
    EXPECT_EQ(sink->Finish(), 0);
    return ReadFile(folder.File("received"));
}

TEST(TcpSendFile, HundredMebibytesArriveWhole) {
    PluginHost host;
    TempDir folder;
    {
        std::ofstream out(folder.File("big"), std::ios::binary);
        for (uint32_t block = 0; block < 100; ++block) out << PatternBytes(1 << 20, block);
    }
    auto sink = SinkPeer("/dev/null");  // the sink's count and digest are enough
    const int32_t ref = ConnectTo(host, *sink);
    ASSERT_NE(ref, 0);
    EXPECT_EQ(CallSendFile(host, ref, folder.File("big")), PluginHost::kUntouched) << "no result on success";
    EXPECT_EQ(TcpState(host, ref), 8) << "the stream stays open";
    EXPECT_EQ(TcpClose(host, ref), 0);
    EXPECT_EQ(TcpRelease(host, ref), 0);
    const std::string summary = sink->ReadLine();
    EXPECT_EQ(sink->Finish(), 0);
    EXPECT_EQ(summary, "104857600 " + Sha256OfFile(folder.File("big")));
}

TEST(TcpSendFile, ByteRangesAndChunks) {
    PluginHost host;
    TempDir folder;
    const std::string bytes = PatternBytes(1000, 5);
    WriteFile(folder.File("file"), bytes);
    struct Case {
        SendFileArgs args;
        std::string expected;
        std::vector<size_t> reads;  // the chunk sizes asked of the file, in order
    } cases[] = {
        {{0, 0, 100, 0}, bytes.substr(100), {16384}},
        {{0, 300, 100, 0}, bytes.substr(100), {300, 300, 300}},  // nothing left: no fourth read
        {{0, 0, -50, 200}, bytes.substr(0, 200), {16384}},
        {{0, 0, 900, 5000}, bytes.substr(900), {16384}},
        {{0, 0, 500, 500}, "", {}},
        {{0, 0, 2000, 0}, "", {}},
        {{0, 0, 600, 300}, "", {}},
        {{0, 0, 0, 0}, bytes, {16384}},
    };
    for (const Case& c : cases) {
        std::vector<size_t> reads;
        int32_t result = 0;
        EXPECT_EQ(SendToSink(host, folder, folder.File("file"), c.args, &result, &reads), c.expected)
            << c.args.start << ".." << c.args.end << " chunk " << c.args.chunk;
        EXPECT_EQ(result, PluginHost::kUntouched);
        // A short last read of 16384 is the range's size: the first read asks for min(chunk, range).
        std::vector<size_t> expectedReads;
        size_t left = c.expected.size();
        for (size_t r : c.reads) {
            expectedReads.push_back(r < left ? r : left);
            left -= expectedReads.back();
        }
        EXPECT_EQ(reads, expectedReads) << c.args.start << ".." << c.args.end;
    }
}

TEST(TcpSendFile, ChunksAreCappedAtWhatACountCanHold) {
    PluginHost host;
    TempDir folder;
    const std::string bytes = PatternBytes(100000, 6);
    WriteFile(folder.File("file"), bytes);
    std::vector<size_t> reads;
    EXPECT_EQ(SendToSink(host, folder, folder.File("file"), {0, 100000, 0, 0}, nullptr, &reads), bytes);
    EXPECT_EQ(reads, (std::vector<size_t>{32767, 32767, 32767, 1699}));
}

// Whether SIGPIPE is held on this thread, and whether one waits.
std::pair<bool, bool> PipeSignal() {
    sigset_t held, pending;
    pthread_sigmask(SIG_BLOCK, nullptr, &held);
    sigpending(&pending);
    return {sigismember(&held, SIGPIPE) != 0, sigismember(&pending, SIGPIPE) != 0};
}

// With the system's buffers and with small ones, copied or sent straight from the file: the peer's
// close raises no SIGPIPE that outlives the command, and the thread's signal mask is left as it was.
TEST(TcpSendFile, StopsAfterTheFirstChunkWhenThePeerHasGone) {
    PluginHost host;
    TempDir folder;
    WriteFile(folder.File("file"), PatternBytes(4 << 20, 8));
    for (bool direct : {false, true}) {
        for (int32_t buffer : {0, 32767}) {
            auto peer = PythonPeer("import socket\n"
                                   "s = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen(1)\n"
                                   "print(s.getsockname()[1], flush=True)\n"
                                   "c, _ = s.accept(); c.close(); print('closed', flush=True)\n"
                                   "import sys; sys.stdin.read()\n");
            const int32_t ref = ConnectTo(host, *peer, buffer);
            ASSERT_NE(ref, 0);
            ASSERT_EQ(peer->ReadLine(), "closed");
            ReadRecorder recorder(direct);
            EXPECT_EQ(CallSendFile(host, ref, folder.File("file")), PluginHost::kUntouched) << "no result written";
            // The first chunks may go whole into the socket before the peer's reset comes back (more
            // of them into the system's larger buffers); the send that meets it ends the transfer.
            if (!direct) {
                EXPECT_LE(recorder.sizes.size(), buffer == 0 ? 2u : 16u) << "a few chunks of 256, the rest never";
            }
            EXPECT_EQ(PipeSignal(), std::make_pair(false, false)) << buffer << (direct ? " direct" : "");
            EXPECT_EQ(TcpRelease(host, ref), 0);
            EXPECT_EQ(peer->Finish(), 0);
        }
    }
}

// While chunks go whole the socket is polled for an exceptional condition once a tick, not after
// every chunk; with a tick passing at every yield, every chunk is followed by a poll.
TEST(TcpSendFile, TheSocketIsPolledOnceATickWhileChunksGoWhole) {
    PluginHost host;
    TempDir folder;
    const std::string bytes = PatternBytes(1 << 20, 2);  // 64 chunks of 16384
    WriteFile(folder.File("file"), bytes);
    static int polls = 0;
    const HostSystemCalls saved = *HostSystemCallTable();
    static HostSystemCalls plain;
    plain = saved;
    HostSystemCallTable()->poll = [](pollfd* fds, nfds_t count, int timeout) -> int {
        if (count == 1 && fds[0].events == POLLPRI) ++polls;
        return plain.poll(fds, count, timeout);
    };
    HostSetManualClock(true);
    for (bool ticking : {false, true}) {
        polls = 0;
        auto sink = SinkPeer(folder.File("received"));
        const int32_t ref = ConnectTo(host, *sink, 32767);
        ASSERT_NE(ref, 0);
        const int before = polls;
        {
            YieldHook hook([&] {
                if (ticking) HostAdvanceTicks(1);
            });
            EXPECT_EQ(CallSendFile(host, ref, folder.File("file")), PluginHost::kUntouched);
        }
        if (ticking) {
            EXPECT_EQ(polls - before, 64);
        } else {
            EXPECT_LE(polls - before, 2) << "the first chunk's poll, and one for a chunk that did not go whole";
        }
        EXPECT_EQ(TcpClose(host, ref), 0);
        EXPECT_EQ(TcpRelease(host, ref), 0);
        sink->ReadLine();
        EXPECT_EQ(sink->Finish(), 0);
        EXPECT_TRUE(ReadFile(folder.File("received")) == bytes);
    }
    HostSetManualClock(false);
    *HostSystemCallTable() = saved;
}

TEST(TcpSendFile, StopsWhenTheStreamIsClosedOrReleasedDuringAChunk) {
    PluginHost host;
    TempDir folder;
    const std::string bytes = PatternBytes(5000, 9);
    WriteFile(folder.File("file"), bytes);
    for (bool release : {false, true}) {
        auto sink = SinkPeer(folder.File("received"));
        const int32_t ref = ConnectTo(host, *sink);
        ASSERT_NE(ref, 0);
        {
            // The host closes (or releases) the stream at the first yield, inside the first chunk.
            YieldHook hook([&] {
                if (TcpState(host, ref) == 8) release ? TcpRelease(host, ref) : TcpClose(host, ref);
            });
            EXPECT_EQ(CallSendFile(host, ref, folder.File("file"), {0, 1000, 0, 0}), PluginHost::kUntouched);
        }
        EXPECT_EQ(TcpState(host, ref), release ? -1 : 14);
        if (!release) {
            EXPECT_EQ(TcpRelease(host, ref), 0);
        }
        EXPECT_EQ(sink->ReadLine().substr(0, 5), "1000 ");
        EXPECT_EQ(sink->Finish(), 0);
        EXPECT_EQ(ReadFile(folder.File("received")), bytes.substr(0, 1000));
    }
}

TEST(TcpSendFile, FilesThatCannotBeSentGiveMinusOne) {
    PluginHost host;
    TempDir folder;
    auto sink = SinkPeer(folder.File("received"));
    const int32_t ref = ConnectTo(host, *sink);
    ASSERT_NE(ref, 0);
    const int descriptors = OpenDescriptors();
    EXPECT_EQ(CallSendFile(host, ref, folder.File("missing")), -1);
    EXPECT_EQ(CallSendFile(host, ref, ""), -1);
    EXPECT_EQ(CallSendFile(host, 999, folder.File("missing")), -1) << "no such stream";
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(TcpState(host, ref), 8) << "the stream is left as it was";
    EXPECT_EQ(TcpClose(host, ref), 0);
    EXPECT_EQ(TcpRelease(host, ref), 0);
    EXPECT_EQ(sink->ReadLine().substr(0, 2), "0 ");
    EXPECT_EQ(sink->Finish(), 0);
}

TEST(TcpSendFile, PendingOutputGoesFirst) {
    PluginHost host;
    TempDir folder;
    WriteFile(folder.File("file"), "file body");
    auto sink = SinkPeer(folder.File("received"));
    const int32_t ref = ConnectTo(host, *sink);
    ASSERT_NE(ref, 0);
    EXPECT_EQ(TcpSend(host, ref, "header:", 1), 7) << "queued";
    CallSendFile(host, ref, folder.File("file"));
    EXPECT_EQ(TcpClose(host, ref), 0);
    EXPECT_EQ(TcpRelease(host, ref), 0);
    sink->ReadLine();
    EXPECT_EQ(sink->Finish(), 0);
    EXPECT_EQ(ReadFile(folder.File("received")), "header:file body");
}

// Without conversions the chunks go from the file to the socket directly: the bytes arrive whole
// across chunk sizes and ranges, no call ever asks for more than a chunk, and the file is never read
// through a buffer. A read error of the system's sending gives -1, as a failed read does.
TEST(TcpSendFile, ChunksSentStraightFromTheFile) {
    PluginHost host;
    TempDir folder;
    const std::string bytes = PatternBytes(300000, 9);
    WriteFile(folder.File("file"), bytes);
    static std::vector<size_t> asked;
    static int failWith = 0;
    const HostSystemCalls saved = *HostSystemCallTable();
    static HostSystemCalls plain;
    plain = saved;
    HostSystemCallTable()->sendfile = [](int socket, int fd, off_t* offset, size_t count) -> ssize_t {
        asked.push_back(count);
        if (failWith != 0) {
            errno = failWith;
            return -1;
        }
        return plain.sendfile(socket, fd, offset, count);
    };
    struct Case {
        SendFileArgs args;
        size_t most;  // the largest count one call may ask for
    };
    const Case cases[] = {
        {{0, 0, 0, 0}, 16384}, {{0, 1000, 7, 299000}, 1000}, {{0, 200000, 0, 0}, 65536}, {{0, 65536, 1, 0}, 65536}};
    for (const Case& c : cases) {
        asked.clear();
        int32_t result = 0;
        const size_t end = c.args.end != 0 ? static_cast<size_t>(c.args.end) : bytes.size();
        std::vector<size_t> reads;
        EXPECT_EQ(SendToSink(host, folder, folder.File("file"), c.args, &result, &reads, true),
                  bytes.substr(static_cast<size_t>(c.args.start), end - static_cast<size_t>(c.args.start)))
            << "chunk " << c.args.chunk;
        EXPECT_EQ(result, PluginHost::kUntouched);
        EXPECT_TRUE(reads.empty()) << "the file was read through a buffer";
        ASSERT_FALSE(asked.empty());
        EXPECT_LE(*std::max_element(asked.begin(), asked.end()), c.most) << "chunk " << c.args.chunk;
    }
    failWith = EIO;
    int32_t result = 0;
    EXPECT_EQ(SendToSink(host, folder, folder.File("file"), {}, &result, nullptr, true), "");
    EXPECT_EQ(result, -1);
    failWith = 0;
    *HostSystemCallTable() = saved;
}

}  // namespace
}  // namespace zor::test
