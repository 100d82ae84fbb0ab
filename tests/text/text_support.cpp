// text_support.cpp: oracles, temporary folders and the pass-by-pass reference transformations.
#include "text/text_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/plugin_host.h"
#include "text/text.h"

namespace zor::test {

std::string Python(std::string_view program, std::string_view input) {
    TempDir dir;
    WriteFile(dir.File("program.py"), program);
    WriteFile(dir.File("input"), input);
    const std::string command = "/usr/bin/python3 " + dir.File("program.py") + " " + dir.File("input") +
                                " > " + dir.File("output");
    const int status = std::system(command.c_str());
    EXPECT_EQ(status, 0) << program;
    return ReadFile(dir.File("output"));
}

TablesMissing::TablesMissing() {
    WriteFile(dir.File("empty.list"), "# no resources\n");
    const std::string command = "/usr/bin/python3 " ZOR_SOURCE_DIR "/resources/mkrsrc.py " +
                                dir.File("empty.list") + " " + dir.File("empty.rsrc");
    EXPECT_EQ(std::system(command.c_str()), 0);
    HostSetResourcePath(dir.File("empty.rsrc").c_str());
}

TablesMissing::~TablesMissing() { HostSetResourcePath(nullptr); }

std::string Table(const char* name) {
    const unsigned char* table = text::LoadTable(name);
    return table == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(table), 256);
}

namespace {

// The passes, as the host's HostSearchHandle does them.
void Pass(HostHandle h, std::string_view search, std::string_view replacement) {
    int32_t at = 0;
    do {
        at = HostSearchHandle(h, at, search.data(), static_cast<int32_t>(search.size()), replacement.data(),
                              static_cast<int32_t>(replacement.size()));
    } while (at > 0);
}

std::string Translated(std::string s, const std::string& table) {
    if (table.empty()) return s;
    for (char& c : s) c = table[static_cast<unsigned char>(c)];
    return s;
}

std::string Byte(unsigned char b) { return std::string(1, static_cast<char>(b)); }

}  // namespace

std::string Convert(PluginHost& host, int32_t selector, Text& text, int32_t mode) {
    Text result;
    if (selector >= kMacToIso) {
        host.CallText(selector, {&text.block}, result);
    } else {
        host.CallText(selector, {&text.block, &mode}, result);
    }
    EXPECT_NE(result.block.handle, nullptr);
    EXPECT_NE(result.block.handle, text.block.handle);
    EXPECT_GE(result.block.length, 0);
    EXPECT_EQ(HostGetHandleSize(result.block.handle), result.block.length) << "selector " << selector;
    return result.str();
}

std::string Convert(PluginHost& host, int32_t selector, std::string_view bytes, int32_t mode) {
    Text text(bytes);
    const HostHandle before = text.block.handle;
    std::string result = Convert(host, selector, text, mode);
    EXPECT_EQ(text.block.handle, before);
    EXPECT_EQ(text.block.length, static_cast<int16_t>(bytes.size()));
    EXPECT_EQ(HandleBytes(text.block.handle), bytes) << "the caller's text changed, selector " << selector;
    return result;
}

std::string ReferenceReplaceAll(std::string_view text, std::string_view search, std::string_view replacement) {
    HostHandle h = NewHandleWith(text);
    Pass(h, search, replacement);
    std::string result = HandleBytes(h);
    HostDisposeHandle(h);
    return result;
}

std::string ReferenceEncodeHtml(std::string_view text, int32_t mode, const std::string& macToIso) {
    if (text.empty()) return {};
    HostHandle h = NewHandleWith(text);
    for (const text::BytePair& p : text::kTypographicTable) Pass(h, Byte(p.macByte), p.becomes);
    if (mode == 0) {
        for (const text::MarkupPair& p : text::kMarkupTable) Pass(h, p.character, p.entity);
    } else {
        Pass(h, "& ", "&amp; ");
    }
    for (const text::EntityRow& row : text::kEntityTable)
        if (row.bothWays) Pass(h, Byte(row.macByte), row.entity);
    for (const text::BytePair& p : text::kApproximationTable) Pass(h, Byte(p.macByte), p.becomes);
    std::string s = Translated(HandleBytes(h), macToIso);
    HostDisposeHandle(h);
    h = NewHandleWith(s);
    for (int32_t i = 0; i < HostGetHandleSize(h);) {
        const auto b = static_cast<unsigned char>((*h)[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        const std::string reference = "&#" + std::to_string(b) + ";";
        i = HostSearchHandle(h, i, &b, 1, reference.data(), static_cast<int32_t>(reference.size()));
    }
    s = HandleBytes(h);
    HostDisposeHandle(h);
    return s;
}

std::string ReferenceDecodeHtml(std::string_view text, int32_t mode, const std::string& isoToMac) {
    if (text.empty()) return {};
    auto fromIso = [&](int code) {
        return isoToMac.empty() ? static_cast<char>(code) : isoToMac[static_cast<size_t>(code)];
    };
    // Numeric references, shrinking the text in place.
    std::string s(text);
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '&' || i + 1 >= s.size() || s[i + 1] != '#') continue;
        size_t j = i + 2;
        int value = 0;
        while (j < s.size() && s[j] >= '0' && s[j] <= '9' && value <= 255) value = value * 10 + (s[j++] - '0');
        if (j == i + 2 || value > 255 || j >= s.size() || s[j] != ';') continue;
        s[i] = fromIso(value);
        s.erase(i + 1, j - i);
    }
    HostHandle h = NewHandleWith(s);
    if (mode == 0)
        for (const text::MarkupPair& p : text::kMarkupTable) Pass(h, p.entity, p.character);
    for (const text::EntityRow& row : text::kEntityTable) {
        std::string byte = Byte(row.macByte);
        const std::string_view name(row.entity);
        if (name == "&sup1;") byte = std::string(1, fromIso(185));
        if (name == "&sup2;") byte = std::string(1, fromIso(178));
        if (name == "&sup3;") byte = std::string(1, fromIso(179));
        Pass(h, row.entity, byte);
    }
    s = HandleBytes(h);
    HostDisposeHandle(h);
    return s;
}

}  // namespace zor::test
