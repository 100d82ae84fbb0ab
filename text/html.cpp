// html.cpp: HTML entities: the replacement tables, EncodeHtml, DecodeHtml, StripTagsAndDecode, and
// commands 28 and 29.
//
// The transformations are defined as ordered lists of replace-all passes. They run here as one or two
// scans with the same result: encoding maps each byte to a fixed string, because no pass's output
// holds a byte a later pass searches for (apart from the "& " pair, handled by looking one byte
// ahead); decoding decodes numeric references in a first scan, then "&amp;" and every other entity in
// a second, because named entities never overlap and no replacement byte is part of a later name.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "text/text.h"

namespace zor::text {

const BytePair kTypographicTable[6] = {
    {0xB2, "<="}, {0xB3, ">="}, {0xD2, "\""}, {0xD3, "\""}, {0xD4, "'"}, {0xD5, "'"},
};

const MarkupPair kMarkupTable[4] = {
    {"&", "&amp;"}, {"<", "&lt;"}, {">", "&gt;"}, {"\"", "&quot;"},
};

// The rows "&sup1;", "&sup2;" and "&sup3;" have no Mac Roman byte of their own: they decode to what
// the numeric references of their ISO-8859-1 codes decode to (see kSuperscripts).
const EntityRow kEntityTable[kEntityCount] = {
    {"&nbsp;", 0xCA, true},    {"&iexcl;", 0xC1, true},   {"&cent;", 0xA2, true},
    {"&pound;", 0xA3, true},   {"&curren;", 0xDB, true},  {"&yen;", 0xB4, true},
    {"&brvbar;", 0x7C, false}, {"&sect;", 0xA4, true},    {"&uml;", 0xAC, true},
    {"&copy;", 0xA9, true},    {"&ordf;", 0xBB, true},    {"&laquo;", 0xC7, true},
    {"&not;", 0xC2, true},     {"&shy;", 0xD0, true},     {"&reg;", 0xA8, true},
    {"&macr;", 0xF8, true},    {"&deg;", 0xA1, true},     {"&plusmn;", 0xB1, true},
    {"&sup2;", 0x00, false},   {"&sup3;", 0x00, false},   {"&acute;", 0xAB, true},
    {"&micro;", 0xB5, true},   {"&para;", 0xA6, true},    {"&middot;", 0xE1, false},
    {"&cedil;", 0xFC, true},   {"&sup1;", 0x00, false},   {"&ordm;", 0xBC, true},
    {"&raquo;", 0xC8, true},   {"&iquest;", 0xC0, true},  {"&Agrave;", 0xCB, true},
    {"&Aacute;", 0xE7, true},  {"&Acirc;", 0xE5, true},   {"&Atilde;", 0xCC, true},
    {"&Auml;", 0x80, true},    {"&Aring;", 0x81, true},   {"&AElig;", 0xAE, true},
    {"&Ccedil;", 0x82, true},  {"&Egrave;", 0xE9, true},  {"&Eacute;", 0x83, true},
    {"&Ecirc;", 0xE6, true},   {"&Euml;", 0xE8, true},    {"&Igrave;", 0xED, true},
    {"&Iacute;", 0xEA, true},  {"&Icirc;", 0xEB, true},   {"&Iuml;", 0xEC, true},
    {"&ETH;", 0xDC, true},     {"&Ntilde;", 0x84, true},  {"&Ograve;", 0xF1, true},
    {"&Oacute;", 0xEE, true},  {"&Ocirc;", 0xEF, true},   {"&Otilde;", 0xCD, true},
    {"&Ouml;", 0x85, true},    {"&times;", 0x78, false},  {"&Oslash;", 0xAF, true},
    {"&Ugrave;", 0xF4, true},  {"&Uacute;", 0xF2, true},  {"&Ucirc;", 0xF3, true},
    {"&Uuml;", 0x86, true},    {"&Yacute;", 0xA0, true},  {"&THORN;", 0xDE, true},
    {"&szlig;", 0xA7, true},   {"&agrave;", 0x88, true},  {"&aacute;", 0x87, true},
    {"&acirc;", 0x89, true},   {"&atilde;", 0x8B, true},  {"&auml;", 0x8A, true},
    {"&aring;", 0x8C, true},   {"&aelig;", 0xBE, true},   {"&ccedil;", 0x8D, true},
    {"&egrave;", 0x8F, true},  {"&eacute;", 0x8E, true},  {"&ecirc;", 0x90, true},
    {"&euml;", 0x91, true},    {"&igrave;", 0x93, true},  {"&iacute;", 0x92, true},
    {"&icirc;", 0x94, true},   {"&iuml;", 0x95, true},    {"&eth;", 0xDD, true},
    {"&ntilde;", 0x96, true},  {"&ograve;", 0x98, true},  {"&oacute;", 0x97, true},
    {"&ocirc;", 0x99, true},   {"&otilde;", 0x9B, true},  {"&ouml;", 0x9A, true},
    {"&divide;", 0xD6, true},  {"&oslash;", 0xBF, true},  {"&ugrave;", 0x9D, true},
    {"&uacute;", 0x9C, true},  {"&ucirc;", 0x9E, true},   {"&uuml;", 0x9F, true},
    {"&yacute;", 0xE0, true},  {"&thorn;", 0xDF, true},   {"&yuml;", 0xD8, true},
};

const BytePair kApproximationTable[5] = {
    {0xA5, "*"}, {0xAA, "(TM)"}, {0xC9, "..."}, {0xCF, "oe"}, {0xCE, "OE"},
};

namespace {

// The superscript rows and the ISO-8859-1 codes whose numeric references they decode like.
struct Superscript {
    int row;       // index in kEntityTable
    int isoCode;   // 185, 178, 179
};
constexpr Superscript kSuperscripts[3] = {{18, 178}, {19, 179}, {25, 185}};

// ---- Encoding ----------------------------------------------------------------------------------------
// What one Mac Roman byte becomes after the passes before the translation (typographic, markup,
// entities, approximations), for mode 0 and for the other modes. At most 8 bytes.
struct MacForms {
    std::array<std::string, 256> mode0;
    std::array<std::string, 256> other;
};

const MacForms& Forms() {
    static const MacForms forms = [] {
        MacForms f;
        for (int b = 0; b < 256; ++b) {
            // Each pass replaces the byte at most once, and its output holds no byte that a later
            // pass of the same list searches for, except the markup characters of the typographic
            // table, which mode 0's markup pass then escapes.
            std::string s(1, static_cast<char>(b));
            for (const BytePair& p : kTypographicTable)
                if (s.size() == 1 && static_cast<unsigned char>(s[0]) == p.macByte) s = p.becomes;
            std::string marked;
            for (char c : s) {
                const MarkupPair* m = nullptr;
                for (const MarkupPair& row : kMarkupTable)
                    if (c == row.character[0]) m = &row;
                marked += m != nullptr ? std::string(m->entity) : std::string(1, c);
            }
            f.other[b] = s;  // "& " needs the next byte: the scan handles it
            f.mode0[b] = marked;
            for (std::string* form : {&f.mode0[b], &f.other[b]}) {
                if (form->size() != 1) continue;
                const auto c = static_cast<unsigned char>((*form)[0]);
                bool done = false;
                for (const EntityRow& row : kEntityTable)
                    if (!done && row.bothWays && row.macByte == c) *form = row.entity, done = true;
                for (const BytePair& row : kApproximationTable)
                    if (!done && row.macByte == c) *form = row.becomes, done = true;
            }
        }
        return f;
    }();
    return forms;
}

// A byte's final form: its Mac form translated to ISO-8859-1, each byte still at or above 0x80 as a
// numeric reference.
constexpr int kMaxForm = 8 * 6;
struct Form {
    uint8_t length;
    char bytes[kMaxForm];
};

void FinishForm(const std::string& mac, const unsigned char* toIso, Form& form) {
    form.length = 0;
    std::memset(form.bytes, 0, sizeof form.bytes);
    for (char c : mac) {
        unsigned char b = static_cast<unsigned char>(c);
        if (toIso != nullptr) b = toIso[b];
        if (b < 0x80) {
            form.bytes[form.length++] = static_cast<char>(b);
        } else {
            const char reference[6] = {'&', '#', static_cast<char>('0' + b / 100),
                                       static_cast<char>('0' + b / 10 % 10), static_cast<char>('0' + b % 10), ';'};
            std::memcpy(form.bytes + form.length, reference, sizeof reference);
            form.length += 6;
        }
    }
}

// ---- Decoding ----------------------------------------------------------------------------------------
// Entity names (between "&" and ";", at most 7 bytes) packed into a number with their length, and
// found in an open-addressing hash table.
constexpr int kMaxName = 7;
uint64_t PackName(const unsigned char* name, int length) {
    uint64_t key = 0;
    for (int i = 0; i < length; ++i) key = key << 8 | name[i];
    return key | static_cast<uint64_t>(length) << 56;
}

enum : int16_t { kLt = -1, kGt = -2, kQuot = -3 };  // markup rows; others index kEntityTable
struct NameEntry {
    uint64_t key;  // 0: an empty slot
    int16_t row;
};

constexpr int kSlotBits = 8;
struct NameIndex {
    std::array<NameEntry, 1 << kSlotBits> slots;
    int longest;  // the longest name
};

uint32_t Slot(uint64_t key) { return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits)); }

