#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Header-only, so that the fuzz targets (built apart, with clang) use it as the suites do.
namespace korvalot::testing {

// A strict check written apart from the program's own decoder, so that the two cannot share a
// mistake: true when the bytes are valid UTF-8 (shortest forms, no surrogates, nothing above
// U+10FFFF).
inline bool IsValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        std::size_t extra = 0;
        std::uint32_t cp = 0;
        if (b0 < 0x80) {
            cp = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            extra = 1, cp = b0 & 0x1F;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2, cp = b0 & 0x0F;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3, cp = b0 & 0x07;
        } else {
            return false;
        }
        if (i + extra >= s.size() && extra > 0)
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

// The UTF-16 code units of valid UTF-8: the measure of the window's and the results file's
// length limits.
inline std::size_t Utf16Length(std::string_view s) {
    std::size_t units = 0;
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if ((b & 0xC0) != 0x80)
            units += b >= 0xF0 ? 2 : 1;
    }
    return units;
}

}  // namespace korvalot::testing
