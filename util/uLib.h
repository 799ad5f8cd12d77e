#pragma once

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

}  // namespace korvalot::util
