#include "fetch/RetryAfter.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "fetch/HeaderText.h"

namespace korvalot::fetch {
namespace {

using namespace std::chrono;

// No server means more than a day; a longer number would only risk overflow.
constexpr std::int64_t kMaxSeconds = 86400;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads exactly `width` digits at `pos`.
std::optional<int> Digits(std::string_view text, std::size_t pos, std::size_t width) {
    if (pos + width > text.size())
        return std::nullopt;
    int value = 0;
    for (std::size_t i = pos; i < pos + width; ++i) {
        if (!IsDigit(text[i]))
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

std::optional<unsigned> Month(std::string_view name) {
    static constexpr std::array<std::string_view, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (unsigned i = 0; i < kMonths.size(); ++i) {
        if (name == kMonths[i])
            return i + 1;
    }
    return std::nullopt;
}

// "08:49:37" at `pos`.
std::optional<seconds> TimeOfDay(std::string_view text, std::size_t pos) {
    const auto h = Digits(text, pos, 2);
    const auto m = Digits(text, pos + 3, 2);
    const auto s = Digits(text, pos + 6, 2);
    if (!h || !m || !s || text[pos + 2] != ':' || text[pos + 5] != ':' || *h > 23 || *m > 59 ||
        *s > 60)
        return std::nullopt;
    return hours(*h) + minutes(*m) + seconds(*s);
}

std::optional<system_clock::time_point> Moment(int y, std::optional<unsigned> month, int d,
                                               std::optional<seconds> time) {
    if (!month || !time)
        return std::nullopt;
    const year_month_day date{year(y), std::chrono::month(*month), day(static_cast<unsigned>(d))};
    if (!date.ok())
        return std::nullopt;
    return sys_days(date) + *time;
}

std::optional<system_clock::time_point> HttpDate(std::string_view text) {
    const auto comma = text.find(", ");
    if (comma != std::string_view::npos) {
        const std::string_view rest = text.substr(comma + 2);
        if (rest.size() == 24 && rest.substr(20) == " GMT" && rest[2] == ' ' && rest[6] == ' ' &&
            rest[11] == ' ') {
            // Sun, 06 Nov 1994 08:49:37 GMT
            const auto d = Digits(rest, 0, 2);
            const auto y = Digits(rest, 7, 4);
            if (!d || !y)
                return std::nullopt;
            return Moment(*y, Month(rest.substr(3, 3)), *d, TimeOfDay(rest, 12));
        }
        if (rest.size() == 22 && rest.substr(18) == " GMT" && rest[2] == '-' && rest[6] == '-' &&
            rest[9] == ' ') {
            // Sunday, 06-Nov-94 08:49:37 GMT; the years 70 to 99 are those of the last century.
            const auto d = Digits(rest, 0, 2);
            const auto yy = Digits(rest, 7, 2);
            if (!d || !yy)
                return std::nullopt;
            return Moment(*yy < 70 ? 2000 + *yy : 1900 + *yy, Month(rest.substr(3, 3)), *d,
                          TimeOfDay(rest, 10));
        }
        return std::nullopt;
    }
    // Sun Nov  6 08:49:37 1994
    if (text.size() == 24 && text[3] == ' ' && text[7] == ' ' && text[10] == ' ' &&
        text[19] == ' ') {
        const char tens = text[8] == ' ' ? '0' : text[8];
        const std::string day{tens, text[9]};
        const auto d = Digits(day, 0, 2);
        const auto y = Digits(text, 20, 4);
        if (!d || !y)
            return std::nullopt;
        return Moment(*y, Month(text.substr(4, 3)), *d, TimeOfDay(text, 11));
    }
    return std::nullopt;
}

}  // namespace

std::optional<milliseconds> ParseRetryAfter(std::string_view value, system_clock::time_point now) {
    value = TrimBlanks(value);
    if (value.empty())
        return std::nullopt;
    if (IsDigit(value.front())) {
        std::int64_t total = 0;
        for (const char c : value) {
            if (!IsDigit(c))
                return std::nullopt;
            total = std::min(total * 10 + (c - '0'), kMaxSeconds);
        }
        return duration_cast<milliseconds>(seconds(total));
    }
    const auto moment = HttpDate(value);
    if (!moment)
        return std::nullopt;
    if (*moment <= now)
        return milliseconds::zero();
    return std::min(duration_cast<milliseconds>(*moment - now),
                    duration_cast<milliseconds>(seconds(kMaxSeconds)));
}

}  // namespace korvalot::fetch
