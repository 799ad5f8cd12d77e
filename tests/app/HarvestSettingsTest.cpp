// The Harvest section of settings.ini as a run takes it.
#include "app/HarvestSettings.h"

#include <gtest/gtest.h>

#include <ostream>

#include <QFile>
#include <QTemporaryDir>

namespace korvalot::app {
namespace {

struct LimitCase {
    const char* name;
    const char* value;  // nullptr: no key
    std::chrono::milliseconds limit;
};

void PrintTo(const LimitCase& c, std::ostream* os) {
    *os << c.name;
}

class OutageLimitSettingTest : public ::testing::TestWithParam<LimitCase> {};

TEST_P(OutageLimitSettingTest, WholeMinutesOrTheRunsOwnLimit) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.ini"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[Harvest]\r\n");
    if (GetParam().value != nullptr)
        file.write(QByteArray("OutageLimitMinutes=") + GetParam().value + "\r\n");
    file.close();
    crawl::ScraperEnvironment environment;
    ApplyHarvestSettings(path, environment);
    EXPECT_EQ(environment.outageLimit, GetParam().limit);
}

using std::chrono::hours;
using std::chrono::minutes;

INSTANTIATE_TEST_SUITE_P(
    Values, OutageLimitSettingTest,
    ::testing::Values(LimitCase{"NoKey", nullptr, hours(2)},
                      LimitCase{"HalfAnHour", "30", minutes(30)},
                      LimitCase{"ZeroWithBlanks", " 0 ", minutes(0)},
                      LimitCase{"AYear", "525600", minutes(525600)},
                      LimitCase{"MoreThanAYear", "525601", hours(2)},
                      LimitCase{"Negative", "-5", hours(2)}, LimitCase{"Fraction", "1.5", hours(2)},
                      LimitCase{"Word", "zwei", hours(2)}, LimitCase{"Empty", "", hours(2)}),
    [](const ::testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvalot::app
