// macroman.cpp: the Mac Roman character table and the UTF-8 coding around it (file names, the shell's texts).
#include "host/macroman.h"

#include <array>

namespace zor::host {
namespace {

// Code points of Mac Roman bytes 0x80 to 0xFF (0xDB is the euro sign, 0xF0 the private-use Apple logo).
constexpr char16_t kHighHalf[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5,
    0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3, 0x00F2, 0x00F4,
    0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6,
    0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8, 0x221E, 0x00B1, 0x2264, 0x2265,
    0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF,
    0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB, 0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5,
    0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044,
    0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02, 0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9,
    0x0131, 0x02C6, 0x02DC, 0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

// No code point appears twice, and none of the high half is ASCII: the table is one to one.
constexpr bool TableIsOneToOne() {
    for (int i = 0; i < 128; ++i) {
        if (kHighHalf[i] < 0x80) return false;
        for (int j = i + 1; j < 128; ++j)
            if (kHighHalf[i] == kHighHalf[j]) return false;
    }
    return true;
}
static_assert(TableIsOneToOne(), "Mac Roman table");

}  // namespace

char32_t MacRomanToUnicode(unsigned char byte) { return byte < 0x80 ? byte : kHighHalf[byte - 0x80]; }

bool UnicodeToMacRoman(char32_t code, unsigned char& byte) {
    if (code < 0x80) {
        byte = static_cast<unsigned char>(code);
        return true;
    }
    for (int i = 0; i < 128; ++i) {
        if (kHighHalf[i] == code) {
            byte = static_cast<unsigned char>(0x80 + i);
            return true;
        }
    }
    return false;
}

bool DecodeUtf8(std::string_view text, size_t& at, char32_t& code) {
    if (at >= text.size()) return false;
    const auto lead = static_cast<unsigned char>(text[at]);
    int more = 0;
    char32_t value = 0, least = 0;
    if (lead < 0x80) {
        code = lead;
        ++at;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        more = 1, value = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        more = 2, value = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        more = 3, value = lead & 0x07, least = 0x10000;
    } else {
        return false;
    }
    if (text.size() - at <= static_cast<size_t>(more)) return false;
    for (int i = 1; i <= more; ++i) {
        const auto c = static_cast<unsigned char>(text[at + i]);
        if ((c & 0xC0) != 0x80) return false;
        value = value << 6 | (c & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    code = value;
    at += static_cast<size_t>(more) + 1;
    return true;
}

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string MacRomanToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    for (const char c : bytes) AppendUtf8(out, MacRomanToUnicode(static_cast<unsigned char>(c)));
    return out;
}

bool IsUtf8(std::string_view bytes) {
    char32_t code = 0;
    for (size_t at = 0; at < bytes.size();)
        if (!DecodeUtf8(bytes, at, code)) return false;
    return true;
}

bool Utf8ToMacRoman(std::string_view utf8, std::string& out, size_t& badOffset) {
    out.clear();
    for (size_t at = 0; at < utf8.size();) {
        const size_t start = at;
        char32_t code = 0;
        unsigned char byte = 0;
        if (!DecodeUtf8(utf8, at, code) || !UnicodeToMacRoman(code, byte)) {
            badOffset = start;
            return false;
        }
        out += static_cast<char>(byte);
    }
    return true;
}

}  // namespace zor::host
