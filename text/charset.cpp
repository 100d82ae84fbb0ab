// charset.cpp: texts and their limits, the Mac Roman and ISO-8859-1 translations, commands 32 and 33.
#include <cstring>

#include "text/text.h"

namespace zor::text {

int32_t TextLength(const TextBlock& text) {
    if (text.handle == nullptr || *text.handle == nullptr || text.length < 1) return 0;
    const int32_t size = HostGetHandleSize(text.handle);
    return text.length < size ? text.length : size;
}

TextBlock NewText(const void* bytes, int32_t length) {
    if (length < 0) length = 0;
    if (length > kMaxTextLength) length = kMaxTextLength;
    TextBlock result{0, HostNewHandle(length)};
    if (result.handle == nullptr) {
        result.handle = HostNewHandle(0);
        return result;
    }
    if (length > 0) std::memcpy(*result.handle, bytes, static_cast<size_t>(length));
    result.length = static_cast<int16_t>(length);
    return result;
}

const unsigned char* LoadTable(const char* name) {
    unsigned char counted[256];
    const size_t n = std::strlen(name);
    counted[0] = static_cast<unsigned char>(n);
    std::memcpy(counted + 1, name, n);
    HostHandle table = HostGetNamedResource(HostResourceType("ZORc"), counted);
    // A table of another size would be read past its end: such a resource counts as missing.
    if (table == nullptr || *table == nullptr || HostGetHandleSize(table) != 256) return nullptr;
    return reinterpret_cast<const unsigned char*>(*table);
}

namespace {

void Translate(TextBlock& text, const char* tableName) {
    const int32_t length = TextLength(text);
    if (length == 0) return;  // an empty text loads no table
    const unsigned char* table = LoadTable(tableName);
    if (table == nullptr) return;
    auto* p = reinterpret_cast<unsigned char*>(*text.handle);
    for (int32_t i = 0; i < length; ++i) p[i] = table[p[i]];
}

// Commands 32 and 33: a translated copy; the caller's text is left as it is.
void TranslatedCopy(frame::CommandCall& call, void (*translate)(TextBlock&)) {
    const TextBlock& text = frame::TextArg(call, 1);
    TextBlock result = NewText(text.handle != nullptr ? *text.handle : nullptr, TextLength(text));
    translate(result);
    *frame::TextResult(call) = result;
}

}  // namespace

void TranslateMacToIso(TextBlock& text) { Translate(text, "Mac2ISO"); }

void TranslateIsoToMac(TextBlock& text) { Translate(text, "ISO2Mac"); }

void MacToIso(frame::CommandCall& call) { TranslatedCopy(call, TranslateMacToIso); }

void IsoToMac(frame::CommandCall& call) { TranslatedCopy(call, TranslateIsoToMac); }

}  // namespace zor::text
