// conversion_test.cpp: conversion flags on file transfers: each chunk converted by itself, and
// chunks that conversion makes longer never cut.
#include <gtest/gtest.h>

#include "text/text.h"
#include "transfer/transfer.h"
#include "transfer_support.h"

namespace zor::test {
namespace {

constexpr int32_t kTcpSendFile = 12;
constexpr int32_t kTcpReceiveFile = 13;

// Sends a file with flags and chunk size to a fresh sink; what the sink received.
std::string SendConverted(PluginHost& host, TempDir& folder, const std::string& bytes, int32_t flags,
                          int32_t chunk) {
    WriteFile(folder.File("source"), bytes);
    auto sink = SinkPeer(folder.File("received"));
    int32_t ref = ConnectTo(host, *sink);
    EXPECT_NE(ref, 0);
    Text name(folder.File("source"));
    int32_t start = 0, end = 0;
    EXPECT_EQ(host.CallInt(kTcpSendFile, {&ref, &name.block, &flags, &chunk, &start, &end}), PluginHost::kUntouched);
    EXPECT_EQ(TcpClose(host, ref), 0);
    EXPECT_EQ(TcpRelease(host, ref), 0);
    sink->ReadLine();
    EXPECT_EQ(sink->Finish(), 0);
    return ReadFile(folder.File("received"));
}

TEST(TransferConversion, EachSentChunkIsConvertedByItself) {
    PluginHost host;
    TempDir folder;
    EXPECT_EQ(SendConverted(host, folder, "a\rb\rc", 0x04, 0), "a\r\nb\r\nc");
    // CR LF across the boundary of chunks 4 and 5 stays; within a chunk it becomes CR.
    EXPECT_EQ(SendConverted(host, folder, "abc\r\ndef\r\n", 0x08, 4), "abc\r\ndef\r");
    EXPECT_EQ(SendConverted(host, folder, "abc\r\ndef\r\n", 0x08, 5), "abc\rdef\r");
    EXPECT_EQ(SendConverted(host, folder, "a<b", 0x10, 0), "a&lt;b");
}

TEST(TransferConversion, ChunksThatGrowAreNeverCut) {
    PluginHost host;
    TempDir folder;
    // Every CR doubles: the default chunk of 16384 CRs would make 32768 bytes, one more than a text holds.
    const std::string crs(40000, '\r');
    std::string crlfs;
    for (int i = 0; i < 40000; ++i) crlfs += "\r\n";
    EXPECT_TRUE(SendConverted(host, folder, crs, 0x04, 0) == crlfs);
    EXPECT_TRUE(SendConverted(host, folder, crs, 0x04, 32767) == crlfs);

    // The byte HTML encoding makes longest, repeated, arrives whole.
    size_t longest = 0;
    std::string worst, entity;
    for (int mode : {0, 1}) {
        for (int b = 0; b < 256; ++b) {
            Text one(std::string(1, static_cast<char>(b)));
            TextBlock made = text::EncodeHtml(one.block, mode);
            ASSERT_LE(made.length, transfer::kHtmlGrowth) << "byte " << b << " mode " << mode;
            if (static_cast<size_t>(made.length) > longest) {
                longest = static_cast<size_t>(made.length);
                worst = std::string(1, static_cast<char>(b));
                entity = std::string(*made.handle, static_cast<size_t>(made.length));
            }
            HostDisposeHandle(made.handle);
        }
    }
    std::string expected;
    for (int i = 0; i < 20000; ++i) expected += entity;
    std::string repeated;
    for (int i = 0; i < 20000; ++i) repeated += worst;
    EXPECT_TRUE(SendConverted(host, folder, repeated, 0x10, 0) == expected) << "entity " << entity;
}

TEST(TransferConversion, EachReceivedChunkIsConvertedByItself) {
    PluginHost host;
    TempDir folder;
    const int32_t listener = TcpListen(host);
    auto client = PythonPeer("import socket, sys\n"
                             "c = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
                             "for line in sys.stdin:\n"
                             "    if line.startswith('shut'): c.shutdown(socket.SHUT_WR)\n"
                             "    else: c.sendall(bytes.fromhex(line.strip()))\n"
                             "    print('done', flush=True)\n",
                             {std::to_string(LocalPort(host, listener))});
    int32_t ref = listener;
    ASSERT_EQ(TcpWaitState(host, ref, 8, 30), 8);
    // "x\r" arrives first and is written; then "\ny\r\nz" and the end of the connection.
    client->WriteLine("780d");
    ASSERT_EQ(client->ReadLine(), "done");
    int step = 0;
    YieldHook hook([&] {
        if (step == 0 && ReadFile(folder.File("out")).size() == 2) {
            client->WriteLine("0a790d0a7a");
            EXPECT_EQ(client->ReadLine(), "done");
            step = 1;
        } else if (step == 1 && ReadFile(folder.File("out")).size() > 2) {
            client->WriteLine("shut");
            EXPECT_EQ(client->ReadLine(), "done");
            step = 2;
        }
    });
    Text name(folder.File("out"));
    int32_t flags = 0x08, append = 0, idle = 0;
    EXPECT_EQ(host.CallInt(kTcpReceiveFile, {&ref, &name.block, &flags, &append, &idle}), PluginHost::kUntouched);
    EXPECT_EQ(step, 2);
    EXPECT_EQ(ReadFile(folder.File("out")), "x\r\ny\rz");
    EXPECT_EQ(client->Finish(), 0);
}

TEST(TransferConversion, ReceivedChunksThatGrowAreNeverCut) {
    PluginHost host;
    TempDir folder;
    WriteFile(folder.File("crs"), std::string(100000, '\r'));
    const int32_t ref = TcpListen(host, 32767);  // room for a whole receive of 16384 bytes
    Peer socat({"/usr/bin/socat", "-u", "OPEN:" + folder.File("crs") + ",rdonly",
                "TCP:127.0.0.1:" + std::to_string(LocalPort(host, ref))});
    ASSERT_EQ(TcpWaitState(host, ref, 8, 30), 8);
    ASSERT_TRUE(AwaitBytes(host, ref, 16384)) << "a full chunk waits before the first pass";
    Text name(folder.File("out"));
    int32_t r = ref, flags = 0x04, append = 0, idle = 0;
    EXPECT_EQ(host.CallInt(kTcpReceiveFile, {&r, &name.block, &flags, &append, &idle}), PluginHost::kUntouched);
    EXPECT_EQ(socat.Finish(), 0);
    std::string crlfs;
    for (int i = 0; i < 100000; ++i) crlfs += "\r\n";
    EXPECT_TRUE(ReadFile(folder.File("out")) == crlfs);
}

}  // namespace
}  // namespace zor::test
