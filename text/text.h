// text.h: text transformations: character sets, HTML entities, URL and quoted-printable escapes,
// and the conversion flags applied on the way to and from the network.
//
// Divisions: texts and their limits; Mac Roman and ISO-8859-1; replacing; HTML entities and their
// tables; URL and quoted-printable escapes; conversion flags; the commands.
//
// Every transformation that returns a TextBlock returns a new handle that the caller owns, and never
// changes the text it was given. A text's characters are the first `length` bytes of its handle
// (never more than the handle holds); a negative length or a null handle is an empty text.
#ifndef ZOR_TEXT_TEXT_H
#define ZOR_TEXT_TEXT_H

#include <cstdint>
#include <string_view>

#include "frame/frame.h"
#include "zor/host_toolbox.h"

namespace zor::text {

// ---- Texts and their limits ------------------------------------------------------------------------
// The longest text a TextBlock can carry. A result that would be longer is cut after the last whole
// unit that fits: a whole character, entity, numeric reference or escape (an inserted CR LF is one
// unit), never in the middle of one.
inline constexpr int32_t kMaxTextLength = 32767;

// The number of valid characters of a text: its length, clamped to 0 and to its handle's size.
int32_t TextLength(const TextBlock& text);

// A new text of that many bytes copied from `bytes` (cut to kMaxTextLength). When memory runs out
// the result is empty (length 0) with a new empty handle, or a null handle when even that fails.
TextBlock NewText(const void* bytes, int32_t length);

// ---- Mac Roman and ISO-8859-1 -----------------------------------------------------------------------
// The translation table of that name ("Mac2ISO" or "ISO2Mac", type 'ZORc'), fetched from the
// plug-in's resource file on each call: its 256 bytes, or null when the resource is missing or is not
// 256 bytes long. The host's resource layer owns the bytes; they stay valid until the next call that
// may move memory.
const unsigned char* LoadTable(const char* name);

// Translate the text's characters in place through "Mac2ISO" or "ISO2Mac". A missing table leaves the
// text unchanged; neither changes the length or the handle.
void TranslateMacToIso(TextBlock& text);
void TranslateIsoToMac(TextBlock& text);

// ---- Replacing --------------------------------------------------------------------------------------
// Replaces every occurrence of `search` in the handle's block by `replacement`, left to right; the
// search resumes after each replacement, so a replacement is never rescanned ("&" to "&amp;" ends).
// The result is cut after the last whole piece (an unchanged byte or a whole replacement) that fits
// in `limit` bytes. Returns the block's new size, or -1 when the handle is null or memory ran out
// (the block is then unchanged). An empty search changes nothing.
[[nodiscard]] int32_t ReplaceAll(HostHandle h, std::string_view search, std::string_view replacement,
                                 int32_t limit = kMaxTextLength);

// ---- HTML entities ----------------------------------------------------------------------------------
// One row of a replacement list: a Mac Roman byte and what stands for it in HTML.
struct EntityRow {
    const char* entity;    // the entity text, "&eacute;"
    unsigned char macByte; // the Mac Roman byte it stands for
    bool bothWays;         // false: decoding only (encoding never writes it)
};
inline constexpr int kEntityCount = 93;
extern const EntityRow kEntityTable[kEntityCount];  // named entities, in their order

struct BytePair {
    unsigned char macByte;  // the Mac Roman byte
    const char* becomes;    // its replacement
};
extern const BytePair kTypographicTable[6];     // encoding only, before the markup
extern const BytePair kApproximationTable[5];   // encoding only, after the entities

struct MarkupPair {
    const char* character;  // "&", "<", ">", a quotation mark
    const char* entity;     // "&amp;", "&lt;", "&gt;", "&quot;"
};
extern const MarkupPair kMarkupTable[4];  // in this order in both directions

// Encodes a Mac Roman text as HTML: typographic table; mode 0 the markup table ("&" first), any other
// mode only "& " to "&amp; "; the two-way entity rows; the approximation table; translation to
// ISO-8859-1; every byte still at or above 0x80 as "&#NNN;".
TextBlock EncodeHtml(const TextBlock& text, int32_t mode);

// Decodes HTML: numeric references "&#N;" (N at most 255, through "ISO2Mac"); mode 0 the markup
// table ("&amp;" first, so "&amp;lt;" gives "<"); the 93 entity rows. Text that is not a well-formed
// reference (no digits, a non-digit, a value above 255, no ";" before the end) stays as it is.
TextBlock DecodeHtml(const TextBlock& text, int32_t mode);

// Drops tags ("<" to the first ">") and decodes what is left as DecodeHtml mode 0.
TextBlock StripTagsAndDecode(const TextBlock& text);

// ---- URL and quoted-printable escapes ----------------------------------------------------------------
// Translates to ISO-8859-1 and escapes as "%XX" (upper-case digits). Mode 0 (forms): a space becomes
// "+"; 0x00-0x1F, 0x21-0x2F, "<", ">" and 0x80-0xFF are escaped. Any other mode: 0x00-0x20, "%", "<",
// ">" and 0x80-0xFF are escaped.
TextBlock UrlEscape(const TextBlock& text, int32_t mode);

// Decodes "%XX" escapes ("=XX" in mode -1, quoted-printable), either case of digit, never looking at
// a decoded byte again; mode 0 also turns "+" into a space. Then translates to Mac Roman.
TextBlock UrlUnescape(const TextBlock& text, int32_t mode);

// ---- Conversion flags -------------------------------------------------------------------------------
enum ConversionFlag : int32_t {
    kMacToIso = 0x01,     // TranslateMacToIso, in place
    kIsoToMac = 0x02,     // TranslateIsoToMac, in place
    kCrToCrLf = 0x04,     // every CR becomes CR LF (a CR LF already there becomes CR LF LF)
    kCrLfToCr = 0x08,     // every CR LF becomes CR
    kEncodeHtml = 0x10,   // EncodeHtml mode 0, new text
    kDecodeHtml = 0x20,   // DecodeHtml mode 0, new text
    kEncodeHtmlKeepMarkup = 0x40,  // EncodeHtml mode 1, new text
};

// Puts a text through the transformations its flags select, in place (the handle may be resized).
// 0x01, 0x02, 0x04, 0x08 in that order on the text itself; then the last set of 0x10, 0x20, 0x40
// (each of them would start from the same text) replaces the text, its old handle released. Other
// bits are ignored. A step that runs out of memory leaves the text as it was before that step, and
// no later step runs; the result is then false.
bool ApplyConversionFlags(TextBlock& text, int32_t flags);

// The most bytes HTML encoding makes of one byte.
inline constexpr int32_t kHtmlGrowth = 8;
// The longest text that the conversions of `flags` surely leave within kMaxTextLength, so that no
// converted byte is cut: CR to CR LF can double a text and HTML encoding multiply it by kHtmlGrowth
// (decoding never makes a text longer; of the HTML steps only the last one set runs).
int32_t LongestToConvert(int32_t flags);

// ---- Commands ---------------------------------------------------------------------------------------
void TextToHtml(frame::CommandCall& call);  // 28: text, mode
void HtmlToText(frame::CommandCall& call);  // 29: text, mode (2: strip tags)
void UrlEncode(frame::CommandCall& call);   // 30: text, mode
void UrlDecode(frame::CommandCall& call);   // 31: text, mode (-1: quoted-printable)
void MacToIso(frame::CommandCall& call);    // 32: text
void IsoToMac(frame::CommandCall& call);    // 33: text

}  // namespace zor::text

#endif  // ZOR_TEXT_TEXT_H
