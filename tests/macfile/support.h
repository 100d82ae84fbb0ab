// support.h: what the Macintosh-file tests share: a temporary folder, files as bytes, Finder
// information set through the host layer, the commands called through the plug-in's interface.
#ifndef ZOR_TESTS_MACFILE_SUPPORT_H
#define ZOR_TESTS_MACFILE_SUPPORT_H

#include <gtest/gtest.h>

#include <string>

#include "support/files.h"
#include "support/plugin_host.h"

namespace zor::test {

// Deterministic bytes.
std::string Pattern(size_t n, uint32_t seed);
// Sets type, creator, flags and resource fork of an existing file through the host layer.
void SetMacInfo(const std::string& path, const char* type, const char* creator, uint16_t flags,
                const std::string& resource);
HostFinderInfo FinderOf(const std::string& path);
std::string ResourceOf(const std::string& path);
// Runs a shell command; its exit status.
int Shell(const std::string& command);

// The four commands through RozoZIvav.
int32_t MacBinaryEncode(PluginHost& host, const std::string& from, const std::string& to);
int32_t MacBinaryDecode(PluginHost& host, const std::string& from, const std::string& to);
int32_t BinHexEncode(PluginHost& host, const std::string& from, const std::string& to);
int32_t BinHexDecode(PluginHost& host, const std::string& from, const std::string& to);

}  // namespace zor::test

#endif
