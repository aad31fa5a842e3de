#include "esptool.h"

#include <QDebug>
#include <QProcess>
#include <QTextCodec>
#include <QTextDecoder>

#include <memory>

namespace esptool
{

const char *const kToolMissingText = "未找到 esptool，请确认已安装并在 PATH 中";

namespace
{

// The tool's output arrives in arbitrary pieces, so a multi-byte character (UTF-8 or a Windows
// code page such as GBK) can be cut in two. A decoder that keeps the cut bytes for the next
// chunk lives beside the process; it is created by prepare() and started afresh by each run.
class ChunkDecoder : public QObject
{
public:
    explicit ChunkDecoder(QObject *parent) : QObject(parent) { setObjectName(kName); }

    void reset() { m_decoder.reset(QTextCodec::codecForLocale()->makeDecoder()); }
    QString decode(const QByteArray &bytes)
    {
        if (!m_decoder)
            reset();
        return m_decoder->toUnicode(bytes);
    }

    static constexpr const char *kName = "quorbel_esptool_decoder";

private:
    std::unique_ptr<QTextDecoder> m_decoder;
};

ChunkDecoder *decoderOf(QProcess *process)
{
    // No Q_OBJECT on the decoder (the library stays free of moc), so the lookup goes by name.
    return dynamic_cast<ChunkDecoder *>(
        process->findChild<QObject *>(ChunkDecoder::kName, Qt::FindDirectChildrenOnly));
}

} // namespace

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

QStringList probeArguments()
{
    return {QStringLiteral("chip-id")};
}

QProcessEnvironment environment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NO_COLOR"), QStringLiteral("1"));
    env.insert(QStringLiteral("PYTHONUNBUFFERED"), QStringLiteral("1"));
    return env;
}

void prepare(QProcess *process)
{
    process->setProcessChannelMode(QProcess::MergedChannels);
    if (!decoderOf(process))
        new ChunkDecoder(process);
}

void start(QProcess *process, const QStringList &arguments)
{
    qDebug() << "args[" << arguments << "]";
    if (ChunkDecoder *decoder = decoderOf(process))
        decoder->reset();
    process->setProcessEnvironment(environment());
    process->start(program(), arguments, QIODevice::ReadWrite);
}

QString readChunk(QProcess *process)
{
    const QByteArray bytes = process->readAllStandardOutput();
    if (ChunkDecoder *decoder = decoderOf(process))
        return decoder->decode(bytes);
    return QString::fromLocal8Bit(bytes);
}

QString takeOutput(QProcess *process, QString *runText)
{
    const QString chunk = readChunk(process);
    qDebug() << "readIperfOutput:" << chunk;
    *runText += chunk;
    return chunk;
}

flashtext::BurnVerdict burnVerdict(const QProcess &process, const QString &runText,
                                   const QString &readMac)
{
    const QString burntMac = flashtext::otherChipMac(readMac, runText);
    if (!burntMac.isEmpty())
        qDebug() << "burn wrote another chip than the one read, MAC read:" << readMac
                 << "MAC written:" << burntMac;
    return flashtext::burnVerdict(runText, process.exitStatus() == QProcess::CrashExit, readMac);
}

void takeRest(QProcess *process, QString *runText)
{
    const QString left = readChunk(process);
    qDebug() << "left:" << left;
    *runText += left;
    qDebug() << "m_strInfo:" << *runText;
}

} // namespace esptool
