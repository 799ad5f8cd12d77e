#include "cli/SelectionOptions.h"

#include "cli/UsageError.h"
#include "crawl/SearchQueries.h"

namespace korvalot::cli {
namespace {

std::vector<std::string> CommaList(const std::string& text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos)
            end = text.size();
        std::string item = text.substr(start, end - start);
        while (!item.empty() && item.front() == ' ')
            item.erase(item.begin());
        while (!item.empty() && item.back() == ' ')
            item.pop_back();
        if (!item.empty())
            items.push_back(std::move(item));
        start = end + 1;
    }
    return items;
}

bool SameAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

}  // namespace

std::chrono::year_month_day ParseDateOption(const std::string& option, const std::string& text,
                                            std::chrono::year_month_day today) {
    if (text == "today")
        return today;
    if (text == "yesterday")
        return std::chrono::year_month_day{std::chrono::sys_days(today) - std::chrono::days(1)};
    const auto date = crawl::ParseIsoDate(text);
    if (!date || text.size() != 10)
        throw UsageError(option +
                         ": дата должна быть в виде ГГГГ-ММ-ДД, today или yesterday: " + text);
    return *date;
}

void CheckDateOrder(const std::string& fromOption,
                    const std::optional<std::chrono::year_month_day>& from,
                    const std::string& toOption,
                    const std::optional<std::chrono::year_month_day>& to) {
    if (from && to && std::chrono::sys_days(*from) > std::chrono::sys_days(*to))
        throw UsageError(fromOption + " позже " + toOption + ": начало периода после его конца");
}

bool IsRegionCode(const std::string& code) {
    if (code.empty() || code.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const std::string normal = crawl::NormalRegionCode(code);
    return normal != "0" && normal.size() <= 2;
}

bool ParseRegionCodes(const std::string& option, const std::string& text,
                      std::vector<std::string>& codes) {
    const auto items = CommaList(text);
    if (items.empty())
        throw UsageError(option + ": не указан ни один регион");
    if (items.size() == 1 && items[0] == "all")
        return true;
    for (const std::string& code : items) {
        if (!IsRegionCode(code))
            throw UsageError(option + ": " + code +
                             " - не код региона (код региона - число от 1 до 99)");
    }
    codes.insert(codes.end(), items.begin(), items.end());
    return false;
}

std::vector<int> ParseTradeTypes(const std::string& option, const std::string& text) {
    std::vector<int> positions;
    for (const std::string& code : CommaList(text)) {
        int position = -1;
        for (std::size_t k = 0; k < crawl::kTradeTypeCodes.size(); ++k) {
            if (SameAscii(code, crawl::kTradeTypeCodes[k]))
                position = static_cast<int>(k);
        }
        if (position < 0)
            throw UsageError(option + ": неизвестный вид торгов " + code +
                             " (известны OpenAuction, OpenConcours, PublicOffer, "
                             "CloseAuction, CloseConcours, ClosePublicOffer)");
        positions.push_back(position);
    }
    if (positions.empty())
        throw UsageError(option + ": не указан ни один вид торгов");
    return positions;
}

std::vector<std::string> ParseWords(const std::string& option, const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : text + " ") {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (!word.empty())
                words.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (words.empty())
        throw UsageError(option + ": не указано ни одного слова");
    return words;
}

}  // namespace korvalot::cli
