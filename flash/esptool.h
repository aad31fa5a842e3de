#pragma once

// What we hand to the external flashing tool and how we start it. Both programs start the tool
// through these functions only.

#include "flashtext.h"

#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace esptool
{

// Bare program name, found on the program search path.
QString program();

// The fixed write-flash command line; the firmware path goes last, as given. A port, when given,
// is named right after the chip: left to itself the tool writes the first device it finds,
// which need not be the one that was read.
QStringList burnArguments(const QString &firmwarePath, const QString &port = QString());

// The device probe.
QStringList probeArguments();

// The inherited environment plus NO_COLOR=1 and PYTHONUNBUFFERED=1: a TERM inherited from a
// terminal must not switch the tool to its terminal form, and its output must arrive as written.
QProcessEnvironment environment();

// Merges standard error into standard output; call once, before any start.
void prepare(QProcess *process);

// Logs the argument list and starts the tool with it (read-write, the environment above).
void start(QProcess *process, const QStringList &arguments);

// Joins a window's three run handlers to its process: new output, the end of a run (with the
// exit code only), and errors such as a tool that cannot be started.
template <class Window>
void connectRun(QProcess *process, Window *window, void (Window::*output)(),
                void (Window::*finished)(int), void (Window::*error)(QProcess::ProcessError))
{
    QObject::connect(process, &QProcess::readyReadStandardOutput, window, output);
    QObject::connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), window,
                     finished);
    QObject::connect(process, &QProcess::errorOccurred, window, error);
}

// Everything the merged channel holds now, decoded as local 8-bit text.
QString readChunk(QProcess *process);

// The output that has just arrived: logged, appended to the run's text, and returned for the
// caller's own rules.
QString takeOutput(QProcess *process, QString *runText);

// At the end of a run: whatever is still unread, logged and appended too (it may hold the
// verdict itself), then the whole run's text logged.
void takeRest(QProcess *process, QString *runText);

// The verdict of a burn that has ended, from its whole text and how the tool ended: a crash
// without a verdict text is a failure; the exit code plays no part. readMac is the MAC of the
// chip that was read (empty when none is known); a burn of another chip is logged and failed.
flashtext::BurnVerdict burnVerdict(const QProcess &process, const QString &runText,
                                   const QString &readMac = QString());

// Shown when the tool cannot be started at all.
extern const char *const kToolMissingText;

} // namespace esptool
