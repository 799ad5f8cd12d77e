#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

// The values the store keeps beside the texts of the results file, so that prices and dates
// sort and filter: prices as numbers, dates as ISO dates.
namespace korvalot::store {

// A price column's text as the results file has it ("1500000,50" with the decimal separator
// ","); nothing for an empty text, "null", or anything else that is not a finite number.
std::optional<double> PriceValue(std::string_view text, std::string_view decimalSeparator);

// A price text written with one decimal separator, as it would have been written with another.
std::string WithDecimalSeparator(std::string_view text, std::string_view from, std::string_view to);

// A date column's text ("10.05.2023 14:30", "10.05.2023 ") as an ISO date: "2023-05-10T14:30",
// "2023-05-10"; nothing when it is not a calendar date.
std::optional<std::string> IsoDate(std::string_view text);

// "2026-12-10T23:58:30", local time: when the store saw something.
std::string IsoTimestamp(std::chrono::system_clock::time_point when);

// "10.12.2026 23:58" from "2026-12-10T23:58:30", as the results file writes dates; the text
// as it is when it has another form.
std::string FileDateTime(std::string_view isoTimestamp);

}  // namespace korvalot::store
