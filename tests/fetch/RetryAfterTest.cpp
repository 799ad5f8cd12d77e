#include "fetch/RetryAfter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>

namespace korvalot::fetch {
namespace {

using namespace std::chrono;

// Sun, 06 Nov 1994 08:49:37 GMT
const system_clock::time_point kNow =
    sys_days(year_month_day{year(1994), November, day(6)}) + hours(8) + minutes(49) + seconds(37);

struct RetryAfterCase {
    const char* name;
    const char* value;
    std::optional<milliseconds> expected;
    friend void PrintTo(const RetryAfterCase& c, std::ostream* os) { *os << c.name; }
};

class RetryAfterValues : public ::testing::TestWithParam<RetryAfterCase> {};

TEST_P(RetryAfterValues, GiveTheWaitOrNothing) {
    EXPECT_EQ(ParseRetryAfter(GetParam().value, kNow), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, RetryAfterValues,
    ::testing::Values(RetryAfterCase{"Seconds", "120", seconds(120)},
                      RetryAfterCase{"SecondsInBlanks", " 5 ", seconds(5)},
                      RetryAfterCase{"Zero", "0", milliseconds(0)},
                      // No server means more than a day, and a longer number must not overflow.
                      RetryAfterCase{"HugeNumber", "99999999999999999999999", hours(24)},
                      RetryAfterCase{"FixDate", "Sun, 06 Nov 1994 08:50:07 GMT", seconds(30)},
                      RetryAfterCase{"Rfc850Date", "Sunday, 06-Nov-94 08:50:07 GMT", seconds(30)},
                      RetryAfterCase{"AsctimeDate", "Sun Nov  6 08:50:07 1994", seconds(30)},
                      RetryAfterCase{"DateTomorrow", "Mon, 07 Nov 1994 08:49:37 GMT", hours(24)},
                      RetryAfterCase{"DatePast", "Sun, 06 Nov 1994 08:00:00 GMT",
                                     milliseconds(0)},  // already past
                      RetryAfterCase{"Empty", "", std::nullopt},
                      RetryAfterCase{"Negative", "-1", std::nullopt},
                      RetryAfterCase{"Fraction", "1.5", std::nullopt},
                      RetryAfterCase{"Word", "soon", std::nullopt},
                      RetryAfterCase{"NoSuchDay", "Sun, 30 Feb 1994 08:50:07 GMT", std::nullopt},
                      RetryAfterCase{"NoSuchHour", "Sun, 06 Nov 1994 25:50:07 GMT", std::nullopt},
                      RetryAfterCase{"NotGmt", "Sun, 06 Nov 1994 08:50:07 UTC", std::nullopt},
                      RetryAfterCase{"NoSuchMonth", "Sun, 06 Xyz 1994 08:50:07 GMT", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvalot::fetch
