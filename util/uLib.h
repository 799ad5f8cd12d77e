#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text helpers shared by the crawl engine, the card extraction and the window. Texts are UTF-8;
// positions and searches are exact and respect letter case.
namespace korvalot::util {

// The text after the first start marker (from the beginning when it is empty), optionally after
// the first middle marker behind it, up to the first end marker behind that (to the end when it
// is empty). Any marker that is not found gives the empty text.
std::string ExtractBetween(std::string_view text, std::string_view startMarker,
                           std::string_view middleMarker, std::string_view endMarker);

// The address without its first "?name=value" or, failing that, "&name=value" (the separator
// goes with it); unchanged when neither occurs.
std::string RemoveUrlParam(std::string_view address, std::string_view name);

// Every double quote replaced by an apostrophe; nothing else changes.
std::string EscapeCsvQuotes(std::string_view value);

// Body bytes as valid UTF-8: each maximal invalid subpart becomes U+FFFD; a byte-order mark and
// NUL bytes stay.
std::string StreamToString(std::string_view bytes);

// How many bytes of the text hold at most maxUnits UTF-16 code units (a character beyond U+FFFF
// takes two) without splitting a character: where a text is cut for a reader that counts in
// UTF-16, such as a spreadsheet cell.
std::size_t Utf16PrefixBytes(std::string_view text, std::size_t maxUnits);

// Writes the UTF-8 form of the code point (below U+110000, not a surrogate) to out, which has
// room for four bytes, and gives the number of bytes written. Inline: the JSON reader calls it
// for every escaped character.
inline std::size_t EncodeUtf8(char32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

inline void AppendUtf8(std::string& out, char32_t cp) {
    char bytes[4];
    out.append(bytes, EncodeUtf8(cp, bytes));
}

}  // namespace korvalot::util
