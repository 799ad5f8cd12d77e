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

INSTANTIATE_TEST_SUITE_P(Values, OutageLimitSettingTest,
                         ::testing::Values(LimitCase{nullptr, hours(2)},
                                           LimitCase{"30", minutes(30)},
                                           LimitCase{" 0 ", minutes(0)},
                                           LimitCase{"525600", minutes(525600)},
                                           LimitCase{"525601", hours(2)}, LimitCase{"-5", hours(2)},
                                           LimitCase{"1.5", hours(2)}, LimitCase{"zwei", hours(2)},
                                           LimitCase{"", hours(2)}));

}  // namespace
}  // namespace korvalot::app
