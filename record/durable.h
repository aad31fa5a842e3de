#pragma once

// File writes that are on the disk when they return, for the few files whose loss would cost a
// production line its only account of a unit: the history, its pending rows and a transcript.
// QFile does the work; all that Qt lacks is the call that hands the bytes to the disk.

#include <QByteArray>
#include <QString>

class QFile;
class QFileDevice;

namespace record
{

// fsync, or FlushFileBuffers on Windows.
bool syncToDisk(QFileDevice &file);

// A new or renamed name is an entry of its folder, which POSIX systems bring to the disk apart
// from the file; Windows journals names with the file.
void syncFolder(const QString &folder);

// Appends bytes to the open file and brings them to the disk. When they cannot all be written
// (a full disk, say) the file is cut back to its old length, so no part of them stays behind.
bool appendDurably(QFile &file, const QByteArray &bytes, QString *error);

// Writes a new file, never over an existing one (taken is then set). A file that cannot be
// written whole is removed again, so no empty or partial file is left.
bool createDurably(const QString &path, const QByteArray &bytes, bool *taken, QString *error);

// Replaces the file's content through a temporary file and a rename, once every byte is written
// and on the disk; on any failure the old file stays as it was, byte for byte.
bool replaceDurably(const QString &path, const QByteArray &bytes, QString *error);

} // namespace record
