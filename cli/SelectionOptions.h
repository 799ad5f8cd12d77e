#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// The options that choose trades, read alike by the console programs. Each
// parser raises UsageError naming the option: an option given with nothing to choose by is a
// mistake, never "everything".
namespace korvalot::cli {

// A date: "yyyy-mm-dd", "today" or "yesterday".
std::chrono::year_month_day ParseDateOption(const std::string& option, const std::string& text,
                                            std::chrono::year_month_day today);

// Both ends given and the first after the second: "--from позже --to".
void CheckDateOrder(const std::string& fromOption,
                    const std::optional<std::chrono::year_month_day>& from,
                    const std::string& toOption,
                    const std::optional<std::chrono::year_month_day>& to);

// A region code the register can have, judged without asking it: a number of one or two
// digits once its leading zeros are gone, 0 excepted ("7", "07", "77"; not "0", "100", "7a").
bool IsRegionCode(const std::string& code);

// Region codes separated by commas, added to codes as given; true for "all". A list without an
// item or with an item that is no region code raises UsageError.
bool ParseRegionCodes(const std::string& option, const std::string& text,
                      std::vector<std::string>& codes);

// Trade type codes separated by commas, letter case ignored: their positions in the list. A
// list without an item raises UsageError.
std::vector<int> ParseTradeTypes(const std::string& option, const std::string& text);

// Words separated by blanks; none raises UsageError.
std::vector<std::string> ParseWords(const std::string& option, const std::string& text);

}  // namespace korvalot::cli
