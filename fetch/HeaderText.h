#pragma once

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

}  // namespace korvalot::fetch
