#pragma once

#include <string>

#include <QChar>
#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QString>

namespace korvalot::app {

// The operator's regional formats, taken from one locale (QLocale::system() in the program).
// A run gets the two it needs as crawl::RegionalSettings.
class LocaleFormats {
public:
    explicit LocaleFormats(const QLocale& locale = QLocale::system());

    // The locale's short date format with its year always in four digits: a two-digit year
    // would read "25.06.26" back as 1926.
    QString ShortDateFormat() const { return shortDate_; }
    // The locale's long time format without the time zone.
    QString LongTimeFormat() const { return longTime_; }
    QChar DecimalSeparator() const;
    const QLocale& Locale() const { return locale_; }

    QString FormatDate(const QDate& date) const;
    // An invalid date when the text is empty or not a date in the short date format.
    QDate ParseDate(const QString& text) const;
    // Short date, one blank, long time: the head of every log line.
    QString FormatStamp(const QDateTime& moment) const;
    // The same stamp as strftime conversions, for parts of the program without Qt.
    std::string StampAsStrftime() const;

private:
    QLocale locale_;
    QString shortDate_;
    QString longTime_;
};

// Equal when they differ only in letter case, in any script ("открытый аукцион" and
// "Открытый аукцион").
bool SameTextIgnoringCase(const QString& a, const QString& b);

// A Qt date/time format as strftime conversions; quoted literals are kept.
std::string StrftimeFromQtFormat(const QString& format);

}  // namespace korvalot::app
