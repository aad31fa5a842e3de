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
#include <future>
#include <optional>

class QFile;

namespace record
{

enum class Result { Success, Failure, Undecided, Interrupted, NotStarted, TimedOut };

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
    QString transcript;       // file name without folder, empty when none was written
    QString port;             // the port the burn named; empty when it named none
    QString mac;              // the chip's MAC as the tool printed it while burning; may be empty
    QString toolVersion;      // from the tool's banner; may be empty
    QString verify;           // what the device confirmed after the burn; empty: it was not asked
    int verifiedVersion = -1; // the version it then reported; < 0: none
};

// ISO 8601 with the offset always present (Qt 5 leaves it out for local time and writes "Z"
// for a zero offset).
QString isoTime(const QDateTime &time);

// Without the byte-order mark, which belongs to the file rather than to a row; ends in CRLF.
QByteArray csvHeader();
// The headers that earlier versions wrote, oldest first, each a start of the current one.
QList<QByteArray> oldCsvHeaders();
// UTF-8, quoted where needed, ends in CRLF. A text field that a spreadsheet would run as a
// formula (=, +, - or @ first) gets a leading apostrophe.
QByteArray csvRow(const Row &row);

// What to write after the last bytes of a history (its tail, from anywhere in the file), cut short
// by a crash or a full disk, so that the next row starts a row of its own: nothing after a
// complete row, the closing quote and line end inside a quoted field, the line end (or its
// missing line feed) elsewhere. Only the last row is looked at: the cut can only be in the last
// row one of our programs wrote, and each of those begins with its time. Earlier rows, hand-edited
// or of another dialect, are not ours to repair.
QByteArray completingTail(const QByteArray &tail);

// A file that begins with an old header (with or without the byte-order mark, CRLF or LF line
// ends) under the current one: each row given the new columns empty, line ends made CRLF, a cut
// last row completed. Anything else is returned as it is.
QByteArray withCurrentHeader(const QByteArray &content);

// How many bytes at the start of rows the tail of a history already ends with, from the start of
// a row on: what a kill between writing pending rows and clearing the pending file leaves.
int alreadyWritten(const QByteArray &tail, const QByteArray &rows);

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

// The history file of one CONFIG folder as a program uses it; several, in one program or two,
// may be open on the same file. Each write holds a lock file beside the history. A row that
// cannot go in now (a full disk, a file another program holds locked, a read-only folder, the
// lock held too long) goes at once into history.pending.csv beside it, whose rows go into the
// history, in order and only once, before the next row, at flush() or close(), or when the next
// History on the same file opens. Only when the pending file cannot be written either do rows
// wait in memory, until close().
class History
{
public:
    explicit History(const QString &csvPath);
    ~History(); // close()
    History(const History &) = delete;
    History &operator=(const History &) = delete;

    // The waiting rows, then this one; false when they all wait (a debug line or two).
    bool append(const Row &row);
    bool flush();
    // Rows not yet in the history as far as this object saw at its last write: in the pending
    // file or in memory.
    int waiting() const { return m_pendingRows + m_memory.size(); }
    // Waits for a header rewrite still running, flushes, and tries once more to keep rows still
    // in memory in the pending file.
    void close();

    static QString pendingPath(const QString &csvPath);
    // The lock file of a history or pending file.
    static QString lockPath(const QString &path);

    // How a file of rows begins: the header decides whether it is appended to, made, rewritten.
    enum class Start { Empty, CutHeader, Current, Old, Foreign };
    struct Shape {
        qint64 size = -1; // what it was when learnt, or after our last write to it
        Start start = Start::Empty;
        QByteArray completion; // what its last row needs
    };

private:
    bool writeWaiting(QString *error);
    bool takeOverPending(QFile &history, QString *error);
    bool keepInPending(QString *error);
    bool upgradeHeader(QString *error);

    QString m_path;
    QString m_pendingPath;
    Shape m_shape;
    QList<QByteArray> m_memory;
    int m_pendingRows = 0;
    bool m_open = true;             // until close(), or again after an append
    std::future<QString> m_upgrade; // the header rewrite, in its thread: empty or the reason
};

// Writes the command line and the run text into a new transcript in logsDir (created when
// missing), never over an existing file. Returns the file name, empty on failure.
QString writeTranscript(const QString &logsDir, const QDateTime &started, const QString &label,
                        const QString &commandLine, const QString &runText);

// Deletes the transcripts of logsDir beyond the newest keep; other files stay.
void pruneTranscripts(const QString &logsDir, int keep);

} // namespace record
