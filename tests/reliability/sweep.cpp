// sweep.cpp: helpers of the reliability tests.
#include "sweep.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace zor::test {

std::string Pattern(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

std::string ResourceFork(const std::string& path) {
    const Str255 name(path);
    HostForkRef fork = 0;
    if (HostOpenResourceFork(name.bytes, 0, &fork) != HostNoErr) return "<none>";
    std::string bytes;
    char buffer[4096];
    for (;;) {
        int32_t count = sizeof buffer;
        const int16_t status = HostReadFork(fork, &count, buffer);
        bytes.append(buffer, size_t(count));
        if (status != HostNoErr) break;
    }
    (void)HostCloseFork(fork);
    return bytes;
}

void SetResourceFork(const std::string& path, const std::string& bytes) {
    const Str255 name(path);
    HostForkRef fork = 0;
    ASSERT_EQ(HostOpenResourceFork(name.bytes, 0, &fork), HostNoErr);
    int32_t count = static_cast<int32_t>(bytes.size());
    EXPECT_EQ(HostWriteFork(fork, &count, bytes.data()), HostNoErr);
    EXPECT_EQ(HostCloseFork(fork), HostNoErr);
}

std::string FolderListing(const std::string& path) {
    std::vector<std::string> lines;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        const std::string bytes = ReadFile(entry.path().string());
        uint32_t sum = 0;
        for (unsigned char c : bytes) sum = sum * 31 + c;
        lines.push_back(entry.path().filename().string() + " " + std::to_string(bytes.size()) + " " +
                        std::to_string(sum) + "\n");
    }
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const auto& line : lines) all += line;
    return all;
}

int32_t FileCommand(PluginHost& host, int32_t selector, const std::string& from, const std::string& to) {
    Str255 source(from), destination(to);
    return host.CallInt(selector, {source.bytes, destination.bytes});
}

TextOutcome CallTextCommand(PluginHost& host, int32_t selector, Text& input, int32_t mode, bool withMode) {
    Text result;
    if (withMode) host.CallText(selector, {&input.block, &mode}, result);
    else host.CallText(selector, {&input.block}, result);
    TextOutcome outcome;
    outcome.handle = result.block.handle != nullptr;
    outcome.bytes = result.str();
    return outcome;
}

std::string SmallGif() {
    static const unsigned char kGif[] = {
        0x47, 0x49, 0x46, 0x38, 0x37, 0x61, 0x04, 0x00, 0x03, 0x00, 0x81, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00,
        0xFF, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x03, 0x00,
        0x00, 0x08, 0x0C, 0x00, 0x01, 0x04, 0x10, 0x30, 0x40, 0x20, 0x41, 0x83, 0x03, 0x02, 0x02, 0x00, 0x3B};
    return std::string(reinterpret_cast<const char*>(kGif), sizeof kGif);
}

}  // namespace zor::test
