#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The simulated device, run as its own process on a pseudo-terminal for one test. Its state
// file and frame log live in a temporary folder that goes away with the object.
class SimDevice
{
public:
    struct Frame {
        qint64 ms = 0; // since the device started
        QByteArray bytes;
    };

    // options: extra command-line options, e.g. {"--fault", "silent"}.
    explicit SimDevice(const QStringList &options = {});
    ~SimDevice();
    SimDevice(const SimDevice &) = delete;
    SimDevice &operator=(const SimDevice &) = delete;

    // Starts the device and waits for the path it prints. False (see errorString) when it did
    // not come up within timeoutMs.
    bool start(int timeoutMs = 10000);
    QString errorString() const { return m_error; }

    // The pseudo-terminal path the tool opens.
    QString portPath() const { return m_portPath; }
    QString stateFile() const;
    QString logFile() const;

    // Replaces one key of the state file; the device reads it at its next request.
    bool setState(const QString &key, const QString &value);
    QMap<QString, QString> state() const;

    // Every frame the device has received so far, in order.
    QList<Frame> receivedFrames() const;

private:
    QTemporaryDir m_dir;
    QStringList m_options;
    QProcess m_process;
    QString m_portPath;
    QString m_error;
};
