// tls_library_test.cpp: the TLS commands when OpenSSL cannot be loaded: they fail as for a stream
// that cannot take TLS, the stream goes on in plain text, and the library loads once it is there.
#include <gtest/gtest.h>

#include "net/tls.h"
#include "net_support.h"
#include "zor/zor.h"

namespace zor::test {
namespace {

using namespace zor::net;

int32_t StartTls(PluginHost& host, int32_t ref, const char* name, int32_t flags) {
    Str255 server(name);
    return host.CallInt(101, {&ref, server.bytes, &flags});
}

int32_t Credentials(PluginHost& host, const char* certificate, const char* key) {
    Text c(certificate);
    Text k(key);
    return host.CallInt(102, {&c.block, &k.block});
}

// The plug-in linked into this test, so the library named here is the one its commands load.
struct InProcessHost : PluginHost {
    InProcessHost() : PluginHost(false) {
        entry = &::RozoZIvav;
        Start();
    }
};

TEST(TlsLibrary, WithoutOpenSslTlsCommandsFailAndTheStreamGoesOnInPlainText) {
    ASSERT_TRUE(SetTlsLibrary("libzor-test-no-such-ssl.so.3"));
    {
        InProcessHost host;
        const StreamPair pair = ConnectPair(host);
        ASSERT_EQ(TcpState(host, pair.client), StreamEstablished);
        EXPECT_EQ(TcpSend(host, pair.client, "queued;", 1), 7);  // held in the push queue
        EXPECT_EQ(StartTls(host, pair.client, "localhost", kTlsNoVerify), TlsNotPossible);
        EXPECT_EQ(StartTls(host, pair.listener, "", kTlsServer), TlsNotPossible);
        EXPECT_EQ(TcpState(host, pair.client), StreamEstablished);
        EXPECT_EQ(Credentials(host, "/nonexistent/server.pem", "/nonexistent/server.key"), -1);

        Str255 version("x"), cipher("x"), peer("x");
        int32_t ref = pair.client;
        EXPECT_EQ(host.CallInt(103, {&ref, version.bytes, cipher.bytes, peer.bytes}), -1);
        EXPECT_EQ(version.str() + cipher.str() + peer.str(), "");

        // The queued bytes go first, in plain text, both ways.
        EXPECT_EQ(TcpSend(host, pair.client, "plain", 0), 0);
        EXPECT_EQ(ReceiveAll(host, pair.listener, 12), "queued;plain");
        EXPECT_EQ(TcpSend(host, pair.listener, "back", 0), 0);
        EXPECT_EQ(ReceiveAll(host, pair.client, 4), "back");
    }
    // libssl.so.3 again: now the files are looked for, and are not found.
    ASSERT_TRUE(SetTlsLibrary(nullptr));
    InProcessHost host;
    EXPECT_EQ(Credentials(host, "/nonexistent/server.pem", "/nonexistent/server.key"), -43);
    EXPECT_FALSE(SetTlsLibrary("libzor-test-no-such-ssl.so.3"));  // loaded: it stays
}

}  // namespace
}  // namespace zor::test
