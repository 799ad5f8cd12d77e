#pragma once

#include <QString>
#include <QStringList>

namespace korvalot::app {

// The lines of a list file. A byte-order mark chooses UTF-8 or UTF-16 (either byte order);
// without one the text is UTF-8, the code page of written list files on this system. Lines end
// at CR LF, LF or CR and are taken as they are. Raises AppError when the file cannot be read.
QStringList ReadListFile(const QString& path);

// Writes each line followed by CR LF, UTF-8 without a byte-order mark; no lines give an empty
// file. Replaces the file. Raises AppError.
void WriteListFile(const QString& path, const QStringList& lines);

}  // namespace korvalot::app
