// support.cpp: helpers of the Macintosh-file tests.
#include "support.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace zor::test {

std::string Pattern(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        // Runs and 0x90 bytes now and then, so escapes and repeats are exercised.
        s[i] = static_cast<char>((x & 0x1F) == 0 ? 0x90 : (x & 0x3F) < 8 ? 0x41 : x >> 8);
    }
    return s;
}

void SetMacInfo(const std::string& path, const char* type, const char* creator, uint16_t flags,
                const std::string& resource) {
    Str255 name(path);
    HostFinderInfo info{};
    ASSERT_EQ(HostGetFinderInfo(name.bytes, 0, &info), 0);
    info.type = HostResourceType(type);
    info.creator = HostResourceType(creator);
    info.flags = flags;
    ASSERT_EQ(HostSetFinderInfo(name.bytes, 0, &info), 0);
    HostForkRef fork = 0;
    ASSERT_EQ(HostOpenResourceFork(name.bytes, 0, &fork), 0);
    ASSERT_EQ(HostSetForkLength(fork, 0), 0);
    int32_t count = static_cast<int32_t>(resource.size());
    ASSERT_EQ(HostWriteFork(fork, &count, resource.data()), 0);
    ASSERT_EQ(HostCloseFork(fork), 0);
}

HostFinderInfo FinderOf(const std::string& path) {
    Str255 name(path);
    HostFinderInfo info{};
    EXPECT_EQ(HostGetFinderInfo(name.bytes, 0, &info), 0) << path;
    return info;
}

std::string ResourceOf(const std::string& path) {
    Str255 name(path);
    HostForkRef fork = 0;
    EXPECT_EQ(HostOpenResourceForkIn(0, 0, name.bytes, HostPermRead, &fork), 0) << path;
    std::string out;
    char buffer[65536];
    int16_t status = 0;
    while (status == 0) {
        int32_t count = sizeof buffer;
        status = HostReadFork(fork, &count, buffer);
        out.append(buffer, static_cast<size_t>(count));
    }
    EXPECT_EQ(status, HostEofErr);
    EXPECT_EQ(HostCloseFork(fork), 0);
    return out;
}

int Shell(const std::string& command) {
    int status = std::system(("( " + command + " ) >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {
int32_t Run(PluginHost& host, int32_t selector, const std::string& from, const std::string& to) {
    Str255 a(from), b(to), c("untouched");
    int32_t result = selector == 18 || selector == 20 ? host.CallInt(selector, {a.bytes, b.bytes, c.bytes})
                                                      : host.CallInt(selector, {a.bytes, b.bytes});
    if (selector == 18 || selector == 20) {
        EXPECT_EQ(c.bytes[0], 0) << "the third argument comes back empty";
    }
    return result;
}
}  // namespace

int32_t MacBinaryEncode(PluginHost& host, const std::string& from, const std::string& to) { return Run(host, 17, from, to); }
int32_t MacBinaryDecode(PluginHost& host, const std::string& from, const std::string& to) { return Run(host, 18, from, to); }
int32_t BinHexEncode(PluginHost& host, const std::string& from, const std::string& to) { return Run(host, 19, from, to); }
int32_t BinHexDecode(PluginHost& host, const std::string& from, const std::string& to) { return Run(host, 20, from, to); }

}  // namespace zor::test
