// text.cpp: numbers to and from counted strings, and Mac Roman string comparison.
#include <cstring>

#include "host/host_internal.h"

namespace {

// Mac Roman letters folded for comparison: upper case to lower case; with accents ignored, an
// accented letter to its base letter. Bytes without a fold map to themselves.
struct Folds {
    unsigned char lower[256];     // case folding only
    unsigned char unaccent[256];  // accents removed (applied after case folding)
};

constexpr Folds MakeFolds() {
    Folds f{};
    for (int i = 0; i < 256; ++i) f.lower[i] = f.unaccent[i] = static_cast<unsigned char>(i);
    for (int c = 'A'; c <= 'Z'; ++c) f.lower[c] = static_cast<unsigned char>(c + 32);
    // Mac Roman upper-case accented letters and their lower-case forms.
    const unsigned char pairs[][2] = {
        {0x80, 0x8A}, {0x81, 0x8C}, {0x82, 0x8D}, {0x83, 0x8E}, {0x84, 0x96}, {0x85, 0x9A},
        {0x86, 0x9F}, {0xAE, 0xBE}, {0xAF, 0xBF}, {0xCB, 0x88}, {0xCC, 0x8B}, {0xCD, 0x9B},
        {0xCE, 0xCF}, {0xD9, 0xD8}, {0xE5, 0x89}, {0xE6, 0x90}, {0xE7, 0x87}, {0xE8, 0x91},
        {0xE9, 0x8F}, {0xEA, 0x92}, {0xEB, 0x94}, {0xEC, 0x95}, {0xED, 0x93}, {0xEE, 0x97},
        {0xEF, 0x99}, {0xF1, 0x98}, {0xF2, 0x9C}, {0xF3, 0x9E}, {0xF4, 0x9D},
    };
    for (const auto& p : pairs) f.lower[p[0]] = p[1];
    // Lower-case accented letters (and the case-folded upper ones) to their base letters.
    const unsigned char bases[][2] = {
        {0x87, 'a'}, {0x88, 'a'}, {0x89, 'a'}, {0x8A, 'a'}, {0x8B, 'a'}, {0x8C, 'a'},
        {0x8D, 'c'}, {0x8E, 'e'}, {0x8F, 'e'}, {0x90, 'e'}, {0x91, 'e'}, {0x92, 'i'},
        {0x93, 'i'}, {0x94, 'i'}, {0x95, 'i'}, {0x96, 'n'}, {0x97, 'o'}, {0x98, 'o'},
        {0x99, 'o'}, {0x9A, 'o'}, {0x9B, 'o'}, {0x9C, 'u'}, {0x9D, 'u'}, {0x9E, 'u'},
        {0x9F, 'u'}, {0xBF, 'o'}, {0xD8, 'y'},
    };
    for (const auto& b : bases) f.unaccent[b[0]] = b[1];
    return f;
}

constexpr Folds kFolds = MakeFolds();

unsigned char Fold(unsigned char c, bool caseSensitive, bool diacriticSensitive) {
    if (!caseSensitive) c = kFolds.lower[c];
    if (!diacriticSensitive) {
        // Fold case first so an upper-case accented letter finds its base, then keep its case.
        const unsigned char lower = kFolds.lower[c];
        const unsigned char base = kFolds.unaccent[lower];
        if (base != lower) c = (c == lower) ? base : static_cast<unsigned char>(base - 32);
    }
    return c;
}

}  // namespace

extern "C" {

void HostNumberToText(int32_t number, unsigned char* text) {
    char digits[16];
    int n = 0;
    int64_t value = number;
    const bool negative = value < 0;
    if (negative) value = -value;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    int length = 0;
    if (negative) text[++length] = '-';
    while (n > 0) text[++length] = static_cast<unsigned char>(digits[--n]);
    text[0] = static_cast<unsigned char>(length);
}

void HostTextToNumber(const unsigned char* text, int32_t* number) {
    const int length = text[0];
    int i = 1;
    bool negative = false;
    if (i <= length && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    uint32_t value = 0;  // wraps like the 32-bit arithmetic of the original service
    for (; i <= length && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + (text[i] - '0');
    *number = static_cast<int32_t>(negative ? 0u - value : value);
}

bool HostEqualText(const unsigned char* a, const unsigned char* b, bool caseSensitive, bool diacriticSensitive) {
    if (a[0] != b[0]) return false;
    for (int i = 1; i <= a[0]; ++i)
        if (Fold(a[i], caseSensitive, diacriticSensitive) != Fold(b[i], caseSensitive, diacriticSensitive))
            return false;
    return true;
}

}  // extern "C"
