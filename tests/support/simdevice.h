#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The simulated device, run as its own process on a pseudo-terminal for one test. Its state
// file, frame log and link live in a temporary folder that goes away with the object.
class SimDevice
{
public:
    struct Frame {
        qint64 ms = 0; // since the device started
        QByteArray bytes;
    };
    // Link: the device answers on a link of its own to the terminal, a port that can vanish
    // (boot mode absent, pull) as a USB port does.
    enum class Port { Terminal, Link };

    // options: extra command-line options, e.g. {"--fault", "silent"} or {"--boot", "mute"}.
    explicit SimDevice(const QStringList &options = {}, Port port = Port::Terminal);
    ~SimDevice();
    SimDevice(const SimDevice &) = delete;
    SimDevice &operator=(const SimDevice &) = delete;

    // Starts the device and waits for the path it prints. False (see errorString) when it did
    // not come up within timeoutMs.
    bool start(int timeoutMs = 10000);
    QString errorString() const { return m_error; }

    // The path the tool opens: the pseudo-terminal, or the link to it.
    QString portPath() const { return m_portPath; }
    QString stateFile() const;
    QString logFile() const;

    // Replaces one key of the state file; the device reads it at its next request.
    bool setState(const QString &key, const QString &value);
    QMap<QString, QString> state() const;

    // Every frame the device has received so far, in order.
    QList<Frame> receivedFrames() const;

    // Pulled out as a cable is: the device ends and its port is gone. False if it would not end.
    bool pull();

    // The value of SIMDEVICE_STATE that shows the esptool stand-in all of these devices.
    static QString stateList(const QList<const SimDevice *> &devices);

private:
    QTemporaryDir m_dir;
    QStringList m_options;
    Port m_port = Port::Terminal;
    QProcess m_process;
    QString m_portPath;
    QString m_error;
};
