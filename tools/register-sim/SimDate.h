#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

// Calendar days as whole numbers of days since 1970-01-01, the only date form the simulator
// computes with.
namespace korvalot::tools {

inline std::int32_t DaysFromCivil(int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int>(doe) - 719468;
}

struct CivilDate {
    int year;
    unsigned month;
    unsigned day;
};

inline CivilDate CivilFromDays(std::int32_t z) {
    z += 719468;
    const int era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int y = static_cast<int>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {y + (m <= 2), m, d};
}

// 0 is Sunday.
inline int WeekDay(std::int32_t days) {
    return static_cast<int>(((days % 7) + 11) % 7);
}

inline std::string FormatDate(std::int32_t days) {
    const CivilDate c = CivilFromDays(days);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", c.year, c.month, c.day);
    return text;
}

// Exactly "yyyy-mm-dd" with a real calendar date; anything else gives nothing.
inline std::optional<std::int32_t> ParseDate(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return std::nullopt;
    }
    int parts[3] = {0, 0, 0};
    const std::size_t starts[3] = {0, 5, 8};
    const std::size_t lengths[3] = {4, 2, 2};
    for (int i = 0; i < 3; ++i) {
        for (std::size_t k = 0; k < lengths[i]; ++k) {
            const char c = text[starts[i] + k];
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            parts[i] = parts[i] * 10 + (c - '0');
        }
    }
    if (parts[1] < 1 || parts[1] > 12 || parts[2] < 1 || parts[2] > 31) {
        return std::nullopt;
    }
    const std::int32_t days =
        DaysFromCivil(parts[0], static_cast<unsigned>(parts[1]), static_cast<unsigned>(parts[2]));
    const CivilDate back = CivilFromDays(days);
    if (back.day != static_cast<unsigned>(parts[2])) {
        return std::nullopt;
    }
    return days;
}

}  // namespace korvalot::tools
