// text_support.h: what the text tests share: python3 as an oracle, temporary folders, a resource
// file without the translation tables, and the transformations done the long way, one replace-all
// pass at a time through HostSearchHandle, to hold the fast scans to.
#ifndef ZOR_TESTS_TEXT_SUPPORT_H
#define ZOR_TESTS_TEXT_SUPPORT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "zor/host_toolbox.h"
#include "support/files.h"

namespace zor::test {


// Runs /usr/bin/python3 on `program` with the bytes `input` in a file whose path is sys.argv[1];
// returns what the program writes to sys.stdout.buffer. Fails the test when python fails.
std::string Python(std::string_view program, std::string_view input = {});

// Points the host's resource layer at a resource file that holds no translation tables, for the
// life of the object.
struct TablesMissing {
    TempDir dir;
    TablesMissing();
    ~TablesMissing();
};

// The translation tables of the plug-in's resource file, or "" when missing.
std::string Table(const char* name);

class PluginHost;
struct Text;

enum : int32_t { kTextToHtml = 28, kHtmlToText = 29, kUrlEncode = 30, kUrlDecode = 31, kMacToIso = 32, kIsoToMac = 33 };

// Calls a text command through the plug-in on `text` (`mode` is argument 2 of commands 28 to 31) and
// returns the result's bytes, checking that the result is a new handle of the result's length.
std::string Convert(PluginHost& host, int32_t selector, Text& text, int32_t mode = 0);
// The same on a new text holding `bytes`, checking also that the caller's text is left as it was.
std::string Convert(PluginHost& host, int32_t selector, std::string_view bytes, int32_t mode = 0);

// The reference forms: each transformation as its ordered list of passes, each pass a loop of
// HostSearchHandle calls resuming after the replacement. Tables "" mean missing.
std::string ReferenceReplaceAll(std::string_view text, std::string_view search, std::string_view replacement);
std::string ReferenceEncodeHtml(std::string_view text, int32_t mode, const std::string& macToIso);
std::string ReferenceDecodeHtml(std::string_view text, int32_t mode, const std::string& isoToMac);

}  // namespace zor::test

#endif  // ZOR_TESTS_TEXT_SUPPORT_H
