#include "serialinstance.h"

#include "package.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QSerialPortInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <new>

namespace
{

constexpr int RETRY_INTERVAL_MS = 1000;
constexpr int WRITE_TIMEOUT_MS = 1000;
constexpr int MAX_TRANSMISSIONS = 3;
// Long enough for a transmission that is blocked in its write to finish.
constexpr unsigned long STOP_WAIT_MS = 3000;

SerialInstance *s_instance = nullptr;

QString HexText(const QByteArray &frame)
{
    return QString::fromLatin1(frame.toHex().toUpper());
}

} // namespace

QList<SerialPortDescription> SystemSerialPorts()
{
    QList<SerialPortDescription> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        ports.append({info.portName(), info.description(), info.manufacturer(), info.serialNumber(),
                      info.systemLocation()});
    }
    // The system never lists pseudo-terminals, so a simulated device could not be chosen
    // without this. A list names several devices, each with a serial number of its own.
    int number = 0;
    const QStringList simulated =
        qEnvironmentVariable("QUORBEL_SIMULATED_PORT").split(QDir::listSeparator());
    for (const QString &path : simulated) {
        if (path.isEmpty())
            continue;
        ports.append({path, QStringLiteral("Simulated device"), QStringLiteral("Quorbel"),
                      QStringLiteral("SIM%1").arg(++number, 4, 10, QLatin1Char('0')), path});
    }
    return ports;
}

QList<SerialPortDescription> UsablePorts(const QList<SerialPortDescription> &ports)
{
    QList<SerialPortDescription> usable;
    for (const SerialPortDescription &port : ports) {
        if (!port.description.isEmpty() && !port.manufacturer.isEmpty() &&
            !port.serialNumber.isEmpty())
            usable.append(port);
    }
    return usable;
}

QString ToolPortName(const SerialPortDescription &port)
{
#ifdef Q_OS_WIN
    return port.portName;
#else
    return port.systemLocation;
#endif
}

SerialInstance::SerialInstance(QObject *parent) : QObject(parent) {}

SerialInstance::~SerialInstance()
{
    Stop();
    if (m_bOwnsThread && m_pThread && m_pThread->isRunning()) {
        // Deleting a running thread aborts the program; leaving it behind at exit does not.
        m_pThread = nullptr;
        return;
    }
    if (m_bOwnsThread)
        delete m_pThread;
    delete m_pSerialPort;
    delete m_pTimer;
}

SerialInstance *SerialInstance::GetInstance()
{
    if (!s_instance)
        s_instance = new SerialInstance;
    return s_instance;
}

void SerialInstance::ShutdownInstance()
{
    if (!s_instance)
        return;
    s_instance->Stop();
    if (s_instance->m_pThread && s_instance->m_pThread->isRunning()) {
        qWarning() << "SerialInstance: worker thread still running, left to the process end";
        s_instance = nullptr;
        return;
    }
    delete s_instance;
    s_instance = nullptr;
}

void SerialInstance::Init()
{
    if (m_pThread)
        return;
    // No parent: a child would move into the thread along with the worker, and a QThread must
    // stay in the thread that starts and stops it. The worker deletes it.
    QThread *thread = new (std::nothrow) QThread;
    if (thread)
        Attach(thread, true);
}

void SerialInstance::Init(QThread *thread)
{
    if (!m_pThread && thread)
        Attach(thread, false);
}

void SerialInstance::Attach(QThread *thread, bool owned)
{
    qRegisterMetaType<QSerialPort::BaudRate>("QSerialPort::BaudRate");
    m_pThread = thread;
    m_bOwnsThread = owned;
    m_pSerialPort = new QSerialPort;
    m_pTimer = new QTimer;

    m_pSerialPort->moveToThread(m_pThread);
    m_pTimer->moveToThread(m_pThread);
    moveToThread(m_pThread);

    connect(m_pSerialPort, &QSerialPort::readyRead, this, &SerialInstance::slotReadData);
    connect(m_pTimer, &QTimer::timeout, this, &SerialInstance::slotTimerOut);
    connect(this, &SerialInstance::SigMessageReceived, this, &SerialInstance::slotMessageReceived);

    if (!m_pThread->isRunning())
        m_pThread->start();
    qDebug() << "SerialManager living thread:" << QThread::currentThread()
             << "main thread:" << QCoreApplication::instance()->thread();
}

