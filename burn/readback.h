#pragma once

// The device read back after its burn, over its own protocol: only the device itself can tell
// that it runs the new image. The tool has reset the chip as it ended, and on the chip's own USB
// the port vanishes and returns while it restarts; so the port is opened again every 500 ms, and
// the information request asked again, until the device answers or the limit is reached. No
// probe: it would reset the chip into its boot loader again.

#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QTimer>

class SerialInstance;

namespace burn
{

// The device's answer to the information request.
struct DeviceAnswer {
    QString serial;
    int version = -1; // < 0: no answer
    int soc = -1;
};

class ReadBack : public QObject
{
    Q_OBJECT

public:
    static constexpr int kOpenRetryMs = 500;

    // worker must outlive the reading; it may serve its owner for other readings in between.
    ReadBack(SerialInstance *worker, const QString &port, QObject *parent = nullptr);
    // A reading still under way is stopped.
    ~ReadBack() override;

    // Once; one of the signals follows, unless stop() comes first.
    void start(int limitMs);
    // Closes the port and says nothing more.
    void stop();

signals:
    void answered(const burn::DeviceAnswer &answer);
    void noAnswer();

private:
    void open();
    void connectState(int mode, bool open);
    void failed();
    void answer(const QString &serial, int version, int soc);
    void timedOut();
    void finish();

    SerialInstance *const m_worker;
    const QString m_port;
    QTimer m_limit;
    QTimer m_retry;
    QList<QMetaObject::Connection> m_connections;
};

} // namespace burn
