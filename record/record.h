#pragma once

// The upgrade record: one row per burn in CONFIG/history.csv and the run's whole text in
// CONFIG/logs. The text rules are pure functions; the few file writes below them never throw,
// never ask the user and leave one debug line per failure, so a record can never get in the
// way of a burn.

#include "flashtext.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <atomic>
#include <optional>

class QProcess;

namespace record
{

enum class Result { Success, Failure, Undecided, Interrupted, NotStarted };

// The burn's verdict as the record names it.
Result resultOf(flashtext::BurnVerdict verdict);

// The tool's exit code; none after a crash, where the number means nothing.
std::optional<int> exitCodeOf(const QProcess &process);

struct Row {
    QDateTime started;      // local, UTC or any offset: the offset is printed as it stands
    QString program;        // "Quorbel" or "flasher"
    QString serial;         // empty in flasher
    int deviceVersion = -1; // < 0: unknown
    QString file;           // full path
    int fileVersion = -1;   // < 0: the name carries none
    qint64 bytes = -1;      // < 0: the file could not be read
    QByteArray sha256;      // lowercase hex, empty when the file could not be read
    Result result = Result::NotStarted;
    qint64 milliseconds = 0; // run duration
    std::optional<int> exitCode;
    QString transcript; // file name without folder, empty when none was written
};

// ISO 8601 with the offset always present (Qt 5 leaves it out for local time and writes "Z"
// for a zero offset).
QString isoTime(const QDateTime &time);

// Without the byte-order mark, which belongs to the file rather than to a row; ends in CRLF.
QByteArray csvHeader();
// UTF-8, quoted where needed, ends in CRLF.
QByteArray csvRow(const Row &row);

// The serial number as a file name part: only [A-Za-z0-9._-], no leading dot, at most 64
// characters; "unknown" when nothing is left.
QString safeLabel(const QString &serial);

// <yyyyMMdd-HHmmss>-<label>[-<attempt>].txt; attempt 0 and 1 give no suffix.
QString transcriptName(const QDateTime &started, const QString &label, int attempt = 0);
bool isTranscriptName(const QString &name);

// The tool's command line as one readable line, arguments with blanks or quotes quoted.
QString commandLine(const QString &program, const QStringList &arguments);

// The transcripts among names (other names are ignored) beyond the newest keep, oldest first.
QStringList transcriptsToDelete(const QStringList &names, int keep);

struct Digest {
    qint64 bytes = -1; // < 0: the file could not be read to its end, or the reading was cancelled
    QByteArray sha256; // lowercase hex
};

// Reads the file in blocks, looking at cancel between them, so a caller can stop it quickly.
Digest hashFile(const QString &path, const std::atomic<bool> &cancel);

// Appends one row (header and byte-order mark first when the file is new or empty) in a single
// write; a partial last line left by a crash is closed first.
bool appendRow(const QString &csvPath, const Row &row);

// Writes the command line and the run text into a new transcript in logsDir (created when
// missing), never over an existing file. Returns the file name, empty on failure.
QString writeTranscript(const QString &logsDir, const QDateTime &started, const QString &label,
                        const QString &commandLine, const QString &runText);

// Deletes the transcripts of logsDir beyond the newest keep; other files stay.
void pruneTranscripts(const QString &logsDir, int keep);

} // namespace record
