#include "record.h"

#include "durable.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>
#include <system_error>

namespace record
{

namespace
{

const char kHistoryNotWritten[] = "record history not written:";
const char kTranscriptNotWritten[] = "record transcript not written:";
const char kTranscriptNotDeleted[] = "record transcript not deleted:";
const char kFirmwareNotRead[] = "record firmware not read:";
const char kRowsKept[] = "record rows kept until the history takes them, in";
const char kRowsLost[] = "record rows lost:";
const char kPendingNotTaken[] = "record pending rows left in place:";

// Spreadsheet programs on Windows read a CSV file as the local code page unless it starts with
// the UTF-8 byte-order mark.
const char kByteOrderMark[] = "\xEF\xBB\xBF";

// Each version's columns after those of the one before it. New columns go last: a reader that
// knows the first ones by position keeps working, and a file under an earlier header gets the
// later columns empty.
const char *const kColumnsByVersion[] = {
    "time,program,serial,device_version,file,file_version,bytes,sha256,result,seconds,exit_code,"
    "transcript",
    "port,mac,tool_version",
    "verify,verified_version",
};

// Far more than any header; the tail, far more than any row of ours.
const qint64 kHeadBytes = 1024;
const qint64 kTailBytes = 64 * 1024;
// The other program's write takes milliseconds; the GUI thread waits no longer than this.
const int kLockWaitMs = 200;
// A small file's header rewrite is done within this; a large one's rows wait in the pending file.
const int kUpgradeWaitMs = 500;
const int kUpgradeLockWaitMs = 10000;

const int kLabelLength = 64;
// Small enough that a cancelled hash stops within about a millisecond.
const qint64 kHashBlock = 256 * 1024;
// Same second, same device: enough for any burn rate a person can reach.
const int kNameAttempts = 100;

QString resultName(Result result)
{
    switch (result) {
    case Result::Success:
        return QStringLiteral("success");
    case Result::Failure:
        return QStringLiteral("failure");
    case Result::Undecided:
        return QStringLiteral("undecided");
    case Result::Interrupted:
        return QStringLiteral("interrupted");
    case Result::TimedOut:
        return QStringLiteral("timed-out");
    case Result::NotStarted:
        break;
    }
    return QStringLiteral("not-started");
}

// A spreadsheet runs a cell that begins with one of these as a formula; the apostrophe makes it
// text, and is not shown.
QString formulaSafe(const QString &text)
{
    static const QString starters = QStringLiteral("=+-@");
    if (!text.isEmpty() && starters.contains(text.at(0)))
        return QLatin1Char('\'') + text;
    return text;
}

QString csvField(const QString &text)
{
    static const QRegularExpression special(QStringLiteral("[,\"\r\n]"));
    if (!text.contains(special))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString numberOrEmpty(qint64 value)
{
    return value < 0 ? QString() : QString::number(value);
}

QByteArray csvLine(const QStringList &fields)
{
    QStringList quoted;
    for (const QString &field : fields)
        quoted << csvField(field);
    return (quoted.join(QLatin1Char(',')) + QLatin1String("\r\n")).toUtf8();
}

bool isLabelChar(QChar c)
{
    const ushort u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '.' ||
           u == '_' || u == '-';
}

QString quotedArgument(const QString &argument)
{
    static const QRegularExpression needsQuotes(QStringLiteral("[\\s\"]"));
    if (!argument.isEmpty() && !argument.contains(needsQuotes))
        return argument;
    QString escaped = argument;
    escaped.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

// The end ('\n') of the record that begins at from, read as spreadsheet programs read CSV: a quote
// opens a quoted field only at the field's start, "" inside one is a quote, and a quote anywhere
// else is text. -1 when the bytes end first; quoted then tells whether inside a quoted field.
int recordEnd(const QByteArray &bytes, int from, bool *quoted)
{
    bool inQuotes = false;
    bool fieldStart = true;
    for (int i = from; i < bytes.size(); ++i) {
        const char c = bytes.at(i);
        if (inQuotes) {
            if (c == '"' && i + 1 < bytes.size() && bytes.at(i + 1) == '"')
                ++i;
            else if (c == '"')
                inQuotes = false;
            continue;
        }
        if (c == '\n')
            return i;
        inQuotes = c == '"' && fieldStart;
        fieldStart = c == ',';
    }
    *quoted = inQuotes;
    return -1;
}

// What ends the record that begins at start and runs to the end of bytes.
QByteArray closing(const QByteArray &bytes, int start, bool quoted)
{
    if (start == bytes.size())
        return QByteArray();
    if (quoted)
        return "\"\r\n";
    return bytes.endsWith('\r') ? QByteArray("\n") : QByteArray("\r\n");
}

bool startsWithTime(const QByteArray &bytes, int at)
{
    static const char pattern[] = "dddd-dd-ddT";
    const int length = int(sizeof pattern) - 1;
    if (bytes.size() - at < length)
        return false;
    for (int i = 0; i < length; ++i) {
        const char c = bytes.at(at + i);
        if (pattern[i] == 'd' ? c < '0' || c > '9' : c != pattern[i])
            return false;
    }
    return true;
}

// Our rows begin with their time; a line inside a quoted field does not. Without a row of ours in
// sight the last line stands for the last row.
int lastRowStart(const QByteArray &tail)
{
    for (int i = tail.size() - 1; i > 0; --i)
        if (tail.at(i - 1) == '\n' && startsWithTime(tail, i))
            return i;
    return tail.size() < 2 ? 0 : tail.lastIndexOf('\n', tail.size() - 2) + 1;
}

// The first line after the byte-order mark, with CRLF whatever it ended in, and where the next
// begins; empty when the bytes hold no line end.
QByteArray headerLine(const QByteArray &bytes, int *next)
{
    const int from = bytes.startsWith(kByteOrderMark) ? int(sizeof kByteOrderMark) - 1 : 0;
    const int end = bytes.indexOf('\n', from);
    if (end < 0)
        return QByteArray();
    *next = end + 1;
    QByteArray line = bytes.mid(from, end - from);
    if (line.endsWith('\r'))
        line.chop(1);
    return line + "\r\n";
}

} // namespace

QString isoTime(const QDateTime &time)
{
    if (!time.isValid())
        return QString();
    const int offset = time.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")) +
           QLatin1Char(offset < 0 ? '-' : '+') +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QList<QByteArray> oldCsvHeaders()
{
    QList<QByteArray> headers;
    QByteArray columns;
    for (const char *added : kColumnsByVersion) {
        columns += (columns.isEmpty() ? "" : ",") + QByteArray(added);
        headers << columns + "\r\n";
    }
    headers.removeLast();
    return headers;
}

QByteArray csvHeader()
{
    QList<QByteArray> versions;
    for (const char *added : kColumnsByVersion)
        versions << added;
    return versions.join(',') + "\r\n";
}

QByteArray csvRow(const Row &row)
{
    return csvLine({isoTime(row.started), row.program, formulaSafe(row.serial),
                    numberOrEmpty(row.deviceVersion), formulaSafe(row.file),
                    numberOrEmpty(row.fileVersion), numberOrEmpty(row.bytes),
                    QString::fromLatin1(row.sha256), resultName(row.result),
                    QString::number(double(std::max<qint64>(0, row.milliseconds)) / 1000, 'f', 1),
                    row.exitCode ? QString::number(*row.exitCode) : QString(),
                    formulaSafe(row.transcript), formulaSafe(row.port), row.mac, row.toolVersion,
                    row.verify, numberOrEmpty(row.verifiedVersion)});
}

QByteArray completingTail(const QByteArray &tail)
{
    bool quoted = false;
    int start = lastRowStart(tail);
    for (int end = 0; (end = recordEnd(tail, start, &quoted)) >= 0;)
        start = end + 1;
    return closing(tail, start, quoted);
}

QByteArray withCurrentHeader(const QByteArray &content)
{
    int start = 0;
    const QByteArray header = headerLine(content, &start);
    if (!oldCsvHeaders().contains(header))
        return content;
    const QByteArray current = csvHeader();
    const QByteArray empty(current.count(',') - header.count(','), ',');
    QByteArray upgraded = kByteOrderMark + current;
    upgraded.reserve(content.size() + content.size() / 16);
    bool quoted = false;
    for (int end = 0; (end = recordEnd(content, start, &quoted)) >= 0; start = end + 1) {
        const int lineEnd = end > start && content.at(end - 1) == '\r' ? end - 1 : end;
        upgraded.append(content.constData() + start, lineEnd - start);
        upgraded += empty + "\r\n";
    }
    upgraded.append(content.constData() + start, content.size() - start);
    return upgraded + closing(content, start, quoted);
}

int alreadyWritten(const QByteArray &tail, const QByteArray &rows)
{
    for (int m = std::min(tail.size() - 1, rows.size()); m > 0; --m) {
        const int at = tail.size() - m;
        if (tail.at(at - 1) == '\n' &&
            std::memcmp(tail.constData() + at, rows.constData(), size_t(m)) == 0)
            return m;
    }
    return 0;
}

QString safeLabel(const QString &serial)
{
    QString label = serial.left(kLabelLength);
    for (QChar &c : label)
        if (!isLabelChar(c))
            c = QLatin1Char('_');
    // A leading dot hides the file on Linux.
    for (int i = 0; i < label.size() && label.at(i) == QLatin1Char('.'); ++i)
        label[i] = QLatin1Char('_');
    return label.isEmpty() ? QStringLiteral("unknown") : label;
}

QString transcriptName(const QDateTime &started, const QString &label, int attempt)
{
    const QString suffix = attempt > 1 ? QStringLiteral("-%1").arg(attempt) : QString();
    return started.toString(QStringLiteral("yyyyMMdd-HHmmss")) + QLatin1Char('-') +
           safeLabel(label) + suffix + QStringLiteral(".txt");
}

bool isTranscriptName(const QString &name)
{
    static const QRegularExpression pattern(
        QStringLiteral("^[0-9]{8}-[0-9]{6}-[A-Za-z0-9._-]+\\.txt$"));
    return pattern.match(name).hasMatch();
}

QString commandLine(const QString &program, const QStringList &arguments)
{
    QStringList parts{quotedArgument(program)};
    for (const QString &argument : arguments)
        parts << quotedArgument(argument);
    return parts.join(QLatin1Char(' '));
}

QStringList transcriptsToDelete(const QStringList &names, int keep)
{
    QStringList transcripts;
    for (const QString &name : names)
        if (isTranscriptName(name))
            transcripts << name;
    // The name starts with the run's start time, so name order is age order.
    transcripts.sort();
    return transcripts.mid(0, std::max(0, transcripts.size() - std::max(0, keep)));
}

Digest hashFile(const QString &path, const std::atomic<bool> &cancel)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    qint64 bytes = 0;
    if (file.open(QIODevice::ReadOnly)) {
        QByteArray block(int(kHashBlock), Qt::Uninitialized);
        qint64 got = 0;
        while (!cancel && (got = file.read(block.data(), kHashBlock)) > 0) {
            hash.addData(block.constData(), int(got));
            bytes += got;
        }
        if (cancel)
            return Digest();
        if (got == 0)
            return Digest{bytes, hash.result().toHex()};
    }
    // A hash given up is nobody's concern any more, whatever happened to the file since.
    if (!cancel)
        qDebug() << kFirmwareNotRead << path << file.errorString();
    return Digest();
}

namespace
{

using Start = History::Start;
using Shape = History::Shape;

// Held around every write of a history or pending file, so that two programs, or two runs in
// one, never write into or cut back each other's rows. QLockFile takes over the lock of a program
// that died. A folder where no lock file can be made (read-only) has none: a row written unlocked
// beats a row lost.
bool lockOrWhy(QLockFile &lock, int waitMs, QString *error)
{
    if (lock.tryLock(waitMs) || lock.error() == QLockFile::PermissionError)
        return true;
    *error = lock.error() == QLockFile::LockFailedError
                 ? QStringLiteral("held by another program")
                 : QStringLiteral("its lock file cannot be made");
    return false;
}

QByteArray tailOf(QFile &reader, qint64 size, qint64 bytes)
{
    const qint64 from = std::max<qint64>(0, size - bytes);
    return reader.seek(from) ? reader.read(size - from) : QByteArray();
}

// From the file's first and last bytes only, so that an append costs the same at any size.
bool learnShape(const QString &path, qint64 size, Shape *shape, QString *error)
{
    *shape = Shape{0, Start::Empty, {}};
    if (size == 0)
        return true;
    QFile reader(path);
    const QByteArray head = reader.open(QIODevice::ReadOnly) ? reader.read(kHeadBytes) : "";
    const QByteArray tail = tailOf(reader, size, kTailBytes);
    if (head.isEmpty() || tail.size() != std::min(size, kTailBytes)) {
        *error = reader.errorString();
        shape->size = -1;
        return false;
    }
    const QByteArray fresh = kByteOrderMark + csvHeader();
    int rows = 0;
    const QByteArray header = headerLine(head, &rows);
    shape->size = size;
    shape->completion = completingTail(tail);
    if (size < fresh.size() && (fresh.startsWith(head) || csvHeader().startsWith(head)))
        shape->start = Start::CutHeader;
    else if (header == csvHeader())
        shape->start = Start::Current;
    else
        shape->start = oldCsvHeaders().contains(header) ? Start::Old : Start::Foreign;
    return true;
}

// Rows at the end of a file of ours, after what its start and its last row need. A file under an
// old header is rewritten here only when it is small (the pending file); the history's rewrite
// runs in a thread of its own.
bool appendShaped(QFile &file, Shape *shape, const QByteArray &rows, bool complete, QString *error)
{
    QByteArray bytes = kByteOrderMark + csvHeader();
    bool ok = false;
    if (shape->start == Start::CutHeader || shape->start == Start::Old) {
        QFile reader(file.fileName());
        if (shape->start == Start::Old && reader.open(QIODevice::ReadOnly))
            bytes = withCurrentHeader(reader.readAll());
        const bool read = shape->start != Start::Old || reader.error() == QFileDevice::NoError;
        const QString readError = reader.errorString();
        // Windows renames nothing over an open file.
        reader.close();
        file.close();
        ok = read && replaceDurably(file.fileName(), bytes + rows, error);
        if (!ok && error->isEmpty())
            *error = readError;
        file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    } else if (shape->start == Start::Empty) {
        ok = appendDurably(file, bytes + rows, error);
        syncFolder(QFileInfo(file).absolutePath());
    } else {
        ok = appendDurably(file, (complete ? shape->completion : QByteArray()) + rows, error);
    }
    if (ok)
        *shape = Shape{
            file.size(), shape->start == Start::Foreign ? Start::Foreign : Start::Current, {}};
    return ok;
}

// The rows of a pending file under the current header, its last row completed.
QByteArray pendingRows(const QByteArray &content)
{
    const QByteArray current = withCurrentHeader(content);
    const int headerEnd = current.indexOf('\n');
    const QByteArray rows = headerEnd < 0 ? QByteArray() : current.mid(headerEnd + 1);
    return rows + completingTail(rows);
}

int rowCount(const QByteArray &rows)
{
    int count = 0;
    bool quoted = false;
    for (int start = 0, end = 0; (end = recordEnd(rows, start, &quoted)) >= 0; start = end + 1)
        ++count;
    return count;
}

// Reads and writes the whole file: in a thread of its own, never on the GUI thread. Returns the
// reason it failed, or nothing.
QString rewriteUnderCurrentHeader(const QString &path)
{
    QString error;
    QLockFile lock(History::lockPath(path));
    if (!lockOrWhy(lock, kUpgradeLockWaitMs, &error))
        return error;
    QFile file(path);
    const QByteArray content = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    if (!file.isOpen() || file.error() != QFileDevice::NoError)
        return file.errorString();
    file.close();
    const QByteArray upgraded = withCurrentHeader(content);
    if (upgraded != content && !replaceDurably(path, upgraded, &error))
        return error;
    return QString();
}

} // namespace

History::History(const QString &csvPath) : m_path(csvPath), m_pendingPath(pendingPath(csvPath))
{
    QString error;
    learnShape(m_path, QFileInfo(m_path).size(), &m_shape, &error);
    // Rows an earlier start left waiting go in first.
    flush();
}

History::~History()
{
    if (m_open)
        close();
}

QString History::pendingPath(const QString &csvPath)
{
    const QFileInfo csv(csvPath);
    return csv.dir().filePath(csv.completeBaseName() + QStringLiteral(".pending.csv"));
}

QString History::lockPath(const QString &path)
{
    return path + QStringLiteral(".lock");
}

bool History::append(const Row &row)
{
    m_open = true;
    m_memory << csvRow(row);
    return flush();
}

bool History::flush()
{
    if (!QFileInfo::exists(m_pendingPath)) {
        m_pendingRows = 0;
        if (m_memory.isEmpty())
            return true;
    }
    QString error;
    if (writeWaiting(&error))
        return true;
    QFile pending(m_pendingPath);
    m_pendingRows =
        pending.open(QIODevice::ReadOnly) ? rowCount(pendingRows(pending.readAll())) : 0;
    qDebug() << kHistoryNotWritten << m_path << error << "rows waiting:" << waiting();
    // On the disk at once, so that neither a kill nor a power cut loses them.
    keepInPending(&error);
    return false;
}

void History::close()
{
    m_open = false;
    if (m_upgrade.valid())
        m_upgrade.wait();
    if (flush() || m_memory.isEmpty())
        return;
    QString error;
    if (!keepInPending(&error))
        qDebug() << kRowsLost << m_pendingPath << error << "rows:" << m_memory.size();
    m_memory.clear();
}

bool History::writeWaiting(QString *error)
{
    // One more round after a header rewrite, under the file's new start.
    for (int round = 0; round < 2; ++round) {
        {
            QLockFile lock(lockPath(m_path));
            if (!lockOrWhy(lock, kLockWaitMs, error))
                return false;
            QFile file(m_path);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
                *error = file.errorString();
                return false;
            }
            // Not what our last write left: another program's rows, a cut-back or a hand edit.
            if (file.size() != m_shape.size && !learnShape(m_path, file.size(), &m_shape, error))
                return false;
            if (m_shape.start != Start::Old) {
                // The pending rows are older than those in memory.
                if (QFileInfo::exists(m_pendingPath) && !takeOverPending(file, error))
                    return false;
                if (!m_memory.isEmpty() &&
                    !appendShaped(file, &m_shape, m_memory.join(), true, error))
                    return false;
                m_memory.clear();
                return true;
            }
        }
        // The rewrite may take longer than the wait for it, and a kill may come meanwhile.
        QString unkept;
        keepInPending(&unkept);
        if (!upgradeHeader(error))
            return false;
    }
    *error = QStringLiteral("its header changed again");
    return false;
}

bool History::takeOverPending(QFile &history, QString *error)
{
    QLockFile lock(lockPath(m_pendingPath));
    if (!lockOrWhy(lock, kLockWaitMs, error))
        return false;
    QFile pending(m_pendingPath);
    if (!pending.exists()) { // another program took them over
        m_pendingRows = 0;
        return true;
    }
    // Opened for writing too: rows are written from it only when it can be cleared afterwards.
    const QByteArray content = pending.open(QIODevice::ReadWrite) ? pending.readAll() : "";
    if (!pending.isOpen() || pending.error() != QFileDevice::NoError) {
        *error = pending.errorString();
        qDebug() << kPendingNotTaken << m_pendingPath << *error;
        return false;
    }
    const QByteArray rows = pendingRows(content);
    QFile reader(m_path);
    const int done = m_shape.start == Start::Empty || !reader.open(QIODevice::ReadOnly)
                         ? 0
                         : alreadyWritten(tailOf(reader, m_shape.size, rows.size() + 1), rows);
    reader.close(); // the history may be replaced below
    // A row cut short within the rows already there is completed by the rest of its own bytes.
    if (done < rows.size() && !appendShaped(history, &m_shape, rows.mid(done), done == 0, error))
        return false;
    if (!pending.resize(0)) {
        *error = pending.errorString();
        qDebug() << kPendingNotTaken << m_pendingPath << *error;
        return false;
    }
    pending.remove();
    m_pendingRows = 0;
    return true;
}

bool History::keepInPending(QString *error)
{
    if (m_memory.isEmpty())
        return true;
    QLockFile lock(lockPath(m_pendingPath));
    if (!lockOrWhy(lock, kLockWaitMs, error))
        return false;
    QFile file(m_pendingPath);
    Shape shape;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = file.errorString();
        return false;
    }
    if (!learnShape(m_pendingPath, file.size(), &shape, error) ||
        !appendShaped(file, &shape, m_memory.join(), true, error))
        return false;
    qDebug() << kRowsKept << m_pendingPath << "rows:" << m_memory.size();
    m_pendingRows += m_memory.size();
    m_memory.clear();
    return true;
}

bool History::upgradeHeader(QString *error)
{
    if (!m_upgrade.valid()) {
        try {
            m_upgrade = std::async(std::launch::async, rewriteUnderCurrentHeader, m_path);
        } catch (const std::system_error &failure) {
            *error = QString::fromLocal8Bit(failure.what());
            return false;
        }
    }
    if (m_upgrade.wait_for(std::chrono::milliseconds(kUpgradeWaitMs)) !=
        std::future_status::ready) {
        *error = QStringLiteral("its header is being brought up to date");
        return false;
    }
    *error = m_upgrade.get();
    m_shape.size = -1; // learnt again, under the lock
    return error->isEmpty();
}

QString writeTranscript(const QString &logsDir, const QDateTime &started, const QString &label,
                        const QString &commandLine, const QString &runText)
{
    if (!QDir().mkpath(logsDir)) {
        qDebug() << kTranscriptNotWritten << logsDir << "is not a folder that can be made";
        return QString();
    }
    const QByteArray bytes = (commandLine + QLatin1Char('\n') + runText).toUtf8();
    QString why;
    for (int attempt = 1; attempt <= kNameAttempts && why.isEmpty(); ++attempt) {
        const QString name = transcriptName(started, label, attempt);
        // Never over an existing file: two runs in the same second keep both transcripts.
        bool taken = false;
        QString error;
        if (createDurably(QDir(logsDir).filePath(name), bytes, &taken, &error))
            return name;
        if (!taken)
            why = error;
    }
    qDebug() << kTranscriptNotWritten << logsDir << (why.isEmpty() ? "no free name" : why);
    return QString();
}

void pruneTranscripts(const QString &logsDir, int keep)
{
    QDir dir(logsDir);
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden, QDir::Unsorted);
    for (const QString &name : transcriptsToDelete(names, keep))
        if (!dir.remove(name))
            qDebug() << kTranscriptNotDeleted << dir.filePath(name);
}

} // namespace record
