#include "util/uLib.h"

namespace korvalot::util {

std::string ExtractBetween(std::string_view text, std::string_view startMarker,
                           std::string_view middleMarker, std::string_view endMarker) {
    // Byte offsets serve as character positions: a UTF-8 marker can only match at a character
    // boundary of a UTF-8 text.
    std::size_t p = 0;
    std::size_t markerLength = startMarker.size();
    if (!startMarker.empty()) {
        p = text.find(startMarker);
        if (p == std::string_view::npos) return {};
    }
    if (!middleMarker.empty()) {
        p = text.find(middleMarker, p + markerLength);
        if (p == std::string_view::npos) return {};
        markerLength = middleMarker.size();
    }
    const std::size_t from = p + markerLength;
    std::size_t to = text.size();
    if (!endMarker.empty()) {
        to = text.find(endMarker, from);
        if (to == std::string_view::npos) return {};
    }
    return std::string(text.substr(from, to - from));
}

std::string RemoveUrlParam(std::string_view address, std::string_view name) {
    auto find = [&](char separator) {
        std::string needle;
        needle.reserve(name.size() + 2);
        needle += separator;
        needle += name;
        needle += '=';
        return address.find(needle);
    };
    std::size_t p = find('?');
    if (p == std::string_view::npos) p = find('&');
    if (p == std::string_view::npos) return std::string(address);
    std::size_t q = address.find('&', p + 1);
    if (q == std::string_view::npos) q = address.size();
    std::string result(address.substr(0, p));
    result += address.substr(q);
    return result;
}

std::string EscapeCsvQuotes(std::string_view value) {
    std::string result(value);
    for (char& c : result) {
        if (c == '"') c = '\'';
    }
    return result;
}

std::string StreamToString(std::string_view bytes) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            // Bodies are mostly ASCII: copy whole runs of it.
            std::size_t j = i + 1;
            while (j < n && s[j] < 0x80) ++j;
            out.append(bytes.substr(i, j - i));
            i = j;
            continue;
        }
        // Lead byte: the length of the sequence and the range its second byte must fall in
        // (which excludes overlong forms, surrogates and code points above U+10FFFF).
        std::size_t length = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            out += kReplacement;
            ++i;
            continue;
        }
        // Accept the longest valid prefix; a broken sequence is one maximal invalid subpart.
        std::size_t j = 1;
        while (j < length && i + j < n) {
            const unsigned char b = s[i + j];
            const unsigned char low = j == 1 ? lo : 0x80;
            const unsigned char high = j == 1 ? hi : 0xBF;
            if (b < low || b > high) break;
            ++j;
        }
        if (j == length) {
            out.append(bytes.substr(i, length));
        } else {
            out += kReplacement;
        }
        i += j;
    }
    return out;
}

std::size_t Utf16PrefixBytes(std::string_view text, std::size_t maxUnits) {
    if (text.size() <= maxUnits)
        return text.size();  // never more UTF-16 units than bytes
    std::size_t units = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        const std::size_t width = length == 4 ? 2 : 1;  // a surrogate pair
        if (units + width > maxUnits)
            return i;
        units += width;
        i += length;
    }
    return text.size();
}

}  // namespace korvalot::util
