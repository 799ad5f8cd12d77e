#pragma once

#include <QString>
#include <QStringList>

// The window's side of the list files of util/Platform: the same reading and writing, with Qt
// texts and AppError.
namespace korvalot::app {

// The lines of a list file, read as util::ReadListFile reads them. Raises AppError when the file
// cannot be read.
QStringList ReadListFile(const QString& path);

// Replaces the file at once with each line followed by CR LF, UTF-8 without a byte-order mark,
// as util::WriteListFile does; no lines give an empty file. Raises AppError.
void WriteListFile(const QString& path, const QStringList& lines);

}  // namespace korvalot::app
