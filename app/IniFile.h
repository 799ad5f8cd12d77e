#pragma once

#include <QString>

namespace korvalot::app {

// Reads one value of an INI file: section and key match without regard to letter case, the
// value loses surrounding blanks and one pair of enclosing quotes. fallback when the file, the
// section or the key is missing.
QString ReadIniValue(const QString& path, const QString& section, const QString& key,
                     const QString& fallback);

// Sets one value and leaves every other byte of the file as it was: other sections, keys,
// comments, blank lines and line ends. A missing key is added at the end of its section, a
// missing section at the end of the file, a missing file is created. Raises AppError.
void WriteIniValue(const QString& path, const QString& section, const QString& key,
                   const QString& value);

}  // namespace korvalot::app
