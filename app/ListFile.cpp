#include "app/ListFile.h"

#include <filesystem>
#include <string>
#include <vector>

#include "app/AppError.h"
#include "util/Platform.h"

namespace korvalot::app {

namespace {

std::filesystem::path FilePath(const QString& path) {
    return std::filesystem::path(path.toStdString());
}

}  // namespace

QStringList ReadListFile(const QString& path) {
    std::vector<std::string> lines;
    try {
        lines = util::ReadListFile(FilePath(path));
    } catch (const util::PlatformError& error) {
        throw AppError(error.what());
    }
    QStringList out;
    out.reserve(static_cast<qsizetype>(lines.size()));
    for (const std::string& line : lines) {
        out.append(QString::fromStdString(line));
    }
    return out;
}

void WriteListFile(const QString& path, const QStringList& lines) {
    std::vector<std::string> bytes;
    bytes.reserve(static_cast<std::size_t>(lines.size()));
    for (const QString& line : lines) {
        bytes.push_back(line.toStdString());
    }
    try {
        util::WriteListFile(FilePath(path), bytes);
    } catch (const util::PlatformError& error) {
        throw AppError(error.what());
    }
}

}  // namespace korvalot::app