void SerialInstance::Stop()
{
    if (!m_pThread || !m_pThread->isRunning())
        return;
    if (QThread::currentThread() == m_pThread) {
        ReleasePort();
        if (m_bOwnsThread)
            m_pThread->quit();
        return;
    }
    QMetaObject::invokeMethod(this, &SerialInstance::ReleasePort, Qt::BlockingQueuedConnection);
    // A shared thread goes on for the other workers in it.
    if (!m_bOwnsThread)
        return;
    m_pThread->quit();
    if (!m_pThread->wait(STOP_WAIT_MS))
        qWarning() << "SerialInstance: worker thread did not stop in" << STOP_WAIT_MS << "ms";
}

void SerialInstance::ReleasePort()
{
    // The retries are stopped first: at the end no failure is reported for them.
    if (m_pTimer)
        m_pTimer->stop();
    if (m_pSerialPort)
        ClosePort();
    delete m_pSerialPort;
    m_pSerialPort = nullptr;
    delete m_pTimer;
    m_pTimer = nullptr;
}

void SerialInstance::SetPortEnumerator(SerialPortEnumerator enumerator)
{
    m_enumerator = std::move(enumerator);
}

void SerialInstance::slotSetPortInfoList()
{
    QStringList list{QString()};
    const QList<SerialPortDescription> ports =
        UsablePorts(m_enumerator ? m_enumerator() : QList<SerialPortDescription>());
    for (const SerialPortDescription &port : ports) {
        list.append(port.portName);
        qDebug() << "[serial]:serialPortName:" << port.portName;
        qDebug() << "[serial]:Description : " << port.description;
        qDebug() << "[serial]:Manufacturer: " << port.manufacturer;
        qDebug() << "[serial]:Serial Number: " << port.serialNumber;
        qDebug() << "[serial]:System Location: " << port.systemLocation;
    }
    // Plain code-unit order: the empty entry stays first and COM10 comes before COM3.
    std::sort(list.begin(), list.end());
    m_listPortInfo = list;

    qDebug() << "Test:" << m_listPortInfo.size() << IsOpen() << int(m_pSerialPort == nullptr);
    // The device went away under an open port.
    if (m_listPortInfo.size() == 1 && IsOpen())
        ClosePort();
    emit SigGetPortInfoList(m_listPortInfo);
    qDebug() << "SerialManager living thread:" << QThread::currentThread()
             << "main thread:" << QCoreApplication::instance()->thread();
}

QStringList SerialInstance::GetPortInfoList()
{
    return m_listPortInfo;
}

bool SerialInstance::slotOpenSerialPort(QString str_SerialPortName,
                                        QSerialPort::BaudRate e_BaudRate)
{
    if (!HasPort())
        return false;
    qDebug() << "m_listPortInfo.size():" << m_listPortInfo.size();
    if (m_listPortInfo.size() == 1) {
        qDebug() << "m_listPortInfo.size()" << m_listPortInfo.size();
        emit SigConnectState(1, false);
        return false;
    }
    return OpenPort(str_SerialPortName, e_BaudRate);
}

bool SerialInstance::slotOpenPort(QString str_SerialPortName, QSerialPort::BaudRate e_BaudRate)
{
    return HasPort() && OpenPort(str_SerialPortName, e_BaudRate);
}

bool SerialInstance::HasPort()
{
    if (!m_pSerialPort) {
        qDebug() << "MainWindow::slotConnectClicked() m_SerialPort is NULL";
        emit SigConnectState(1, false);
    }
    return m_pSerialPort != nullptr;
}

