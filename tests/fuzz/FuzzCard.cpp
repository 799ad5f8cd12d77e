// A trade's answers to rows, on arbitrary bytes: the extraction must not fail (a date that
// cannot be read is reported, never raised), and every row must become one whole line of the
// results file: fourteen quoted fields, valid UTF-8, a description of at most 32000 UTF-16
// code units plus "<cut>".
//
// Input: the card, each page of lots and the additional data, separated by lines "#####"
// ("\n#####\n"); with fewer parts the missing ones are empty. The bytes go through the decoding
// the engine applies to every body before it is read.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "crawl/ResultsFile.h"
#include "crawl/TradeCard.h"
#include "util/uLib.h"

namespace {

using korvalot::crawl::CardAnswers;
using korvalot::crawl::ResultRow;

bool IsValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        int extra = 0;
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
        if (extra > 0 && i + static_cast<std::size_t>(extra) >= s.size())
            return false;
        for (int k = 1; k <= extra; ++k) {
            const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
            if ((b & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        static const std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

// UTF-16 code units of valid UTF-8.
std::size_t Utf16Length(std::string_view s) {
    std::size_t units = 0;
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if ((b & 0xC0) != 0x80)
            units += b >= 0xF0 ? 2 : 1;
    }
    return units;
}

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s\n%s\n", what, detail.c_str());
    std::abort();
}

std::vector<std::string> Parts(std::string_view input) {
    static constexpr std::string_view kSeparator = "\n#####\n";
    std::vector<std::string> parts;
    for (;;) {
        const std::size_t at = input.find(kSeparator);
        if (at == std::string_view::npos) {
            parts.emplace_back(input);
            return parts;
        }
        parts.emplace_back(input.substr(0, at));
        input.remove_prefix(at + kSeparator.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> parts =
        Parts(std::string_view(reinterpret_cast<const char*>(data), size));
    CardAnswers answers;
    answers.trade = korvalot::util::StreamToString(parts[0]);
    for (std::size_t i = 1; i + 1 < parts.size(); ++i)
        answers.lotPages.push_back(korvalot::util::StreamToString(parts[i]));
    if (parts.size() > 1)
        answers.additional = korvalot::util::StreamToString(parts.back());

    const std::string guid = "0b5c3f2e-1d4a-4c6b-9e8f-7a6b5c4d3e2f";
    const auto card = korvalot::crawl::ExtractCard(guid, "Москва", answers, ",");
    const std::string base = "https://register.example";
    for (const ResultRow& row : card.rows) {
        if (row.guid != guid || row.region != "Москва")
            Fail("a row of another trade", row.guid + " " + row.region);
        if (Utf16Length(row.lotDescription) > 32005)
            Fail("a description longer than the cut", std::to_string(row.lotDescription.size()));
        const std::string line = korvalot::crawl::ResultsFile::FormatLine(base, row);
        if (!IsValidUtf8(line))
            Fail("a line that is not UTF-8", line);
        std::size_t quotes = 0;
        for (const char c : line)
            quotes += c == '"';
        if (quotes != 28 || !line.ends_with("\"\r\n") || !line.starts_with("\"" + base))
            Fail("a line that is not fourteen quoted fields", line);
        if (row.region != card.rows.front().region || row.number != card.rows.front().number ||
            row.debtorName != card.rows.front().debtorName ||
            row.courtName != card.rows.front().courtName)
            Fail("trade values that differ between the rows of one trade", line);
    }
    // The message goes through an exception's C string, so a NUL in the register's date text
    // ends it early; the start is always there.
    for (const auto& message : card.dateErrors) {
        if (!message.starts_with("''"))
            Fail("a date error of another kind", message);
    }
    return 0;
}
