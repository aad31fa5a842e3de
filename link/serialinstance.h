#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QStringList>

#include <functional>

#include "messages.h"
#include "package.h"

class QThread;
class QTimer;

// One serial port as the system reports it.
struct SerialPortDescription {
    QString portName;
    QString description;
    QString manufacturer;
    QString serialNumber;
    QString systemLocation;
};

using SerialPortEnumerator = std::function<QList<SerialPortDescription>()>;

// The device's line rate: every reading opens its port at it.
constexpr QSerialPort::BaudRate kDeviceBaudRate = QSerialPort::Baud115200;

// The system's own list of serial ports. Each path that QUORBEL_SIMULATED_PORT names (several
// are separated like the entries of PATH) is added as one more usable port, so a simulated
// device can be chosen like a real one.
QList<SerialPortDescription> SystemSerialPorts();

// The ports a device may be on: those the system describes fully (description, manufacturer
// and serial number). Built-in UARTs and virtual ports come without, and no device answers there.
QList<SerialPortDescription> UsablePorts(const QList<SerialPortDescription> &ports);

// The name the flashing tool and the hot-plug sources give the port: COM<n> on Windows, the
// device path (/dev/ttyACM0) elsewhere.
QString ToolPortName(const SerialPortDescription &port);

// The one owner of one serial port; any number of them may run, each on its own port. Lives in
// a thread of its own or one shared with other workers; every call into it is a queued signal,
// every answer goes out as a queued signal.
class SerialInstance : public QObject
{
    Q_OBJECT
    friend class SerialInstanceInspector; // tests read the retry state in the worker's thread

public:
    explicit SerialInstance(QObject *parent = nullptr);
    ~SerialInstance() override;

    static SerialInstance *GetInstance();
    // Stops the worker's thread, closing the port in it, and frees the worker. For the end of
    // main, after the window is gone.
    static void ShutdownInstance();

    void Init();
    // As Init, in a thread the caller owns and may share among workers; it is started if it
    // does not run yet. Delete such a worker once that thread has ended, or by deleteLater.
    void Init(QThread *thread);
    // Closes the port in the worker thread, stops the thread and waits for it (bounded). A
    // shared thread is left running.
    void Stop();

    // Where slotSetPortInfoList learns of ports; the system's list unless replaced.
    void SetPortEnumerator(SerialPortEnumerator enumerator);

signals:
    void SigMessageReceived(uchar msgId, QByteArray payload);
    void SigGetPortInfoList(QStringList strl_PortInfo);
    void SigConnectState(int mode, bool state);
    void SigShowMsg(int mode, QString str_msg);
    void SigSetSnAck(bool b_ok);
    void SigGetSnAck(QString str_Sn);
    void SigCommunicationFailed();
    void SigGetVersionAck(int i_Version);
    void SigGetBatteryInfoAck(stru_BatteryInfo BatteryInfo);
    void SigGetInfo(QString str_Sn, int i_Version, int i_Soc);

public slots:
    void slotSetPortInfoList();
    QStringList GetPortInfoList();
    bool slotOpenSerialPort(QString str_SerialPortName, QSerialPort::BaudRate e_BaudRate);
    // Opens the port its owner names, listed or not: the port of a chip that restarts over its
    // own USB comes back before any list is read again.
    bool slotOpenPort(QString str_SerialPortName, QSerialPort::BaudRate e_BaudRate);
    bool IsOpen();
    bool slotCloseSerialPort();
    void printSelfThread();

private slots:
    void slotReadData();
    void slotTimerOut();
    void slotMessageReceived(uchar msgId, QByteArray payload);

private:
    bool HasPort();
    bool OpenPort(const QString &portName, QSerialPort::BaudRate baudRate);
    int SendPackage(quint8 msgId, const quint8 *payload, quint8 length);
    bool WriteData(const QByteArray &frame);
    void ProcessData(const QByteArray &data);
    void EmitAnswer(const DecodedAnswer &answer, quint8 length);
    // Closes the port if open; a request still pending on it fails.
    void ClosePort();
    // The give-up on request msgId: retries stopped, failure signalled and logged.
    void Fail(quint8 msgId);
    // Runs in the worker's thread: the port and the timer must be closed and freed where they
    // live, or their socket notifier and timer complain from the wrong thread.
    void ReleasePort();
    void Attach(QThread *thread, bool owned);

    QSerialPort *m_pSerialPort = nullptr;
    QStringList m_listPortInfo;
    QThread *m_pThread = nullptr;
    bool m_bOwnsThread = true;
    QTimer *m_pTimer = nullptr;
    quint8 m_msg_id = 0;
    QByteArray m_LastPackage;
    int m_Times = 0;
    // The last request's answer has arrived: answers to its retransmissions are dropped.
    bool m_bAnswered = false;
    // This port's receive context. It is reset whenever the port is opened: half a frame left
    // from before a close could otherwise join the bytes of the next session's answer.
    PackageParser m_parser{};

    SerialPortEnumerator m_enumerator = SystemSerialPorts;
};
