#include <gtest/gtest.h>

#include "app/LocaleFormats.h"
#include "app/StartupChecks.h"

namespace korvalot::app {
namespace {

struct LocaleCase {
    const char* name;
    QLocale locale;
    const char* shortDate;
    const char* longTime;
    const char* stamp;  // of 25 June 2026, 14:03:07
    char16_t decimal;
    const char* strftime;
};

class LocaleFormatsTest : public ::testing::TestWithParam<LocaleCase> {};

TEST_P(LocaleFormatsTest, FormatsKeepFourDigitYearsAndNoZone) {
    const LocaleCase& c = GetParam();
    const LocaleFormats regional(c.locale);
    EXPECT_EQ(regional.ShortDateFormat(), QString::fromUtf8(c.shortDate));
    EXPECT_EQ(regional.LongTimeFormat(), QString::fromUtf8(c.longTime));
    EXPECT_EQ(regional.FormatStamp(QDateTime(QDate(2026, 6, 25), QTime(14, 3, 7))),
              QString::fromUtf8(c.stamp));
    EXPECT_EQ(regional.DecimalSeparator(), QChar(c.decimal));
    EXPECT_EQ(regional.StampAsStrftime(), c.strftime);
    // What is written reads back as the same day, also for years a two-digit form would move.
    for (const QDate date : {QDate(2026, 6, 25), QDate(1899, 12, 30), QDate(2010, 1, 1)}) {
        EXPECT_EQ(regional.ParseDate(regional.FormatDate(date)), date) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Locales, LocaleFormatsTest,
    ::testing::Values(LocaleCase{"ru_RU", QLocale(QLocale::Russian, QLocale::Russia), "dd.MM.yyyy",
                                 "HH:mm:ss", "25.06.2026 14:03:07", u',', "%d.%m.%Y %H:%M:%S"},
                      LocaleCase{"en_US", QLocale(QLocale::English, QLocale::UnitedStates),
                                 "M/d/yyyy", "h:mm:ss AP", "6/25/2026 2:03:07 PM", u'.',
                                 "%m/%d/%Y %I:%M:%S %p"},
                      LocaleCase{"de_DE", QLocale(QLocale::German, QLocale::Germany), "dd.MM.yyyy",
                                 "HH:mm:ss", "25.06.2026 14:03:07", u',', "%d.%m.%Y %H:%M:%S"}),
    [](const auto& info) { return std::string(info.param.name); });

// Before anything asks Qt for the system locale, which it reads once.
const bool kRussianEnvironment = [] {
    qunsetenv("LC_ALL");
    qunsetenv("LC_TIME");
    qunsetenv("LC_NUMERIC");
    return qputenv("LANG", "ru_RU.UTF-8");
}();

TEST(LocaleFormats, TheSystemLocaleFollowsLangEvenWithoutTheCLibrarysLocale) {
    ASSERT_TRUE(kRussianEnvironment);
    const LocaleFormats regional(QLocale::system());
    EXPECT_EQ(regional.DecimalSeparator(), QChar(u','));
    EXPECT_EQ(regional.ShortDateFormat(), QStringLiteral("dd.MM.yyyy"));
}

TEST(LocaleFormats, QuotedLiteralsAndPercentSignsSurviveTheStrftimeForm) {
    EXPECT_EQ(StrftimeFromQtFormat(QStringLiteral("yyyy'г.' d MMMM, 100% HH'h'")),
              "%Yг. %d %B, 100%% %Hh");
}

TEST(LocaleFormats, CaseIsIgnoredInEveryScript) {
    EXPECT_TRUE(SameTextIgnoringCase(QStringLiteral("открытый аукцион"),
                                     QStringLiteral("Открытый Аукцион")));
    EXPECT_TRUE(SameTextIgnoringCase(QStringLiteral("ЁЛКА (1)"), QStringLiteral("ёлка (1)")));
    EXPECT_FALSE(SameTextIgnoringCase(QStringLiteral("ёлка"), QStringLiteral("елка")));
    EXPECT_FALSE(
        SameTextIgnoringCase(QStringLiteral("Москва (77) "), QStringLiteral("Москва (77)")));
}

// ---- start-up checks ----

struct LocationCase {
    const char* path;
    bool tls;
    StartupRefusal expected;
};

class StartupLocationTest : public ::testing::TestWithParam<LocationCase> {};

TEST_P(StartupLocationTest, ChecksRunInOrder) {
    const LocationCase& c = GetParam();
    EXPECT_EQ(CheckStartupLocation(QString::fromUtf8(c.path), c.tls), c.expected) << c.path;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StartupLocationTest,
    ::testing::Values(
        LocationCase{"/home/op/Rar$DIa0.123/Temp/", false, StartupRefusal::InsideArchive},
        LocationCase{"/home/op/rar$dia/", true, StartupRefusal::None},
        LocationCase{"/home/op/TEMP/korvalot/", true, StartupRefusal::TemporaryFolder},
        LocationCase{"/home/op/temp/", false, StartupRefusal::TemporaryFolder},
        LocationCase{"/home/op/Templates/korvalot/", true, StartupRefusal::None},
        LocationCase{"/home/op/MyTemp/", true, StartupRefusal::None},
        LocationCase{"/opt/korvalot/", false, StartupRefusal::TlsMissing},
        LocationCase{"/opt/korvalot/", true, StartupRefusal::None}));

TEST(StartupChecks, TextsAreExactWithCrLfBetweenLines) {
    const QString closing = QStringLiteral(
        "Для корректной работы программы извлеките файлы программы из архива в отдельную папку. "
        "Это можно сделать, кликнув правой кнопкой мыши на архиве и выбрав пункт меню "
        "\"Извлечь все\"");
    EXPECT_EQ(StartupRefusalText(StartupRefusal::InsideArchive),
              QStringLiteral("Вы запустили программу изнутри архива!\r\n") + closing);
    EXPECT_EQ(StartupRefusalText(StartupRefusal::TemporaryFolder),
              QStringLiteral("Программа запущена из временной папки!\r\nСкорее всего, Вы запустили "
                             "программу изнутри архива.\r\n") +
                  closing);
    EXPECT_EQ(StartupRefusalText(StartupRefusal::TlsMissing),
              QStringLiteral("Программа не обнаружила необходимые для работы файлы!\r\nВероятно, "
                             "Вы запустили программу изнутри архива!\r\n") +
                  closing);
    EXPECT_TRUE(closing.endsWith(QStringLiteral("\"Извлечь все\"")));
    EXPECT_TRUE(TlsLibraryReady());
}

}  // namespace
}  // namespace korvalot::app
