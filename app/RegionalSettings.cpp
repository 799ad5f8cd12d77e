#include "app/RegionalSettings.h"

namespace korvalot::app {
namespace {

// Walks a Qt date/time format, keeping quoted literals intact, and hands each run of one
// pattern letter to rewrite; other characters are copied.
template <typename Rewrite>
QString RewriteFields(const QString& format, Rewrite rewrite) {
    QString out;
    qsizetype i = 0;
    while (i < format.size()) {
        const QChar c = format[i];
        if (c == u'\'') {
            const qsizetype close = format.indexOf(u'\'', i + 1);
            const qsizetype end = close < 0 ? format.size() : close + 1;
            out += format.mid(i, end - i);
            i = end;
            continue;
        }
        if (c.isLetter()) {
            qsizetype j = i;
            while (j < format.size() && format[j] == c) {
                ++j;
            }
            out += rewrite(c, j - i);
            i = j;
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}

QString FourDigitYear(const QString& format) {
    return RewriteFields(format, [](QChar c, qsizetype count) {
        if (c == u'y') {
            return QStringLiteral("yyyy");
        }
        return QString(count, c);
    });
}

QString WithoutZone(const QString& format) {
    QString out = RewriteFields(format, [](QChar c, qsizetype count) {
        return c == u't' ? QStringLiteral("\x01") : QString(count, c);
    });
    // The zone and the blanks or separators that stood only for it go; "HH:mm:ss t" becomes
    // "HH:mm:ss".
    qsizetype marker;
    while ((marker = out.indexOf(QChar(1))) >= 0) {
        qsizetype from = marker;
        qsizetype to = marker + 1;
        while (from > 0 && out[from - 1].isSpace()) {
            --from;
        }
        if (from == 0) {
            while (to < out.size() && out[to].isSpace()) {
                ++to;
            }
        }
        out.remove(from, to - from);
    }
    return out.trimmed();
}

}  // namespace

RegionalSettings::RegionalSettings(const QLocale& locale)
    : locale_(locale),
      shortDate_(FourDigitYear(locale.dateFormat(QLocale::ShortFormat))),
      longTime_(WithoutZone(locale.timeFormat(QLocale::LongFormat))) {}

QChar RegionalSettings::DecimalSeparator() const {
    const QString separator = locale_.decimalPoint();
    return separator.isEmpty() ? QChar(u'.') : separator.front();
}

QString RegionalSettings::FormatDate(const QDate& date) const {
    return locale_.toString(date, shortDate_);
}

QDate RegionalSettings::ParseDate(const QString& text) const {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        return {};
    }
    return locale_.toDate(trimmed, shortDate_);
}

QString RegionalSettings::FormatStamp(const QDateTime& moment) const {
    return locale_.toString(moment.date(), shortDate_) + u' ' +
           locale_.toString(moment.time(), longTime_);
}

bool SameTextIgnoringCase(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

}  // namespace korvalot::app
