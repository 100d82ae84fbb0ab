// macroman.h: Mac Roman bytes to and from UTF-8: names on disk, and the shell's strings and printed texts.
#ifndef ZOR_HOST_MACROMAN_H
#define ZOR_HOST_MACROMAN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zor::host {

// The Unicode code point of a Mac Roman byte (bytes below 0x80 are ASCII).
char32_t MacRomanToUnicode(unsigned char byte);

// The Mac Roman byte of a code point; false when the character has none.
bool UnicodeToMacRoman(char32_t code, unsigned char& byte);

// Decodes one UTF-8 sequence at text[at]; on success sets `code` and advances `at`. Overlong forms,
// surrogates, code points above U+10FFFF and truncated sequences are refused.
bool DecodeUtf8(std::string_view text, size_t& at, char32_t& code);

// Appends the UTF-8 form of a code point.
void AppendUtf8(std::string& out, char32_t code);

// Mac Roman bytes as UTF-8 (every byte has a character).
std::string MacRomanToUtf8(std::string_view bytes);

// True when the bytes are well-formed UTF-8 throughout (as DecodeUtf8 reads it).
bool IsUtf8(std::string_view bytes);

// UTF-8 text as Mac Roman bytes. On failure returns false and sets `badOffset` to the offset of the
// sequence that is not UTF-8 or whose character Mac Roman lacks.
bool Utf8ToMacRoman(std::string_view utf8, std::string& out, size_t& badOffset);

}  // namespace zor::host

#endif  // ZOR_HOST_MACROMAN_H
