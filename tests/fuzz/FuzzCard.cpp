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
#include "support/Utf8Check.h"
#include "util/uLib.h"

namespace {

using korvalot::crawl::CardAnswers;
using korvalot::crawl::ResultRow;
using korvalot::testing::IsValidUtf8;
using korvalot::testing::Utf16Length;

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
