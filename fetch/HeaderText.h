#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

namespace korvalot::fetch {

/// The text without the blanks and tabs that HTTP allows around a header field's value and
/// its parts.
inline std::string_view TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

/// The text with its letters in lower case, for the parts of addresses and headers that compare
/// without regard to case (schemes, hosts, cookie attributes).
inline std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

}  // namespace korvalot::fetch
