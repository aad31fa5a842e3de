#include "esptool.h"

#include <QDebug>
#include <QProcess>
#include <QTextCodec>
#include <QTextDecoder>

namespace esptool
{

const char *const kToolMissingText = "未找到 esptool，请确认已安装并在 PATH 中";

QString program()
{
    return QStringLiteral("esptool");
}

QStringList burnArguments(const QString &firmwarePath, const QString &port)
{
    QStringList arguments{QStringLiteral("--chip"), QStringLiteral("esp32s3")};
    if (!port.isEmpty())
        arguments << QStringLiteral("--port") << port;
    return arguments + QStringList{QStringLiteral("-b"),
                                   QStringLiteral("460800"),
                                   QStringLiteral("--before"),
                                   QStringLiteral("default-reset"),
                                   QStringLiteral("--after"),
                                   QStringLiteral("hard-reset"),
                                   QStringLiteral("write-flash"),
                                   QStringLiteral("--flash-mode"),
                                   QStringLiteral("dio"),
                                   QStringLiteral("--flash-size"),
                                   QStringLiteral("8MB"),
                                   QStringLiteral("--flash-freq"),
                                   QStringLiteral("80m"),
                                   QStringLiteral("0x10000"),
                                   firmwarePath};
}

QStringList probeArguments(const QString &port)
{
    if (port.isEmpty())
        return {QStringLiteral("chip-id")};
    return {QStringLiteral("--chip"), QStringLiteral("esp32s3"), QStringLiteral("--port"), port,
            QStringLiteral("chip-id")};
}

QProcessEnvironment environment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NO_COLOR"), QStringLiteral("1"));
    env.insert(QStringLiteral("PYTHONUNBUFFERED"), QStringLiteral("1"));
    return env;
}

ChunkDecoder::ChunkDecoder()
{
    restart();
}

ChunkDecoder::~ChunkDecoder() = default;

QString ChunkDecoder::decode(const QByteArray &bytes)
{
    return m_decoder->toUnicode(bytes);
}

void ChunkDecoder::restart()
{
    m_decoder.reset(QTextCodec::codecForLocale()->makeDecoder());
}

QString readChunk(QProcess *process, ChunkDecoder *decoder)
{
    return decoder->decode(process->readAllStandardOutput());
}

QString takeOutput(QProcess *process, ChunkDecoder *decoder, QString *runText)
{
    const QString chunk = readChunk(process, decoder);
    qDebug() << "readIperfOutput:" << chunk;
    *runText += chunk;
    return chunk;
}

void takeRest(QProcess *process, ChunkDecoder *decoder, QString *runText)
{
    const QString left = readChunk(process, decoder);
    qDebug() << "left:" << left;
    *runText += left;
    qDebug() << "m_strInfo:" << *runText;
}

} // namespace esptool
