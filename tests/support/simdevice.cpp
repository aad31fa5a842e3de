#include "simdevice.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QScopeGuard>
#include <QTextStream>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// Ports sort in the order the devices were made, so a test knows which device's lane is first.
static int devicesMade = 0;

SimDevice::SimDevice(const QStringList &options, Port port)
    : m_dir(QDir::tempPath() +
            QStringLiteral("/simdevice-%1-XXXXXX").arg(++devicesMade, 6, 10, QChar('0'))),
      m_options(options), m_port(port)
{
}

SimDevice::~SimDevice()
{
    if (m_process.state() != QProcess::NotRunning)
        pull();
}

bool SimDevice::pull()
{
    // The device removes its link and its port from the state file as it ends.
    if (m_process.state() != QProcess::NotRunning)
        m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.terminate();
        if (!m_process.waitForFinished(2000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
    }
    if (m_port == Port::Link && QFileInfo(m_portPath).isSymLink())
        QFile::remove(m_portPath);
    return m_process.state() == QProcess::NotRunning && !QFileInfo::exists(m_portPath);
}

QString SimDevice::stateList(const QList<const SimDevice *> &devices)
{
    QStringList files;
    for (const SimDevice *device : devices)
        files << device->stateFile();
    return files.join(QDir::listSeparator());
}

QString SimDevice::stateFile() const
{
    return m_dir.filePath(QStringLiteral("simdevice.state"));
}

QString SimDevice::logFile() const
{
    return m_dir.filePath(QStringLiteral("simdevice.log"));
}

bool SimDevice::start(int timeoutMs)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder: ") + m_dir.errorString();
        return false;
    }
    const QString program = QStringLiteral(QUORBEL_SIMDEVICE_BIN_DIR "/simdevice");
    QStringList arguments{QStringLiteral("--state"), stateFile(), QStringLiteral("--log"),
                          logFile()};
    if (m_port == Port::Link)
        arguments << QStringLiteral("--link") << m_dir.filePath(QStringLiteral("ttySIM"));
    arguments += m_options;
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = program + QStringLiteral(": ") + m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(timeoutMs);
    while (!m_process.canReadLine()) {
        if (deadline.hasExpired() || !m_process.waitForReadyRead(int(deadline.remainingTime()))) {
            m_error = QStringLiteral("simdevice printed no port path: ") +
                      QString::fromLocal8Bit(m_process.readAll());
            return false;
        }
    }
    m_portPath = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    if (m_portPath.isEmpty()) {
        m_error = QStringLiteral("simdevice printed an empty port path");
        return false;
    }
    return true;
}

QMap<QString, QString> SimDevice::state() const
{
    QMap<QString, QString> values;
    QFile file(stateFile());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return values;
    QTextStream in(&file);
    in.setCodec("UTF-8");
    while (!in.atEnd()) {
        const QString line = in.readLine();
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq > 0)
            values.insert(line.left(eq), line.mid(eq + 1));
    }
    return values;
}

bool SimDevice::setState(const QString &key, const QString &value)
{
    // The device and the esptool stand-in change the file too, under this lock.
    const int lock =
        open(QFile::encodeName(stateFile() + ".lock"), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    flock(lock, LOCK_EX);
    const auto unlock = qScopeGuard([lock] { close(lock); });
    QMap<QString, QString> values = state();
    values.insert(key, value);
    // The device may read the file at any moment; it must find the old or the new one whole.
    QSaveFile file(stateFile());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    QTextStream out(&file);
    out.setCodec("UTF-8");
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        out << it.key() << '=' << it.value() << '\n';
    out.flush();
    return file.commit();
}

QList<SimDevice::Frame> SimDevice::receivedFrames() const
{
    QList<Frame> frames;
    QFile file(logFile());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return frames;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        // A line the device is still writing is not a frame yet.
        if (!line.endsWith('\n'))
            break;
        const QList<QByteArray> fields = line.trimmed().split(' ');
        if (fields.size() < 2)
            continue;
        frames.append({fields.at(0).toLongLong(), QByteArray::fromHex(fields.at(1))});
    }
    return frames;
}