const NameIndex& Names() {
    static const NameIndex index = [] {
        NameIndex ix{};
        ix.longest = 0;
        auto add = [&](const char* entity, int16_t row) {
            const int length = std::min(static_cast<int>(std::strlen(entity)) - 2, kMaxName);
            const uint64_t key = PackName(reinterpret_cast<const unsigned char*>(entity) + 1, length);
            uint32_t slot = Slot(key);
            while (ix.slots[slot].key != 0) slot = (slot + 1) & ((1 << kSlotBits) - 1);
            ix.slots[slot] = {key, row};
            ix.longest = std::max(ix.longest, length);
        };
        add("&lt;", kLt);
        add("&gt;", kGt);
        add("&quot;", kQuot);
        for (int16_t r = 0; r < kEntityCount; ++r) add(kEntityTable[r].entity, r);
        return ix;
    }();
    return index;
}

// Decoding state of one call: the "ISO2Mac" table, fetched at the first use.
struct DecodeState {
    bool tableLoaded = false;
    const unsigned char* isoToMac = nullptr;
    unsigned char FromIso(int code) {
        if (!tableLoaded) {
            isoToMac = LoadTable("ISO2Mac");
            tableLoaded = true;
        }
        return isoToMac != nullptr ? isoToMac[code] : static_cast<unsigned char>(code);
    }
};

