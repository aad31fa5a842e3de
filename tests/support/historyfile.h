#pragma once

// The upgrade record read back as a spreadsheet program would: CONFIG/history.csv by a strict
// CSV reader, rows by column name, and the transcripts beside it.

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <utility>

namespace history
{

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// RFC 4180 and nothing more, after the byte-order mark: a record ends in CRLF outside quotes; a
// lone CR or LF there, or a last record without its CRLF, gives the single record
// {"unreadable"}. strayQuotes: a quote inside an unquoted field is text, as spreadsheet programs
// read a hand-edited cell.
inline QList<QStringList> records(const QString &path, bool strayQuotes = false)
{
    static const QByteArray kBom = "\xEF\xBB\xBF";
    const QByteArray bytes = readAll(path);
    const QString text = QString::fromUtf8(bytes.mid(bytes.startsWith(kBom) ? kBom.size() : 0));
    QList<QStringList> records;
    QStringList fields;
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted && c == '"' && text.mid(i + 1, 1) == "\"") {
            field += text.at(++i);
        } else if (c == '"' && (quoted || field.isEmpty())) {
            quoted = !quoted;
        } else if (quoted || (c != ',' && c != '\r' && c != '\n' && (c != '"' || strayQuotes))) {
            field += c;
        } else if (c == ',') {
            fields << std::exchange(field, QString());
        } else if (text.mid(i++, 2) == "\r\n") {
            fields << std::exchange(field, QString());
            records << std::exchange(fields, QStringList());
        } else {
            return {{"unreadable"}};
        }
    }
    return quoted || !field.isEmpty() || !fields.isEmpty() ? QList<QStringList>{{"unreadable"}}
                                                           : records;
}

// One column of a file of rows under a header, its values joined by blanks.
inline QString column(const QString &path, int index)
{
    QStringList values;
    for (const QStringList &record : records(path).mid(1))
        values << record.value(index, QStringLiteral("<missing>"));
    return values.join(' ');
}

// The rows of <configDir>/history.csv under the names of its header row.
inline QList<QMap<QString, QString>> rows(const QString &configDir)
{
    QList<QStringList> all = records(configDir + "/history.csv");
    QList<QMap<QString, QString>> named;
    if (all.isEmpty())
        return named;
    const QStringList header = all.takeFirst();
    for (const QStringList &record : qAsConst(all)) {
        QMap<QString, QString> row;
        for (int i = 0; i < header.size(); ++i)
            row.insert(header.at(i), record.value(i, QStringLiteral("<missing>")));
        named << row;
    }
    return named;
}

} // namespace history

namespace history
{

// What differs between the newest row of <configDir>/history.csv, with its transcript, and what
// a burn of file should have left there: the file's path, size and hash (unless expected names
// them), each expected column's value, and a transcript (unless expected names none) that holds
// the command line (with the expected port, if any), then (at least the start of) the run's
// text. Empty when nothing does.
inline QString lastRunDiffers(const QString &configDir, int rowsBefore, const QString &file,
                              const QMap<QString, QString> &expected, const QString &runText)
{
    const QList<QMap<QString, QString>> all = rows(configDir);
    if (all.size() != rowsBefore + 1)
        return QStringLiteral("%1 rows after %2").arg(all.size()).arg(rowsBefore);
    const QMap<QString, QString> row = all.last();
    QStringList differs;
    QMap<QString, QString> wanted = expected;
    const QByteArray image = expected.contains("sha256") ? QByteArray() : readAll(file);
    wanted.insert("file", file);
    if (!expected.contains("sha256")) {
        wanted.insert("bytes", QString::number(image.size()));
        wanted.insert("sha256",
                      QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
    }
    for (auto it = wanted.begin(); it != wanted.end(); ++it) {
        if (row.value(it.key()) != it.value())
            differs << QStringLiteral("%1: '%2' instead of '%3'")
                           .arg(it.key(), row.value(it.key()), it.value());
    }
    const QString transcript =
        QString::fromUtf8(readAll(configDir + "/logs/" + row.value("transcript")));
    const QString port = expected.value("port");
    const QString commandLine =
        QStringLiteral("esptool --chip esp32s3 ") +
        (port.isEmpty() ? QString() : QStringLiteral("--port ") + port + ' ') +
        QStringLiteral("-b 460800 --before default-reset --after hard-reset write-flash "
                       "--flash-mode dio --flash-size 8MB --flash-freq 80m 0x10000 ") +
        (file.contains(' ') ? '"' + file + '"' : file) + '\n';
    if (expected.value("transcript", "?") != "" && !transcript.startsWith(commandLine + runText))
        differs << QStringLiteral("transcript %1: '%2'")
                       .arg(row.value("transcript"), transcript.left(200));
    return differs.join('\n');
}

} // namespace history
