#pragma once

// The upgrade record: one row per burn in CONFIG/history.csv and the run's whole text in
// CONFIG/logs. The text rules are pure functions; the few file writes below them never throw,
// never ask the user and leave one debug line per failure, so a record can never get in the
// way of a burn.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <atomic>
#include <optional>

namespace record
{

enum class Result { Success, Failure, Undecided, Interrupted, NotStarted };

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
    QString transcript;  // file name without folder, empty when none was written
    QString port;        // the port the burn named; empty when it named none
    QString mac;         // the chip's MAC as the tool printed it while burning; may be empty
    QString toolVersion; // from the tool's banner; may be empty
};

// ISO 8601 with the offset always present (Qt 5 leaves it out for local time and writes "Z"
// for a zero offset).
QString isoTime(const QDateTime &time);

// Without the byte-order mark, which belongs to the file rather than to a row; ends in CRLF.
QByteArray csvHeader();
// The header of files written before the port, mac and tool_version columns.
QByteArray legacyCsvHeader();
// UTF-8, quoted where needed, ends in CRLF. A text field that a spreadsheet would run as a
// formula (=, +, - or @ first) gets a leading apostrophe.
QByteArray csvRow(const Row &row);

// What to write after a file's bytes, cut short by a crash or a full disk, so that the next row
// starts a row of its own: nothing after a complete row, the closing quote and line end inside
// a quoted field, the line end (or its missing line feed) elsewhere. The cut row keeps what was
// written of it.
QByteArray completingTail(const QByteArray &content);

// Old rows under the new header: the legacy header replaced, each row given the new columns
// empty. Anything else is returned as it is.
QByteArray withCurrentHeader(const QByteArray &content);

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

// Appends rows (csvRow's bytes) to the history file in a single write that is on the disk when
// this returns: the byte-order mark and header first when the file is new, empty or holds only a
// cut header; a file of the legacy header rewritten under the new one first, through a
// temporary file and a rename; a last row cut short completed first. False, with the reason in
// error, when the file cannot be read or written; then nothing of the rows is in it.
bool appendRows(const QString &csvPath, const QByteArray &rows, QString *error);

// The history file of one CONFIG folder as a program uses it. A row that cannot be written now
// (a full disk, a file another program holds locked, a read-only folder) waits, in order, and
// goes in before the next row, when flush() is called, or when the history is closed. What
// still waits then is kept in history.pending.csv beside it, which the next History on the
// same file takes over and writes first.
class History
{
public:
    explicit History(const QString &csvPath);
    ~History(); // close()
    History(const History &) = delete;
    History &operator=(const History &) = delete;

    // The waiting rows, then this one; false when they all wait (one debug line).
    bool append(const Row &row);
    bool flush();
    int waiting() const { return m_waiting.size(); }
    // Flushes, and keeps what still waits in the pending file.
    void close();

    static QString pendingPath(const QString &csvPath);

private:
    void takeOverPending();

    QString m_path;
    QList<QByteArray> m_waiting;
};

// Writes the command line and the run text into a new transcript in logsDir (created when
// missing), never over an existing file. Returns the file name, empty on failure.
QString writeTranscript(const QString &logsDir, const QDateTime &started, const QString &label,
                        const QString &commandLine, const QString &runText);

// Deletes the transcripts of logsDir beyond the newest keep; other files stay.
void pruneTranscripts(const QString &logsDir, int keep);

} // namespace record