bool SerialInstance::OpenPort(const QString &portName, QSerialPort::BaudRate baudRate)
{
    // A second open fails and the open port stays as it is; its name and line settings are
    // not touched, so the bytes in flight keep their framing.
    bool opened = false;
    if (!m_pSerialPort->isOpen()) {
        m_pSerialPort->setPortName(portName);
        m_pSerialPort->setBaudRate(baudRate, QSerialPort::AllDirections);
        m_pSerialPort->setParity(QSerialPort::NoParity);
        m_pSerialPort->setDataBits(QSerialPort::Data8);
        m_pSerialPort->setStopBits(QSerialPort::OneStop);
        m_pSerialPort->setFlowControl(QSerialPort::NoFlowControl);
        opened = m_pSerialPort->open(QIODevice::ReadWrite);
    }
    if (opened) {
        // What the device sent while nobody listened answers no request of this session.
        m_pSerialPort->clear(QSerialPort::Input);
        m_parser = PackageParser{};
        emit SigConnectState(1, true);
    } else {
        qDebug() << "m_pSerialPort open failed";
#ifdef Q_OS_LINUX
        // Outside this group a Linux user may open no serial port at all, and the box cannot
        // tell that from a missing device.
        if (m_pSerialPort->error() == QSerialPort::PermissionError)
            qDebug() << "m_pSerialPort permission denied: is the user in dialout?";
#endif
        emit SigConnectState(1, false);
    }
    return opened;
}

bool SerialInstance::IsOpen()
{
    return m_pSerialPort && m_pSerialPort->isOpen();
}

bool SerialInstance::slotCloseSerialPort()
{
    if (!m_pSerialPort)
        return false;
    ClosePort();
    emit SigConnectState(0, true);
    return true;
}

void SerialInstance::ClosePort()
{
    if (m_pSerialPort->isOpen()) {
        // The buffers are dropped first: a closed port refuses to clear them.
        m_pSerialPort->clear(QSerialPort::AllDirections);
        m_pSerialPort->close();
    }
    // A request pending on the port ends with it, failed: retrying on a closed port could only
    // fail later, after the caller has moved on to something else.
    if (m_pTimer->isActive())
        Fail(m_msg_id);
}

void SerialInstance::Fail(quint8 msgId)
{
    if (m_pTimer)
        m_pTimer->stop();
    emit SigShowMsg(1, tr("通信失败！"));
    emit SigCommunicationFailed();
    qDebug() << "m_msg_id send error" << int(msgId);
}

void SerialInstance::printSelfThread()
{
    qDebug() << "I am living in thread" << QThread::currentThread();
}

void SerialInstance::slotMessageReceived(uchar msgId, QByteArray payload)
{
    // A request that cannot go out fails at once; the caller must not wait for an answer
    // (a port closed by a removal just before the request, for one).
    if (!m_pSerialPort || !m_pSerialPort->isOpen()) {
        qDebug() << (m_pSerialPort ? "ERROR::m_pSerialPort is not open"
                                   : "ERROR::m_pSerialPort is NULL");
        Fail(msgId);
        return;
    }
    // The length travels in one byte; a longer payload would go out cut short under a length
    // that the device would trust.
    if (payload.size() > PACKAGE_MAX_PAYLOAD) {
        qDebug() << "Create Package Error, id:" << int(msgId);
        return;
    }
    SendPackage(msgId, reinterpret_cast<const quint8 *>(payload.constData()),
                quint8(payload.size()));
}

int SerialInstance::SendPackage(quint8 msgId, const quint8 *payload, quint8 length)
{
    const int size = length + PACKAGE_OVERHEAD;
    QByteArray frame(size, '\0');
    const int built =
        CreatePackage(reinterpret_cast<std::uint8_t *>(frame.data()), std::uint16_t(size), msgId,
                      payload, length, PACKAGE_DIR_TO_DEVICE);
    if (built < 0) {
        qDebug() << "Create Package Error, id:" << int(msgId);
        return -1;
    }
    qDebug() << "Send:" << HexText(frame);
    m_LastPackage = frame;
    m_msg_id = msgId;
    m_Times = 0;
    m_bAnswered = false;
    // A request that replaces a pending one keeps the running timer, so its first retry comes
    // at the next expiry rather than a full interval later.
    if (!m_pTimer->isActive())
        m_pTimer->start(RETRY_INTERVAL_MS);
    WriteData(frame);
    return built;
}

