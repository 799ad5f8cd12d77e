#include "store/StoredValues.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace korvalot::store {
namespace {

std::optional<int> Digits(std::string_view text, std::size_t at, std::size_t length) {
    if (at + length > text.size())
        return std::nullopt;
    int value = 0;
    for (std::size_t i = at; i < at + length; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace

std::optional<double> PriceValue(std::string_view text, std::string_view decimalSeparator) {
    if (text.empty())
        return std::nullopt;
    const std::string number = WithDecimalSeparator(text, decimalSeparator, ".");
    double value = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    // "inf" and "nan" read as numbers, but no price is either.
    if (ec != std::errc() || end != number.data() + number.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::string WithDecimalSeparator(std::string_view text, std::string_view from,
                                 std::string_view to) {
    if (from == to || from.empty())
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text.substr(i, from.size()) == from) {
            out += to;
            i += from.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::optional<std::string> IsoDate(std::string_view text) {
    // "dd.mm.yyyy" and a blank, then the hours and minutes when the register gave them.
    if (text.size() != 11 && text.size() != 16)
        return std::nullopt;
    if (text[2] != '.' || text[5] != '.' || text[10] != ' ')
        return std::nullopt;
    const auto day = Digits(text, 0, 2), month = Digits(text, 3, 2), year = Digits(text, 6, 4);
    if (!day || !month || !year)
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year(*year),
                                           std::chrono::month(static_cast<unsigned>(*month)),
                                           std::chrono::day(static_cast<unsigned>(*day))};
    if (!date.ok())
        return std::nullopt;
    char out[48];
    if (text.size() == 11) {
        std::snprintf(out, sizeof out, "%04d-%02d-%02d", *year, *month, *day);
        return std::string(out);
    }
    const auto hour = Digits(text, 11, 2), minute = Digits(text, 14, 2);
    if (text[13] != ':' || !hour || !minute || *hour > 23 || *minute > 59)
        return std::nullopt;
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d", *year, *month, *day, *hour, *minute);
    return std::string(out);
}

std::string IsoTimestamp(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return std::string(text, n);
}

std::string FileDateTime(std::string_view iso) {
    if (iso.size() < 16 || iso[4] != '-' || iso[7] != '-' || iso[10] != 'T' || iso[13] != ':')
        return std::string(iso);
    std::string out;
    out.reserve(16);
    out.append(iso.substr(8, 2)).append(".");
    out.append(iso.substr(5, 2)).append(".");
    out.append(iso.substr(0, 4)).append(" ");
    out.append(iso.substr(11, 5));
    return out;
}

}  // namespace korvalot::store
