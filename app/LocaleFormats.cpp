#include "app/LocaleFormats.h"

#include <string>

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

LocaleFormats::LocaleFormats(const QLocale& locale)
    : locale_(locale),
      shortDate_(FourDigitYear(locale.dateFormat(QLocale::ShortFormat))),
      longTime_(WithoutZone(locale.timeFormat(QLocale::LongFormat))) {}

QChar LocaleFormats::DecimalSeparator() const {
    const QString separator = locale_.decimalPoint();
    return separator.isEmpty() ? QChar(u'.') : separator.front();
}

QString LocaleFormats::FormatDate(const QDate& date) const {
    return locale_.toString(date, shortDate_);
}

QDate LocaleFormats::ParseDate(const QString& text) const {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        return {};
    }
    return locale_.toDate(trimmed, shortDate_);
}

QString LocaleFormats::FormatStamp(const QDateTime& moment) const {
    return locale_.toString(moment.date(), shortDate_) + u' ' +
           locale_.toString(moment.time(), longTime_);
}

std::string StrftimeFromQtFormat(const QString& format) {
    std::string out;
    qsizetype i = 0;
    while (i < format.size()) {
        const QChar c = format[i];
        if (c == u'\'') {
            const qsizetype close = format.indexOf(u'\'', i + 1);
            const qsizetype end = close < 0 ? format.size() : close;
            out += format.mid(i + 1, end - i - 1).toStdString();
            i = end + 1;
            continue;
        }
        qsizetype run = 1;
        while (i + run < format.size() && format[i + run] == c) {
            ++run;
        }
        std::string piece;
        switch (c.unicode()) {
            case u'd':
                piece = run >= 4 ? "%A" : run == 3 ? "%a" : "%d";
                break;
            case u'M':
                piece = run >= 4 ? "%B" : run == 3 ? "%b" : "%m";
                break;
            case u'y':
                piece = run >= 4 ? "%Y" : "%y";
                break;
            case u'H':
                piece = "%H";
                break;
            case u'h':
                piece = format.contains(QStringLiteral("AP"), Qt::CaseInsensitive) ? "%I" : "%H";
                break;
            case u'm':
                piece = "%M";
                break;
            case u's':
                piece = "%S";
                break;
            case u'A':
            case u'a':
                piece = "%p";
                if (i + run < format.size() &&
                    (format[i + run] == u'P' || format[i + run] == u'p')) {
                    ++run;
                }
                break;
            case u'%':
                piece = std::string(static_cast<std::size_t>(run) * 2, '%');
                break;
            default:
                piece = QString(run, c).toStdString();
                break;
        }
        out += piece;
        i += run;
    }
    return out;
}

std::string LocaleFormats::StampAsStrftime() const {
    return StrftimeFromQtFormat(shortDate_ + u' ' + longTime_);
}

bool SameTextIgnoringCase(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

}  // namespace korvalot::app