// The entity "&" + p[at, ...) names, when there is one: its byte and the index just past its ";".
bool FindEntity(const unsigned char* p, int32_t at, int32_t n, bool markup, DecodeState& state,
                unsigned char& byte, int32_t& end) {
    const NameIndex& names = Names();
    const int32_t last = std::min(n, at + names.longest + 1);
    int32_t semicolon = at;
    uint64_t key = 0;
    while (semicolon < last && p[semicolon] != ';') key = key << 8 | p[semicolon++];
    if (semicolon >= last || semicolon == at) return false;
    key |= static_cast<uint64_t>(semicolon - at) << 56;
    const NameEntry* hit = nullptr;
    for (uint32_t slot = Slot(key); names.slots[slot].key != 0; slot = (slot + 1) & ((1 << kSlotBits) - 1)) {
        if (names.slots[slot].key == key) {
            hit = &names.slots[slot];
            break;
        }
    }
    if (hit == nullptr) return false;
    if (hit->row < 0 && !markup) return false;
    switch (hit->row) {
        case kLt: byte = '<'; break;
        case kGt: byte = '>'; break;
        case kQuot: byte = '"'; break;
        default: {
            byte = kEntityTable[hit->row].macByte;
            for (const Superscript& s : kSuperscripts)
                if (s.row == hit->row) byte = state.FromIso(s.isoCode);
        }
    }
    end = semicolon + 1;
    return true;
}

// Moves the bytes from p[i] up to the next "&" (or the end) down to p[out]; returns the "&"'s index.
int32_t CopyToAmpersand(unsigned char* p, int32_t& out, int32_t i, int32_t n) {
    const void* hit = std::memchr(p + i, '&', static_cast<size_t>(n - i));
    const int32_t next = hit != nullptr ? static_cast<int32_t>(static_cast<const unsigned char*>(hit) - p) : n;
    if (out != i) std::memmove(p + out, p + i, static_cast<size_t>(next - i));
    out += next - i;
    return next;
}

// Decodes p[0, n) in place (the text only shrinks); returns the new length. Nothing is read past n.
int32_t DecodeInPlace(HostHandle h, int32_t n, int32_t mode) {
    DecodeState state;
    // Fetching the table may allocate, so it is fetched before the block's address is taken.
    state.FromIso(0);
    auto* p = reinterpret_cast<unsigned char*>(*h);

    // Numeric references "&#N;", N one or more decimal digits worth at most 255.
    int32_t out = 0;
    for (int32_t i = CopyToAmpersand(p, out, 0, n); i < n; i = CopyToAmpersand(p, out, i, n)) {
        if (i + 1 < n && p[i + 1] == '#') {
            int32_t j = i + 2;
            int value = 0;
            while (j < n && p[j] >= '0' && p[j] <= '9' && value <= 255) value = value * 10 + (p[j++] - '0');
            if (j > i + 2 && value <= 255 && j < n && p[j] == ';') {
                p[out++] = state.FromIso(value);
                i = j + 1;
                continue;
            }
        }
        p[out++] = p[i++];
    }
    n = out;

    // "&amp;" (mode 0 only) and then every other entity, in one scan: an "&" that "&amp;" leaves
    // starts an entity when the text after "&amp;" is one of the other names and its ";".
    const bool markup = mode == 0;
    out = 0;
    for (int32_t i = CopyToAmpersand(p, out, 0, n); i < n; i = CopyToAmpersand(p, out, i, n)) {
        unsigned char byte = '&';
        int32_t end = i + 1;
        if (markup && n - i >= 5 && std::memcmp(p + i, "&amp;", 5) == 0) {
            end = i + 5;
            FindEntity(p, i + 5, n, markup, state, byte, end);
        } else {
            FindEntity(p, i + 1, n, markup, state, byte, end);
        }
        p[out++] = byte;
        i = end;
    }
    return out;
}

