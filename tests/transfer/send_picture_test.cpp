// send_picture_test.cpp: TcpSendPicture to a python3 sink on 127.0.0.1: GIF data in its pieces, the
// JPEG stream, explicit ranges (also past the data), pictures with nothing to send, lock state.
#include <gtest/gtest.h>

#include "transfer_support.h"

namespace zor::test {
namespace {

constexpr int32_t kTcpSendPicture = 40;
constexpr char kMarker = '\xA7';

int32_t CallSendPicture(PluginHost& host, int32_t ref, HostHandle* picture, int32_t start = 0, int32_t end = 0) {
    return host.CallInt(kTcpSendPicture, {&ref, picture, &start, &end});
}

// Bytes free of the marker byte (and of FF, so no JPEG marker appears by chance).
std::string PlainBytes(size_t count, uint32_t seed) {
    std::string bytes = PatternBytes(count, seed);
    for (char& c : bytes)
        if (c == kMarker || c == '\xFF') c = 'p';
    return bytes;
}

// A sink connection that the test sends pictures over; Finish closes it and gives what arrived.
struct SinkConnection {
    TempDir& folder;
    PluginHost& host;
    std::unique_ptr<Peer> sink;
    int32_t ref = 0;
    SinkConnection(PluginHost& h, TempDir& f) : folder(f), host(h), sink(SinkPeer(f.File("received"))) {
        ref = ConnectTo(host, *sink);
        EXPECT_NE(ref, 0);
    }
    std::string Finish() {
        EXPECT_EQ(TcpClose(host, ref), 0);
        EXPECT_EQ(TcpRelease(host, ref), 0);
        sink->ReadLine();
        EXPECT_EQ(sink->Finish(), 0);
        return ReadFile(folder.File("received"));
    }
};

// The pieces show in the byte stream: during each piece the host queues one marker byte on the
// stream, and the stream's queue goes out before the next piece. The marker is queued only when
// none is waiting and no queue is going out (sentCount, which only the queue's sending counts, did
// not move since the last yield).
TEST(TcpSendPicture, GifGoesInPiecesWithTheRemainderFirst) {
    PluginHost host;
    TempDir folder;
    const std::string gif = "GIF89a" + PlainBytes(70000 - 6, 1);
    HostHandle picture = NewHandleWith(gif);
    SinkConnection connection(host, folder);
    {
        int32_t markers = 0, lastSent = TcpState(host, connection.ref, 17);
        bool lockedThroughout = true;
        YieldHook hook([&] {
            lockedThroughout = lockedThroughout && (HostGetHandleState(picture) & HostHandleLocked) != 0;
            const int32_t sent = TcpState(host, connection.ref, 17);
            const bool flushing = sent != lastSent;
            lastSent = sent;
            if (!flushing && markers == sent) markers += TcpSend(host, connection.ref, std::string(1, kMarker), 1);
        });
        EXPECT_EQ(CallSendPicture(host, connection.ref, &picture), 0);
        EXPECT_TRUE(lockedThroughout) << "the picture stays locked while its bytes go out";
    }
    EXPECT_EQ(HostGetHandleState(picture), 0) << "and is unlocked again afterwards";
    const std::string received = connection.Finish();

    std::vector<size_t> pieces;
    std::string data;
    size_t run = 0;
    for (char c : received) {
        if (c == kMarker) {
            if (run > 0) pieces.push_back(run);
            run = 0;
        } else {
            data += c;
            ++run;
        }
    }
    if (run > 0) pieces.push_back(run);
    EXPECT_EQ(pieces, (std::vector<size_t>{6000, 32000, 32000}));
    EXPECT_TRUE(data == gif);
    HostDisposeHandle(picture);
}

TEST(TcpSendPicture, JpegStreamExplicitRangesAndNothingToSend) {
    PluginHost host;
    TempDir folder;
    std::string jpeg = PlainBytes(12000, 2);
    jpeg[512] = '\xFF', jpeg[513] = '\xD8', jpeg[10510] = '\xFF', jpeg[10511] = '\xD9';
    const std::string neither = PlainBytes(5000, 3);
    HostHandle jpegPicture = NewHandleWith(jpeg);
    HostHandle plain = NewHandleWith(neither);
    HostHandle none = nullptr;
    const int8_t locked = static_cast<int8_t>(HostHandleLocked);

    SinkConnection connection(host, folder);
    const int32_t ref = connection.ref;
    std::string expected;
    EXPECT_EQ(CallSendPicture(host, ref, &jpegPicture), 0);
    expected += jpeg.substr(512, 10000);
    EXPECT_EQ(CallSendPicture(host, ref, &plain), -1) << "neither GIF nor a JPEG stream";
    EXPECT_EQ(CallSendPicture(host, ref, &plain, 10, 10), 0) << "a range needs end above start";
    EXPECT_EQ(CallSendPicture(host, ref, &none), -1);
    int32_t ref2 = ref, zero = 0;
    EXPECT_EQ(host.CallInt(kTcpSendPicture, {&ref2, nullptr, &zero, &zero}), -1) << "no picture argument";
    EXPECT_EQ(CallSendPicture(host, 999, &plain, 0, 10), -1) << "no such stream";

    HostSetHandleState(plain, locked);
    EXPECT_EQ(CallSendPicture(host, ref, &plain, 100, 0), 0) << "end 0: to the last byte";
    expected += neither.substr(100);
    EXPECT_EQ(HostGetHandleState(plain), locked) << "a locked picture stays locked";
    HostSetHandleState(plain, 0);
    EXPECT_EQ(CallSendPicture(host, ref, &plain, 4990, 1000000), 0) << "never past the data";
    expected += neither.substr(4990);
    EXPECT_EQ(CallSendPicture(host, ref, &plain, -20, 9), 0) << "never before it";
    expected += neither.substr(0, 10);
    EXPECT_EQ(CallSendPicture(host, ref, &plain, 6000, 7000), 0) << "a range wholly past the data";
    EXPECT_EQ(HostGetHandleState(plain), 0);
    EXPECT_TRUE(connection.Finish() == expected);
    HostDisposeHandle(jpegPicture);
    HostDisposeHandle(plain);
}

}  // namespace
}  // namespace zor::test
