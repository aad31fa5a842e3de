#pragma once

// File writes that are on the disk when they return, for the few files whose loss would cost a
// production line its only account of a unit: a row of the history and a transcript. Thin over
// the system: POSIX file descriptors and fsync, or the C runtime's descriptors on Windows and
// FlushFileBuffers on their handles.

#include <QByteArray>
#include <QString>

namespace record
{

// Appends bytes to the file (made when missing) in one go. When they cannot all be written (a
// full disk, say) the file is cut back to its old length, so no part of them stays behind.
// error receives the system's reason.
bool appendDurably(const QString &path, const QByteArray &bytes, QString *error);

// Writes a new file, never over an existing one (taken is then set). A file that cannot be
// written whole is closed and removed again by its name, so no empty or partial file is left.
bool createDurably(const QString &path, const QByteArray &bytes, bool *taken, QString *error);

} // namespace record
