#include "store/Words.h"

#include <cstdint>

namespace korvalot::store {
namespace {

// The next code point of valid UTF-8 at `at`; an invalid byte stands for itself.
char32_t NextCodePoint(std::string_view text, std::size_t& at) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char first = byte(at);
    std::size_t length = first < 0x80           ? 1
                         : (first >> 5) == 0x6  ? 2
                         : (first >> 4) == 0xE  ? 3
                         : (first >> 3) == 0x1E ? 4
                                                : 0;
    if (length == 0 || at + length > text.size()) {
        ++at;
        return first;
    }
    char32_t code = length == 1 ? first : first & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(at + k) & 0xC0) != 0x80) {
            ++at;
            return first;
        }
        code = (code << 6) | (byte(at + k) & 0x3F);
    }
    at += length;
    return code;
}

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The tokenizer takes letters and digits (and private-use characters) into words and every
// other character as a separator. Outside ASCII this keeps to the blocks where punctuation and
// symbols lie, which is all that descriptions and names hold.
bool IsWordCharacter(char32_t c) {
    if (c < 0x80)
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (c <= 0xBF || c == 0xD7 || c == 0xF7)
        return c == 0xAA || c == 0xB5 || c == 0xBA || c == 0xB2 || c == 0xB3 || c == 0xB9 ||
               (c >= 0xBC && c <= 0xBE);
    if (c == 0x0482 || (c >= 0x0488 && c <= 0x0489))  // Cyrillic signs
        return false;
    if ((c >= 0x2000 && c <= 0x2BFF) || (c >= 0x3000 && c <= 0x303F) ||
        (c >= 0xFE10 && c <= 0xFE6F) || (c >= 0xFF00 && c <= 0xFF0F) ||
        (c >= 0xFF1A && c <= 0xFF20) || (c >= 0xFF3B && c <= 0xFF40) ||
        (c >= 0xFF5B && c <= 0xFF65) || (c >= 0x1F000 && c <= 0x1FAFF))
        return false;
    return true;
}

char32_t FoldCase(char32_t c) {
    if (c >= 'A' && c <= 'Z')
        return c + 0x20;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return c + 0x20;
    if (c >= 0x0410 && c <= 0x042F)
        return c + 0x20;
    if (c >= 0x0400 && c <= 0x040F)
        c += 0x50;
    if (c == 0x0451)  // ё
        return 0x0435;
    return c;
}

}  // namespace

std::string FoldYo(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t k = 0; k < text.size(); ++k) {
        // ё is D1 91, Ё is D0 81; е is D0 B5, Е is D0 95.
        if (k + 1 < text.size() && text[k] == '\xD1' && text[k + 1] == '\x91') {
            out += "\xD0\xB5";
            ++k;
        } else if (k + 1 < text.size() && text[k] == '\xD0' && text[k + 1] == '\x81') {
            out += "\xD0\x95";
            ++k;
        } else {
            out += text[k];
        }
    }
    return out;
}

std::vector<std::string> TextWords(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    for (std::size_t at = 0; at < text.size();) {
        const char32_t c = NextCodePoint(text, at);
        if (IsWordCharacter(c)) {
            AppendUtf8(word, FoldCase(c));
        } else if (!word.empty()) {
            words.push_back(std::move(word));
            word.clear();
        }
    }
    if (!word.empty())
        words.push_back(std::move(word));
    return words;
}

std::vector<WordsTerm> ParseWordsQuery(std::string_view query) {
    std::vector<WordsTerm> terms;
    std::size_t at = 0;
    while (at < query.size()) {
        if (query[at] != '"') {
            ++at;
            continue;
        }
        // A quoted term; a quote inside is written twice.
        std::string term;
        ++at;
        while (at < query.size()) {
            if (query[at] == '"') {
                if (at + 1 < query.size() && query[at + 1] == '"') {
                    term += '"';
                    at += 2;
                    continue;
                }
                ++at;
                break;
            }
            term += query[at++];
        }
        WordsTerm parsed{TextWords(term), false};
        std::size_t next = at;
        while (next < query.size() && query[next] == ' ')
            ++next;
        if (next < query.size() && query[next] == '*') {
            parsed.prefix = true;
            at = next + 1;
        }
        if (!parsed.words.empty())
            terms.push_back(std::move(parsed));
    }
    return terms;
}

bool WordsMatch(const std::vector<WordsTerm>& terms, const std::vector<std::string_view>& texts) {
    std::vector<std::vector<std::string>> columns;
    columns.reserve(texts.size());
    for (const std::string_view text : texts)
        columns.push_back(TextWords(text));
    const auto standsAt = [](const std::vector<std::string>& words, std::size_t at,
                             const WordsTerm& term) {
        if (at + term.words.size() > words.size())
            return false;
        for (std::size_t k = 0; k < term.words.size(); ++k) {
            const std::string& want = term.words[k];
            const std::string& have = words[at + k];
            const bool last = k + 1 == term.words.size();
            if (last && term.prefix ? !have.starts_with(want) : have != want)
                return false;
        }
        return true;
    };
    for (const WordsTerm& term : terms) {
        bool found = false;
        for (const auto& words : columns) {
            for (std::size_t at = 0; at < words.size() && !found; ++at)
                found = standsAt(words, at, term);
            if (found)
                break;
        }
        if (!found)
            return false;
    }
    return true;
}

}  // namespace korvalot::store