TextBlock Decoded(TextBlock work, int32_t mode) {
    if (work.length == 0) return work;
    const int32_t n = DecodeInPlace(work.handle, work.length, mode);
    HostSetHandleSize(work.handle, n);  // shrinking
    work.length = static_cast<int16_t>(n);
    return work;
}

}  // namespace

TextBlock EncodeHtml(const TextBlock& text, int32_t mode) {
    const int32_t n = TextLength(text);
    if (n == 0) return NewText(nullptr, 0);

    // Every byte's final form, from the passes' tables and the translation table of this call.
    const unsigned char* toIso = LoadTable("Mac2ISO");
    const MacForms& forms = Forms();
    Form form[256];
    Form ampersandSpace;  // other modes: "&" followed by a space
    int longest = 1;
    for (int b = 0; b < 256; ++b) {
        FinishForm(mode == 0 ? forms.mode0[b] : forms.other[b], toIso, form[b]);
        longest = std::max<int>(longest, form[b].length);
    }
    FinishForm("&amp;", toIso, ampersandSpace);
    longest = std::max<int>(longest, ampersandSpace.length);

    const int64_t worst = static_cast<int64_t>(n) * longest;
    const int32_t limit = worst < kMaxTextLength ? static_cast<int32_t>(worst) : kMaxTextLength;
    HostHandle result = HostNewHandle(limit + kMaxForm);  // room to copy whole forms before checking
    if (result == nullptr) return NewText(nullptr, 0);

    const auto* in = reinterpret_cast<const unsigned char*>(*text.handle);
    char* out = *result;
    int32_t o = 0;
    for (int32_t i = 0; i < n; ++i) {
        const unsigned char b = in[i];
        const Form* f = &form[b];
        if (b == '&' && mode != 0 && i + 1 < n && in[i + 1] == ' ') f = &ampersandSpace;
        if (o + f->length > limit) break;  // cut after the last whole form
        if (f->length <= 8) {
            std::memcpy(out + o, f->bytes, 8);
        } else {
            std::memcpy(out + o, f->bytes, f->length);
        }
        o += f->length;
    }
    HostSetHandleSize(result, o);
    return TextBlock{static_cast<int16_t>(o), result};
}

TextBlock DecodeHtml(const TextBlock& text, int32_t mode) {
    const int32_t n = TextLength(text);
    if (n == 0) return NewText(nullptr, 0);
    return Decoded(NewText(*text.handle, n), mode);
}

TextBlock StripTagsAndDecode(const TextBlock& text) {
    const int32_t n = TextLength(text);
    if (n == 0) return NewText(nullptr, 0);
    TextBlock work = NewText(*text.handle, n);
    if (work.length == 0) return work;
    // Outside a tag every byte but "<" is kept; inside, everything up to and with the first ">" goes.
    char* p = *work.handle;
    int32_t kept = 0;
    bool inTag = false;
    for (int32_t i = 0; i < n; ++i) {
        if (inTag) {
            inTag = p[i] != '>';
        } else if (p[i] == '<') {
            inTag = true;
        } else {
            p[kept++] = p[i];
        }
    }
    HostSetHandleSize(work.handle, kept);
    work.length = static_cast<int16_t>(kept);
    return Decoded(work, 0);
}

void TextToHtml(frame::CommandCall& call) {
    *frame::TextResult(call) = EncodeHtml(frame::TextArg(call, 1), frame::IntArg(call, 2));
}

void HtmlToText(frame::CommandCall& call) {
    const int32_t mode = frame::IntArg(call, 2);
    const TextBlock& text = frame::TextArg(call, 1);
    *frame::TextResult(call) = mode == 2 ? StripTagsAndDecode(text) : DecodeHtml(text, mode);
}

}  // namespace zor::text
