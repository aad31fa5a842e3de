#include "record.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>

namespace record
{

namespace
{

const char kHistoryNotWritten[] = "record history not written:";
const char kTranscriptNotWritten[] = "record transcript not written:";
const char kTranscriptNotDeleted[] = "record transcript not deleted:";
const char kFirmwareNotRead[] = "record firmware not read:";

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

// A file that does not end in a line feed was cut short while its last row was written.
bool endsWithLineFeed(QFile &file, qint64 size)
{
    char last = 0;
    return file.seek(size - 1) && file.read(&last, 1) == 1 && last == '\n';
}

} // namespace

Result resultOf(flashtext::BurnVerdict verdict)
{
    switch (verdict) {
    case flashtext::BurnVerdict::Failed:
        return Result::Failure;
    case flashtext::BurnVerdict::Succeeded:
        return Result::Success;
    case flashtext::BurnVerdict::Undecided:
        break;
    }
    return Result::Undecided;
}

std::optional<int> exitCodeOf(const QProcess &process)
{
    if (process.exitStatus() == QProcess::CrashExit)
        return std::nullopt;
    return process.exitCode();
}

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

QByteArray csvHeader()
{
    return csvLine({QStringLiteral("time"), QStringLiteral("program"), QStringLiteral("serial"),
                    QStringLiteral("device_version"), QStringLiteral("file"),
                    QStringLiteral("file_version"), QStringLiteral("bytes"),
                    QStringLiteral("sha256"), QStringLiteral("result"), QStringLiteral("seconds"),
                    QStringLiteral("exit_code"), QStringLiteral("transcript")});
}

QByteArray csvRow(const Row &row)
{
    return csvLine({isoTime(row.started), row.program, row.serial, numberOrEmpty(row.deviceVersion),
                    row.file, numberOrEmpty(row.fileVersion), numberOrEmpty(row.bytes),
                    QString::fromLatin1(row.sha256), resultName(row.result),
                    QString::number(double(std::max<qint64>(0, row.milliseconds)) / 1000, 'f', 1),
                    row.exitCode ? QString::number(*row.exitCode) : QString(), row.transcript});
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
    qDebug() << kFirmwareNotRead << path << file.errorString();
    return Digest();
}

bool appendRow(const QString &csvPath, const Row &row)
{
    // Unbuffered: the whole row goes to the system in one write and nothing of it waits in this
    // process for a crash to lose.
    QFile file(csvPath);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered)) {
        qDebug() << kHistoryNotWritten << csvPath << file.errorString();
        return false;
    }
    const qint64 size = file.size();
    QByteArray bytes;
    if (size == 0)
        bytes = kByteOrderMark + csvHeader();
    else if (!endsWithLineFeed(file, size))
        bytes = "\r\n";
    bytes += csvRow(row);
    if (file.write(bytes) != bytes.size()) {
        qDebug() << kHistoryNotWritten << csvPath << file.errorString();
        return false;
    }
    return true;
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
        QFile file(QDir(logsDir).filePath(name));
        // NewOnly: two runs in the same second never write over each other.
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (!file.exists())
                why = file.errorString();
            continue;
        }
        if (file.write(bytes) == bytes.size() && file.flush())
            return name;
        why = file.errorString();
        file.remove();
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
