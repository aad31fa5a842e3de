#pragma once

// What we hand to the external flashing tool and how we start it. Both programs start the tool
// through these functions only.

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class QProcess;

namespace esptool {

// Bare program name, found on the program search path.
QString program();

// The fixed write-flash command line; the firmware path goes last, as given.
QStringList burnArguments(const QString &firmwarePath);

// The device probe.
QStringList probeArguments();

// The inherited environment plus NO_COLOR=1 and PYTHONUNBUFFERED=1: a TERM inherited from a
// terminal must not switch the tool to its terminal form, and its output must arrive as written.
QProcessEnvironment environment();

// Merges standard error into standard output; call once, before any start.
void prepare(QProcess *process);

// Starts the tool with the given arguments (read-write, the environment above).
void start(QProcess *process, const QStringList &arguments);

// Everything the merged channel holds now, decoded as local 8-bit text.
QString readChunk(QProcess *process);

// Shown when the tool cannot be started at all.
extern const char *const kToolMissingText;

} // namespace esptool
