#include "app/IniFile.h"

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include <QByteArray>
#include <QFile>

#include "app/AppError.h"
#include "util/Platform.h"

namespace korvalot::app {
namespace {

struct Line {
    QByteArray text;  // without its line end
    QByteArray end;   // "\r\n", "\n", "\r" or empty for a last line without one
};

std::vector<Line> SplitLines(const QByteArray& bytes) {
    std::vector<Line> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' || bytes[i] == '\n') {
            Line line{bytes.mid(start, i - start), {}};
            if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
                line.end = "\r\n";
                ++i;
            } else {
                line.end = QByteArray(1, bytes[i]);
            }
            lines.push_back(std::move(line));
            start = i + 1;
        }
    }
    if (start < bytes.size()) {
        lines.push_back({bytes.mid(start), {}});
    }
    return lines;
}

QByteArray WithoutBom(const QByteArray& text) {
    return text.startsWith("\xEF\xBB\xBF") ? text.mid(3) : text;
}

bool SameAsciiName(const QByteArray& a, const QByteArray& b) {
    return a.trimmed().compare(b.trimmed(), Qt::CaseInsensitive) == 0;
}

// The name of a "[name]" line.
std::optional<QByteArray> SectionName(const QByteArray& rawLine) {
    const QByteArray line = WithoutBom(rawLine).trimmed();
    if (!line.startsWith('[')) {
        return std::nullopt;
    }
    const qsizetype close = line.indexOf(']');
    if (close < 0) {
        return std::nullopt;
    }
    return line.mid(1, close - 1);
}

// The key of a "key=value" line; comments and other lines have none.
std::optional<QByteArray> KeyOf(const QByteArray& rawLine) {
    const QByteArray line = WithoutBom(rawLine).trimmed();
    if (line.isEmpty() || line.startsWith(';') || line.startsWith('#')) {
        return std::nullopt;
    }
    const qsizetype equals = line.indexOf('=');
    if (equals <= 0) {
        return std::nullopt;
    }
    return line.left(equals);
}

struct Found {
    std::optional<std::size_t> section;  // index of the section's header line
    std::optional<std::size_t> key;      // index of the key's line
    std::size_t lastEntry = 0;           // last non-blank line of the section
};

Found Locate(const std::vector<Line>& lines, const QByteArray& section, const QByteArray& key) {
    Found found;
    bool inside = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (const auto name = SectionName(lines[i].text)) {
            if (found.section) {
                break;  // the first matching section is the one used
            }
            inside = SameAsciiName(*name, section);
            if (inside) {
                found.section = i;
                found.lastEntry = i;
            }
            continue;
        }
        if (!inside) {
            continue;
        }
        if (!lines[i].text.trimmed().isEmpty()) {
            found.lastEntry = i;
        }
        const auto lineKey = KeyOf(lines[i].text);
        if (lineKey && !found.key && SameAsciiName(*lineKey, key)) {
            found.key = i;
        }
    }
    return found;
}

}  // namespace

QString ReadIniValue(const QString& path, const QString& section, const QString& key,
                     const QString& fallback) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return fallback;
    }
    const auto lines = SplitLines(file.readAll());
    const Found found = Locate(lines, section.toUtf8(), key.toUtf8());
    if (!found.key) {
        return fallback;
    }
    const QByteArray& line = lines[*found.key].text;
    QByteArray value = line.mid(line.indexOf('=') + 1).trimmed();
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.mid(1, value.size() - 2);
    }
    return QString::fromUtf8(value);
}

void WriteIniValue(const QString& path, const QString& section, const QString& key,
                   const QString& value) {
    std::vector<Line> lines;
    QFile existing(path);
    if (existing.exists()) {
        if (!existing.open(QIODevice::ReadOnly)) {
            throw AppError((path + QStringLiteral(": ") + existing.errorString()).toStdString());
        }
        lines = SplitLines(existing.readAll());
        existing.close();
    }
    const QByteArray entry = key.toUtf8() + '=' + value.toUtf8();
    const Found found = Locate(lines, section.toUtf8(), key.toUtf8());
    if (found.key) {
        lines[*found.key].text = entry;
    } else if (found.section) {
        if (lines[found.lastEntry].end.isEmpty()) {
            lines[found.lastEntry].end = "\r\n";
        }
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(found.lastEntry) + 1,
                     Line{entry, "\r\n"});
    } else {
        if (!lines.empty() && lines.back().end.isEmpty()) {
            lines.back().end = "\r\n";
        }
        lines.push_back({'[' + section.toUtf8() + ']', "\r\n"});
        lines.push_back({entry, "\r\n"});
    }
    QByteArray bytes;
    for (const Line& line : lines) {
        bytes += line.text;
        bytes += line.end;
    }
    try {
        util::WriteFileBytes(
            std::filesystem::path(path.toStdString()),
            std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    } catch (const util::PlatformError& error) {
        throw AppError(error.what());
    }
}

}  // namespace korvalot::app
