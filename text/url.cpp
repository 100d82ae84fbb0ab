// url.cpp: URL and quoted-printable escapes, and commands 30 and 31.
#include <cstring>

#include "text/text.h"

namespace zor::text {
namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";

// Whether URL encoding escapes an ISO-8859-1 byte, in form mode (0) or in the other modes.
bool Escaped(unsigned char c, bool form) {
    if (c >= 0x80 || c == '<' || c == '>') return true;
    if (form) return c <= 0x1F || (c >= 0x21 && c <= 0x2F);
    return c <= 0x20 || c == '%';
}

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

TextBlock UrlEscape(const TextBlock& text, int32_t mode) {
    const int32_t n = TextLength(text);
    if (n == 0) return NewText(nullptr, 0);

    // Each Mac Roman byte's form: translated, then kept, turned into "+", or escaped.
    const unsigned char* toIso = LoadTable("Mac2ISO");
    const bool form = mode == 0;
    char forms[256][4];
    uint8_t lengths[256];
    for (int b = 0; b < 256; ++b) {
        const unsigned char c = toIso != nullptr ? toIso[b] : static_cast<unsigned char>(b);
        if (form && c == ' ') {
            forms[b][0] = '+', lengths[b] = 1;
        } else if (Escaped(c, form)) {
            forms[b][0] = '%', forms[b][1] = kUpperDigits[c >> 4], forms[b][2] = kUpperDigits[c & 15];
            lengths[b] = 3;
        } else {
            forms[b][0] = static_cast<char>(c), lengths[b] = 1;
        }
        forms[b][3] = 0;
    }

    const int32_t limit = n < kMaxTextLength / 3 ? 3 * n : kMaxTextLength;
    HostHandle result = HostNewHandle(limit + 4);  // room to copy four bytes before checking
    if (result == nullptr) return NewText(nullptr, 0);
    const auto* in = reinterpret_cast<const unsigned char*>(*text.handle);
    char* out = *result;
    int32_t o = 0;
    for (int32_t i = 0; i < n; ++i) {
        const unsigned char b = in[i];
        if (o + lengths[b] > limit) break;  // cut after the last whole escape
        std::memcpy(out + o, forms[b], 4);
        o += lengths[b];
    }
    HostSetHandleSize(result, o);
    return TextBlock{static_cast<int16_t>(o), result};
}

TextBlock UrlUnescape(const TextBlock& text, int32_t mode) {
    const int32_t n = TextLength(text);
    if (n == 0) return NewText(nullptr, 0);
    const unsigned char escape = mode == -1 ? '=' : '%';
    const bool plusIsSpace = mode == 0;

    // The translation to Mac Roman, applied to every byte as it is written (identity without a table):
    // `decoded` for the value of an escape, `literal` for every other byte, where in mode 0 a "+" is
    // first a space (a "+" that an escape gives stays a "+").
    const unsigned char* toMac = LoadTable("ISO2Mac");  // may allocate: before any address is taken
    unsigned char decoded[256], literal[256];
    for (int b = 0; b < 256; ++b) decoded[b] = toMac != nullptr ? toMac[b] : static_cast<unsigned char>(b);
    std::memcpy(literal, decoded, sizeof literal);
    if (plusIsSpace) literal[static_cast<unsigned char>('+')] = decoded[static_cast<unsigned char>(' ')];

    TextBlock result = NewText(*text.handle, n);
    if (result.length == 0) return result;
    auto* p = reinterpret_cast<unsigned char*>(*result.handle);
    int32_t o = 0;
    for (int32_t i = 0; i < n;) {
        // The bytes up to the next escape character.
        const void* hit = std::memchr(p + i, escape, static_cast<size_t>(n - i));
        const int32_t next = hit != nullptr ? static_cast<int32_t>(static_cast<const unsigned char*>(hit) - p) : n;
        for (; i < next; ++i) p[o++] = literal[p[i]];
        if (i == n) break;
        // An escape character: decoded with the two hexadecimal digits after it, or kept as it is.
        const int high = n - i > 2 ? HexValue(p[i + 1]) : -1, low = n - i > 2 ? HexValue(p[i + 2]) : -1;
        if (high >= 0 && low >= 0) {
            p[o++] = decoded[high << 4 | low];
            i += 3;
        } else {
            p[o++] = literal[escape];
            ++i;
        }
    }
    HostSetHandleSize(result.handle, o);
    result.length = static_cast<int16_t>(o);
    return result;
}

void UrlEncode(frame::CommandCall& call) {
    *frame::TextResult(call) = UrlEscape(frame::TextArg(call, 1), frame::IntArg(call, 2));
}

void UrlDecode(frame::CommandCall& call) {
    *frame::TextResult(call) = UrlUnescape(frame::TextArg(call, 1), frame::IntArg(call, 2));
}

}  // namespace zor::text
