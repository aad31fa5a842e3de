#include "record.h"

#include "durable.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

#include <algorithm>

namespace record
{

namespace
{

const char kHistoryNotWritten[] = "record history not written:";
const char kTranscriptNotWritten[] = "record transcript not written:";
const char kTranscriptNotDeleted[] = "record transcript not deleted:";
const char kFirmwareNotRead[] = "record firmware not read:";
const char kRowsKept[] = "record rows kept for the next start in";
const char kRowsLost[] = "record rows lost:";
const char kPendingNotTaken[] = "record pending rows left in place:";

// Spreadsheet programs on Windows read a CSV file as the local code page unless it starts with
// the UTF-8 byte-order mark.
const char kByteOrderMark[] = "\xEF\xBB\xBF";

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

QByteArray legacyCsvHeader()
{
    return csvLine({QStringLiteral("time"), QStringLiteral("program"), QStringLiteral("serial"),
                    QStringLiteral("device_version"), QStringLiteral("file"),
                    QStringLiteral("file_version"), QStringLiteral("bytes"),
                    QStringLiteral("sha256"), QStringLiteral("result"), QStringLiteral("seconds"),
                    QStringLiteral("exit_code"), QStringLiteral("transcript")});
}

QByteArray csvHeader()
{
    // New columns go last: a reader that knows the first twelve by position keeps working.
    return legacyCsvHeader().chopped(2) + ",port,mac,tool_version\r\n";
}

QByteArray csvRow(const Row &row)
{
    return csvLine({isoTime(row.started), row.program, formulaSafe(row.serial),
                    numberOrEmpty(row.deviceVersion), formulaSafe(row.file),
                    numberOrEmpty(row.fileVersion), numberOrEmpty(row.bytes),
                    QString::fromLatin1(row.sha256), resultName(row.result),
                    QString::number(double(std::max<qint64>(0, row.milliseconds)) / 1000, 'f', 1),
                    row.exitCode ? QString::number(*row.exitCode) : QString(),
                    formulaSafe(row.transcript), formulaSafe(row.port), row.mac, row.toolVersion});
}

QByteArray completingTail(const QByteArray &content)
{
    if (content.isEmpty())
        return QByteArray();
    // Every field's quotes come in pairs (an opening and closing one, or a doubled one inside),
    // so an odd count means the cut fell inside a quoted field.
    if (content.count('"') % 2 != 0)
        return "\"\r\n";
    if (content.endsWith('\n'))
        return QByteArray();
    return content.endsWith('\r') ? QByteArray("\n") : QByteArray("\r\n");
}

QByteArray withCurrentHeader(const QByteArray &content)
{
    const QByteArray legacy = kByteOrderMark + legacyCsvHeader();
    if (!content.startsWith(legacy))
        return content;
    QByteArray upgraded = kByteOrderMark + csvHeader();
    upgraded.reserve(content.size() + content.size() / 16);
    bool quoted = false;
    for (int i = legacy.size(); i < content.size(); ++i) {
        const char c = content.at(i);
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == '\r' && i + 1 < content.size() && content.at(i + 1) == '\n')
            upgraded += ",,,";
        upgraded += c;
    }
    return upgraded;
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

bool appendRows(const QString &csvPath, const QByteArray &rows, QString *error)
{
    QFile file(csvPath);
    QByteArray content;
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly)) {
            *error = file.errorString();
            return false;
        }
        content = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            *error = file.errorString();
            return false;
        }
        file.close();
    }

    const QByteArray fresh = kByteOrderMark + csvHeader();
    if (content.isEmpty())
        return appendDurably(csvPath, fresh + rows, error);
    // A header cut short while the file was made is written anew, a legacy one upgraded.
    const bool cutHeader = content.size() < fresh.size() && fresh.startsWith(content);
    const QByteArray current = cutHeader ? fresh : withCurrentHeader(content);
    if (current == content)
        return appendDurably(csvPath, completingTail(content) + rows, error);

    // The whole file changes: a crash must leave either the old one or the new one.
    QSaveFile save(csvPath);
    const QByteArray bytes = current + completingTail(current) + rows;
    if (!save.open(QIODevice::WriteOnly) || save.write(bytes) != bytes.size() || !save.commit()) {
        *error = save.errorString();
        return false;
    }
    return true;
}

History::History(const QString &csvPath) : m_path(csvPath)
{
    takeOverPending();
    flush();
}

History::~History()
{
    close();
}

QString History::pendingPath(const QString &csvPath)
{
    const QFileInfo csv(csvPath);
    return csv.dir().filePath(csv.completeBaseName() + QStringLiteral(".pending.csv"));
}

void History::takeOverPending()
{
    const QString path = pendingPath(m_path);
    QFile file(path);
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << kPendingNotTaken << path << file.errorString();
        return;
    }
    // Its own header line first, then rows as the history holds them.
    const QByteArray content = file.readAll();
    file.close();
    const int headerEnd = content.indexOf("\r\n");
    QByteArray rows = headerEnd < 0 ? QByteArray() : content.mid(headerEnd + 2);
    rows += completingTail(rows);
    // Taken over or left for later, never both: rows read from a file that stays would be
    // written again by the next start.
    if (!file.remove()) {
        qDebug() << kPendingNotTaken << path << file.errorString();
        return;
    }
    if (!rows.isEmpty())
        m_waiting << rows;
}

bool History::append(const Row &row)
{
    m_waiting << csvRow(row);
    return flush();
}

bool History::flush()
{
    if (m_waiting.isEmpty())
        return true;
    QString error;
    if (!appendRows(m_path, m_waiting.join(), &error)) {
        qDebug() << kHistoryNotWritten << m_path << error << "rows waiting:" << m_waiting.size();
        return false;
    }
    m_waiting.clear();
    return true;
}

void History::close()
{
    if (flush())
        return;
    const QString path = pendingPath(m_path);
    QString error;
    if (appendRows(path, m_waiting.join(), &error))
        qDebug() << kRowsKept << path << "rows:" << m_waiting.size();
    else
        qDebug() << kRowsLost << path << error << "rows:" << m_waiting.size();
    m_waiting.clear();
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