bool SerialInstance::WriteData(const QByteArray &frame)
{
    if (!m_pSerialPort) {
        qDebug() << "ERROR::m_pSerialPort is NULL";
        return false;
    }
    // Counted before the open check: a request keeps its three chances even while the port
    // is closed, so it still ends in a failure instead of retrying for ever.
    ++m_Times;
    if (!m_pSerialPort->isOpen()) {
        qDebug() << "ERROR::m_pSerialPort is not open";
        return false;
    }
    emit SigShowMsg(0, HexText(frame));
    m_pSerialPort->write(frame);
    return m_pSerialPort->waitForBytesWritten(WRITE_TIMEOUT_MS);
}

void SerialInstance::slotTimerOut()
{
    if (m_Times < MAX_TRANSMISSIONS) {
        qDebug() << "m_Times" << m_Times;
        WriteData(m_LastPackage);
        return;
    }
    if (m_pTimer->isActive())
        Fail(m_msg_id);
}

void SerialInstance::slotReadData()
{
    QByteArray data;
    if (m_pSerialPort->bytesAvailable() > 0) {
        data = m_pSerialPort->readAll();
        if (data.isEmpty())
            qDebug() << "slotReadData::data:NULL";
    }
    ProcessData(data);
}

void SerialInstance::ProcessData(const QByteArray &data)
{
    for (const char c : data) {
        if (ParsePackageByte(std::uint8_t(c), &m_parser) != 0)
            continue;
        // The parser's fields are only valid until the next byte, so the frame is fully
        // handled here before the loop goes on.
        const DecodedAnswer answer =
            DecodeAnswer(m_parser.msgId, m_parser.payload, m_parser.length);
        // A short answer delivered nothing; treating it as the answer would stop the retries
        // and leave the caller waiting for a signal that never comes.
        const bool toLastRequest =
            answer.kind != DecodedAnswer::Short && m_parser.msgId == m_msg_id + 1;
        if (toLastRequest && m_bAnswered) {
            // The device answered a retransmission too: the caller has had its answer and may
            // already have moved on (closed the port, say).
            qDebug() << "Answer already received, dropped, id:" << int(m_parser.msgId);
            continue;
        }
        if (toLastRequest && m_pTimer->isActive()) {
            m_Times = 0;
            m_pTimer->stop();
            m_bAnswered = true;
        }
        EmitAnswer(answer, m_parser.length);
    }
}

void SerialInstance::EmitAnswer(const DecodedAnswer &answer, quint8 length)
{
    switch (answer.kind) {
    case DecodedAnswer::SetSnAck:
        emit SigSetSnAck(answer.ok);
        break;
    case DecodedAnswer::SerialNumber:
        qDebug() << answer.serialNumber;
        emit SigGetSnAck(answer.serialNumber);
        break;
    case DecodedAnswer::BatteryInfo:
        emit SigGetBatteryInfoAck(answer.battery);
        break;
    case DecodedAnswer::Version:
        qDebug() << "Version:" << int(answer.versionLow) << int(answer.versionHigh);
        emit SigGetVersionAck(answer.version);
        break;
    case DecodedAnswer::Info:
        qDebug() << "SN:" << answer.serialNumber;
        emit SigGetInfo(answer.serialNumber, answer.version, answer.soc);
        break;
    case DecodedAnswer::Short:
        qDebug() << "Short answer dropped, id:" << int(answer.msgId) << "length:" << length;
        break;
    case DecodedAnswer::Unknown:
        qDebug() << "Unknown ID:" << int(answer.msgId);
        break;
    }
}
