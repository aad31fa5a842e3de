#include "serialinspector.h"
#include "serialinstance.h"
#include "simdevice.h"

#include <QtTest>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutex>
#include <QSerialPort>
#include <QThread>
#include <QTimer>

#include <functional>

namespace
{

using Inspector = SerialInstanceInspector;

// Debug lines are part of the worker's behaviour; every line of every thread lands here.
struct LogCapture {
    QMutex mutex;
    QStringList lines;
    QStringList warnings;
    QtMessageHandler previous = nullptr;
};
LogCapture g_log;

void CaptureMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    {
        QMutexLocker lock(&g_log.mutex);
        g_log.lines.append(text);
        if (type != QtDebugMsg && type != QtInfoMsg)
            g_log.warnings.append(text);
    }
    if (g_log.previous)
        g_log.previous(type, context, text);
}

int Logged(const QString &line)
{
    QMutexLocker lock(&g_log.mutex);
    return g_log.lines.count(line);
}

bool LoggedContaining(const QString &part)
{
    QMutexLocker lock(&g_log.mutex);
    for (const QString &line : qAsConst(g_log.lines)) {
        if (line.contains(part))
            return true;
    }
    return false;
}

QStringList Warnings()
{
    QMutexLocker lock(&g_log.mutex);
    return g_log.warnings;
}

void ClearLog()
{
    QMutexLocker lock(&g_log.mutex);
    g_log.lines.clear();
    g_log.warnings.clear();
}

// Every signal of the worker, in emission order, with the thread that emitted it.
class Recorder
{
public:
    explicit Recorder(SerialInstance *w)
    {
        auto on = [this, w](auto signal, auto format) {
            QObject::connect(
                w, signal, w, [this, format](auto... args) { record(format(args...)); },
                Qt::DirectConnection);
        };
        on(&SerialInstance::SigGetPortInfoList,
           [](const QStringList &list) { return "ports:" + list.join(','); });
        on(&SerialInstance::SigConnectState, [](int mode, bool state) {
            return QStringLiteral("connect:%1,%2").arg(mode).arg(state ? "true" : "false");
        });
        on(&SerialInstance::SigShowMsg, [](int mode, const QString &text) {
            return QStringLiteral("show:%1,%2").arg(mode).arg(text);
        });
        on(&SerialInstance::SigSetSnAck,
           [](bool ok) { return QStringLiteral("setsn:%1").arg(ok ? "true" : "false"); });
        on(&SerialInstance::SigGetSnAck, [](const QString &sn) { return "sn:" + sn; });
        on(&SerialInstance::SigCommunicationFailed, [] { return QStringLiteral("failed"); });
        on(&SerialInstance::SigGetVersionAck,
           [](int version) { return QStringLiteral("version:%1").arg(version); });
        on(&SerialInstance::SigGetBatteryInfoAck, [](const stru_BatteryInfo &record) {
            const QByteArray bytes(reinterpret_cast<const char *>(&record), sizeof record);
            return QStringLiteral("battery:%1:%2")
                .arg(record.Soc)
                .arg(QString::fromLatin1(bytes.toHex().toUpper()));
        });
        on(&SerialInstance::SigGetInfo, [](const QString &sn, int version, int soc) {
            return QStringLiteral("info:%1,%2,%3").arg(sn).arg(version).arg(soc);
        });
    }

    QStringList events() const
    {
        QMutexLocker lock(&m_mutex);
        return m_events;
    }
    // The events whose name starts with one of prefixes.
    QStringList events(const QStringList &prefixes) const
    {
        QStringList selected;
        for (const QString &event : events()) {
            for (const QString &prefix : prefixes) {
                if (event.startsWith(prefix)) {
                    selected.append(event);
                    break;
                }
            }
        }
        return selected;
    }
    QList<QThread *> threads() const
    {
        QMutexLocker lock(&m_mutex);
        return m_threads;
    }

private:
    void record(const QString &event)
    {
        QMutexLocker lock(&m_mutex);
        m_events.append(event);
        m_threads.append(QThread::currentThread());
    }

    mutable QMutex m_mutex;
    QStringList m_events;
    QList<QThread *> m_threads;
};

// Stands for the main window: it reaches the worker only through queued signals.
class Window : public QObject
{
    Q_OBJECT
public:
    explicit Window(SerialInstance *w)
    {
        connect(this, &Window::SigGetPortInfoList, w, &SerialInstance::slotSetPortInfoList,
                Qt::QueuedConnection);
        connect(this, &Window::SigOpenSerial, w, &SerialInstance::slotOpenSerialPort,
                Qt::QueuedConnection);
        connect(this, &Window::SigCloseSerial, w, &SerialInstance::slotCloseSerialPort,
                Qt::QueuedConnection);
    }
signals:
    void SigGetPortInfoList();
    void SigOpenSerial(QString name, QSerialPort::BaudRate baud);
    void SigCloseSerial();
};

// A port as the system lists it. Texts left out are made from the name, so that each port's
// log lines are its own; an empty text stands for one the system does not know.
SerialPortDescription Port(const QString &name, const QString &description = QString(),
                           const QString &manufacturer = QString(),
                           const QString &serial = QString(), const QString &location = QString())
{
    auto orMade = [&name](const QString &text, const QString &prefix) {
        return text.isNull() ? prefix + name : text;
    };
    return {name, orMade(description, "USB serial "), orMade(manufacturer, "Maker of "),
            orMade(serial, "SN-"), orMade(location, "/dev/")};
}

const QByteArray REQUEST_PAYLOAD(1, '\0');
constexpr int WAIT_MS = 10000;

} // namespace

Q_DECLARE_METATYPE(QList<SerialPortDescription>)

class tst_SerialInstance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void exchange_data();
    void exchange();
    void unansweredRequestTiming();
    void newRequestReplacesPending();
    void requestEndsWithThePort_data();
    void requestEndsWithThePort();
    void oversizedPayloadIsNotSent();

    void portList_data();
    void portList();
    void refreshWithoutPortsClosesOpenPort();
    void closeWhenNotOpen();
    void openFailures_data();
    void openFailures();
    void secondOpenKeepsPortOpen();

    void withoutPortObject();
    void shutdown();
    void simulatedPortFromEnvironment();
    void simulatedPortList();
    void twoWorkersAtOnce_data();
    void twoWorkersAtOnce();

private:
    bool startWorker();
    bool openPort(const QString &path);
    void request(int msgId);

    SerialInstance *m_worker = nullptr;
    Recorder *m_recorder = nullptr;
    Window *m_window = nullptr;
};

void tst_SerialInstance::initTestCase()
{
    qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");
    g_log.previous = qInstallMessageHandler(CaptureMessage);
}

void tst_SerialInstance::init()
{
    ClearLog();
    m_worker = new SerialInstance;
    m_recorder = new Recorder(m_worker);
    m_window = new Window(m_worker);
}

void tst_SerialInstance::cleanup()
{
    // Whatever a test did, the worker's signals came from its own thread only.
    QThread *workerThread = Inspector::thread(m_worker);
    const QList<QThread *> threads = m_recorder->threads();
    const QStringList events = m_recorder->events();
    QStringList strays;
    for (int i = 0; workerThread && i < threads.size(); ++i) {
        if (threads.at(i) != workerThread || threads.at(i) == QThread::currentThread())
            strays.append(events.at(i));
    }
    delete m_window;
    delete m_recorder;
    delete m_worker;
    m_worker = nullptr;
    const QStringList warnings = Warnings();
    ClearLog();
    QVERIFY2(strays.isEmpty(),
             qPrintable("emitted outside the worker thread: " + strays.join(' ')));
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
}

bool tst_SerialInstance::startWorker()
{
    m_worker->Init();
    return Inspector::thread(m_worker) && Inspector::thread(m_worker)->isRunning();
}

bool tst_SerialInstance::openPort(const QString &path)
{
    emit m_window->SigOpenSerial(path, QSerialPort::Baud115200);
    QDeadlineTimer deadline(WAIT_MS);
    while (m_recorder->events({"connect:1"}).isEmpty() && !deadline.hasExpired())
        QTest::qWait(10);
    return m_recorder->events({"connect:1"}) == QStringList{"connect:1,true"};
}

void tst_SerialInstance::request(int msgId)
{
    // As the window does: the worker's own signal, emitted from this thread.
    emit m_worker->SigMessageReceived(uchar(msgId), REQUEST_PAYLOAD);
}

void tst_SerialInstance::exchange_data()
{
    QTest::addColumn<QStringList>("deviceOptions");
    QTest::addColumn<int>("msgId");
    QTest::addColumn<int>("transmissions");
    // The answer signals, and "failed" for a request given up.
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("logLines");

    const QStringList device{"--sn", "QB-7-000123", "--version", "12", "--soc", "64"};
    const QString info = "info:QB-7-000123,12,64";
    const QString battery = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B";

    QTest::newRow("info answered at once")
        << device << 9 << 1 << QStringList{info} << QStringList{"SN: \"QB-7-000123\""};
    QTest::newRow("serial number answered at once")
        << device << 3 << 1 << QStringList{"sn:QB-7-000123"} << QStringList{"\"QB-7-000123\""};
    QTest::newRow("version answered at once")
        << device << 7 << 1 << QStringList{"version:12"} << QStringList{"Version: 12 0"};
    QTest::newRow("battery record answered at once")
        << device + QStringList{"--battery", battery} << 5 << 1
        << QStringList{"battery:64:000102030405060708090A0B400D0E0F101112131415161718191A1B"}
        << QStringList{};
    QTest::newRow("answer to the second transmission")
        << device + QStringList{"--after", "2"} << 9 << 2 << QStringList{info}
        << QStringList{"m_Times 1"};
    QTest::newRow("answer to the third transmission")
        << device + QStringList{"--after", "3"} << 9 << 3 << QStringList{info}
        << QStringList{"m_Times 1", "m_Times 2"};
    QTest::newRow("no answer") << device + QStringList{"--fault", "silent"} << 9 << 3
                               << QStringList{"failed"}
                               << QStringList{"m_Times 1", "m_Times 2", "m_msg_id send error 9"};
    QTest::newRow("answer split 4 + 6 bytes: one signal")
        << device + QStringList{"--fault", "split", "--split-at", "4"} << 7 << 1
        << QStringList{"version:12"} << QStringList{};
    QTest::newRow("two answers in one write: both, in order")
        << device + QStringList{"--fault", "double"} << 9 << 1 << QStringList{info, "version:12"}
        << QStringList{};
    QTest::newRow("noise before the answer")
        << device + QStringList{"--fault", "noise"} << 9 << 1 << QStringList{info} << QStringList{};
    QTest::newRow("bad checksum, then a good answer to the retry")
        << device + QStringList{"--fault", "badsum", "--count", "1"} << 9 << 2 << QStringList{info}
        << QStringList{"m_Times 1"};
    QTest::newRow("wrong direction, then a good answer to the retry")
        << device + QStringList{"--fault", "wrongdir", "--count", "1"} << 9 << 2
        << QStringList{info} << QStringList{"m_Times 1"};
    QTest::newRow("short answer is no answer: the retry gets the real one")
        << device + QStringList{"--fault", "short", "--count", "1"} << 9 << 2 << QStringList{info}
        << QStringList{"Short answer dropped, id: 10 length: 22"};
    QTest::newRow("short serial number answer: read, no retry")
        << device + QStringList{"--fault", "short"} << 3 << 1 << QStringList{"sn:QB-7-000123"}
        << QStringList{"\"QB-7-000123\""};
    QTest::newRow("short answers only: failure")
        << device + QStringList{"--fault", "short"} << 7 << 3 << QStringList{"failed"}
        << QStringList{"m_msg_id send error 7"};
    QTest::newRow("unknown identifier: dropped, retries go on")
        << device + QStringList{"--fault", "unknown", "--unknown-id", "99"} << 9 << 3
        << QStringList{"failed"} << QStringList{"Unknown ID: 99", "m_msg_id send error 9"};
    // The answer comes in two parts 1.5 s apart: the second transmission goes out before its
    // end, and the device answers that one too, after the caller has had its answer.
    QTest::newRow("answer to a retransmission of an answered request: dropped")
        << device + QStringList{"--fault", "split", "--pause", "1500", "--count", "1"} << 9 << 2
        << QStringList{info}
        << QStringList{"m_Times 1", "Answer already received, dropped, id: 10"};
    QTest::newRow("answer to another request: signalled, retries go on")
        << device + QStringList{"--fault", "other"} << 9 << 3
        << QStringList{"version:12", "version:12", "version:12", "failed"}
        << QStringList{"m_msg_id send error 9"};
}

void tst_SerialInstance::exchange()
{
    QFETCH(QStringList, deviceOptions);
    QFETCH(int, msgId);
    QFETCH(int, transmissions);
    QFETCH(QStringList, answers);
    QFETCH(QStringList, logLines);

    SimDevice device(deviceOptions);
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    QVERIFY(startWorker());
    QVERIFY(openPort(device.portPath()));

    request(msgId);
    const QStringList answerKinds{"ports", "setsn", "sn", "failed", "version", "battery", "info"};
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->events(answerKinds).size(), answers.size(), WAIT_MS);
    // Settled: no timer left that could send again or fail later.
    QVERIFY(!Inspector::retrying(m_worker));
    QCOMPARE(m_recorder->events(answerKinds), answers);
    for (const QString &line : logLines)
        QTRY_VERIFY2_WITH_TIMEOUT(Logged(line) >= 1, qPrintable(line), WAIT_MS);
    QCOMPARE(m_recorder->events(answerKinds), answers); // and nothing more came meanwhile

    const QByteArray frame = QByteArray::fromHex("A8E2382001") + char(msgId) +
                             QByteArray::fromHex("A500") + char(1 + msgId + 0xA5);
    const QList<SimDevice::Frame> frames = device.receivedFrames();
    QCOMPARE(frames.size(), transmissions);
    for (const SimDevice::Frame &sent : frames)
        QCOMPARE(sent.bytes.toHex().toUpper(), frame.toHex().toUpper());
    const QString shown = "show:0," + QString::fromLatin1(frame.toHex().toUpper());
    QStringList shownEach;
    for (int i = 0; i < transmissions; ++i)
        shownEach.append(shown);
    QCOMPARE(m_recorder->events({"show:0"}), shownEach);
    QCOMPARE(m_recorder->events({"show:1"}).size(), answers.contains("failed") ? 1 : 0);
    QCOMPARE(Inspector::times(m_worker), answers.contains("failed") ? 3 : 0);

    QVERIFY(Logged("Send: \"" + QString::fromLatin1(frame.toHex().toUpper()) + "\"") == 1);
}

// Three identical frames about a second apart, the failure about three seconds after the
// request, and nothing after it.
void tst_SerialInstance::unansweredRequestTiming()
{
    SimDevice device({"--fault", "silent"});
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    QVERIFY(startWorker());
    QVERIFY(openPort(device.portPath()));

    QElapsedTimer clock;
    clock.start();
    request(MSG_GET_INFO);
    QTRY_VERIFY_WITH_TIMEOUT(m_recorder->events().contains("failed"), WAIT_MS);
    const qint64 failedAfter = clock.elapsed();
    QVERIFY2(failedAfter >= 2300 && failedAfter <= 4500, qPrintable(QString::number(failedAfter)));
    QCOMPARE(m_recorder->events({"show:1"}), QStringList{QStringLiteral("show:1,通信失败！")});

    QList<SimDevice::Frame> frames = device.receivedFrames();
    QCOMPARE(frames.size(), 3);
    for (int i = 1; i < frames.size(); ++i) {
        const qint64 gap = frames.at(i).ms - frames.at(i - 1).ms;
        QVERIFY2(gap >= 700 && gap <= 1700, qPrintable(QString::number(gap)));
    }
    // The one place where only waiting shows something: the line stays quiet after the end.
    QTest::qWait(1500);
    QCOMPARE(device.receivedFrames().size(), 3);
    QCOMPARE(m_recorder->events().count("failed"), 1);
}

// A second request while the first is pending takes over: the retries repeat the new frame,
// and one failure names the new request.
void tst_SerialInstance::newRequestReplacesPending()
{
    SimDevice device({"--fault", "silent"});
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    QVERIFY(startWorker());
    QVERIFY(openPort(device.portPath()));

    request(MSG_GET_INFO);
    request(MSG_GET_VERSION);
    QTRY_VERIFY_WITH_TIMEOUT(m_recorder->events().contains("failed"), WAIT_MS);
    QStringList sent;
    for (const SimDevice::Frame &frame : device.receivedFrames())
        sent.append(QString::fromLatin1(frame.bytes.toHex().toUpper()));
    QCOMPARE(sent, (QStringList{"A8E238200109A500AF", "A8E238200107A500AD", "A8E238200107A500AD",
                                "A8E238200107A500AD"}));
    QCOMPARE(Logged("m_msg_id send error 7"), 1);
    QCOMPARE(Logged("m_msg_id send error 9"), 0);
}

void tst_SerialInstance::requestEndsWithThePort_data()
{
    QTest::addColumn<QString>("closedBy"); // "" (never opened), "close" or "refresh"
    QTest::newRow("request on a closed port fails at once") << "";
    QTest::newRow("port closed while retrying: the request fails at the close") << "close";
    QTest::newRow("port closed by a refresh finding no port") << "refresh";
}

// Every request ends, answered or failed: one on a port that is not open, or whose port is
// closed under it, fails there and then instead of leaving its caller waiting.
void tst_SerialInstance::requestEndsWithThePort()
{
    QFETCH(QString, closedBy);
    SimDevice device({"--fault", "silent"});
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    QVERIFY(startWorker());
    if (!closedBy.isEmpty()) {
        QVERIFY(openPort(device.portPath()));
        request(MSG_GET_VERSION);
        QTRY_COMPARE_WITH_TIMEOUT(device.receivedFrames().size(), 1, WAIT_MS);
        if (closedBy == "close") {
            emit m_window->SigCloseSerial();
        } else {
            Inspector::setPorts(m_worker, {});
            emit m_window->SigGetPortInfoList();
        }
    } else {
        request(MSG_GET_VERSION);
    }
    QTRY_VERIFY_WITH_TIMEOUT(m_recorder->events().contains("failed"), WAIT_MS);
    QCOMPARE(m_recorder->events({"show:1", "failed"}),
             (QStringList{QStringLiteral("show:1,通信失败！"), "failed"}));
    QCOMPARE(Logged("m_msg_id send error 7"), 1);
    QVERIFY(!Inspector::retrying(m_worker));
    QCOMPARE(Logged("m_Times 1"), 0); // no retry came before the end
    QCOMPARE(device.receivedFrames().size(), closedBy.isEmpty() ? 0 : 1);
    QCOMPARE(Logged("ERROR::m_pSerialPort is not open"), closedBy.isEmpty() ? 1 : 0);
}

// The length byte cannot say more than 255: a longer payload is refused rather than sent cut
// short under a wrong length.
void tst_SerialInstance::oversizedPayloadIsNotSent()
{
    SimDevice device;
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    QVERIFY(startWorker());
    QVERIFY(openPort(device.portPath()));

    emit m_worker->SigMessageReceived(MSG_GET_INFO, QByteArray(300, '\x01'));
    request(MSG_GET_VERSION);
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->events({"version"}), QStringList{"version:10"}, WAIT_MS);
    QCOMPARE(Logged("Create Package Error, id: 9"), 1);
    const QList<SimDevice::Frame> frames = device.receivedFrames();
    QCOMPARE(frames.size(), 1);
    QCOMPARE(frames.first().bytes, QByteArray::fromHex("A8E238200107A500AD"));
}

void tst_SerialInstance::portList_data()
{
    QTest::addColumn<QList<SerialPortDescription>>("ports");
    QTest::addColumn<QStringList>("list");

    QTest::newRow("no ports: the empty entry only")
        << QList<SerialPortDescription>{} << QStringList{""};
    QTest::newRow("sorted as text: COM10 before COM3")
        << QList<SerialPortDescription>{Port("COM3"), Port("COM10")}
        << QStringList{"", "COM10", "COM3"};
    QTest::newRow("sorted case-sensitively: upper case first")
        << QList<SerialPortDescription>{Port("com1"), Port("COM2")}
        << QStringList{"", "COM2", "com1"};
    QTest::newRow("no description: not listed")
        << QList<SerialPortDescription>{Port("COM4", ""), Port("COM5")} << QStringList{"", "COM5"};
    QTest::newRow("no manufacturer: not listed")
        << QList<SerialPortDescription>{Port("COM4", QString(), ""), Port("COM5")}
        << QStringList{"", "COM5"};
    QTest::newRow("no serial number: not listed")
        << QList<SerialPortDescription>{Port("COM4", QString(), QString(), ""), Port("COM5")}
        << QStringList{"", "COM5"};
    QTest::newRow("only unusable ports: the empty entry only")
        << QList<SerialPortDescription>{Port("ttyS0", "", "", "")} << QStringList{""};
}

void tst_SerialInstance::portList()
{
    QFETCH(QList<SerialPortDescription>, ports);
    QFETCH(QStringList, list);

    QVERIFY(startWorker());
    Inspector::setPorts(m_worker, ports);
    emit m_window->SigGetPortInfoList();
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->events(), QStringList{"ports:" + list.join(',')},
                              WAIT_MS);
    QCOMPARE(Inspector::portList(m_worker), list);
    QCOMPARE(Logged(QStringLiteral("Test: %1 false 0").arg(list.size())), 1);

    for (const SerialPortDescription &port : ports) {
        if (list.contains(port.portName)) {
            QCOMPARE(Logged("[serial]:serialPortName: \"" + port.portName + '"'), 1);
            QCOMPARE(Logged("[serial]:Description :  \"" + port.description + '"'), 1);
            QCOMPARE(Logged("[serial]:Manufacturer:  \"" + port.manufacturer + '"'), 1);
            QCOMPARE(Logged("[serial]:Serial Number:  \"" + port.serialNumber + '"'), 1);
            QCOMPARE(Logged("[serial]:System Location:  \"" + port.systemLocation + '"'), 1);
        } else {
            QVERIFY2(!LoggedContaining(port.portName), qPrintable(port.portName));
        }
    }
}

// The device went away under an open port: the refresh closes the port quietly, and an open
// request is refused until a refresh finds a port again.
void tst_SerialInstance::refreshWithoutPortsClosesOpenPort()
{
    SimDevice device;
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    QVERIFY(startWorker());
    Inspector::setPorts(m_worker, {Port("pts", "Simulated", "Quorbel", "SIM", device.portPath())});
    emit m_window->SigGetPortInfoList();
    QVERIFY(openPort(device.portPath()));
    QVERIFY(Inspector::portOpen(m_worker));

    Inspector::setPorts(m_worker, {});
    emit m_window->SigGetPortInfoList();
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->events({"ports"}).size(), 2, WAIT_MS);
    QCOMPARE(m_recorder->events({"ports"}).last(), QStringLiteral("ports:"));
    QVERIFY(!Inspector::portOpen(m_worker));
    QCOMPARE(Logged("Test: 1 true 0"), 1);

    // Closed for real: another port object can take the line.
    QSerialPort other(device.portPath());
    QVERIFY2(other.open(QIODevice::ReadWrite), qPrintable(other.errorString()));
    other.close();

    emit m_window->SigOpenSerial(device.portPath(), QSerialPort::Baud115200);
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->events({"connect"}).size(), 2, WAIT_MS);
    QCOMPARE(m_recorder->events({"connect"}), (QStringList{"connect:1,true", "connect:1,false"}));
    QCOMPARE(Logged("m_listPortInfo.size(): 1"), 1);
    QCOMPARE(Logged("m_listPortInfo.size() 1"), 1);
    QVERIFY(!Inspector::portOpen(m_worker));
}

void tst_SerialInstance::closeWhenNotOpen()
{
    QVERIFY(startWorker());
    emit m_window->SigCloseSerial();
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->events(), QStringList{"connect:0,true"}, WAIT_MS);
    QCOMPARE(Warnings(), QStringList{});
}

void tst_SerialInstance::openFailures_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("no such device") << "/dev/quorbel-no-such-tty"
                                    << "m_pSerialPort open failed";
    QTest::newRow("not a terminal") << "/dev/null"
                                    << "m_pSerialPort open failed";
    QTest::newRow("no permission") << "/sys/kernel/uevent_seqnum"
                                   << "m_pSerialPort permission denied: is the user in dialout?";
}

void tst_SerialInstance::openFailures()
{
    QFETCH(QString, port);
    QFETCH(QString, logLine);

    QVERIFY(startWorker());
    emit m_window->SigOpenSerial(port, QSerialPort::Baud115200);
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->events(), QStringList{"connect:1,false"}, WAIT_MS);
    QCOMPARE(Logged(logLine), 1);
    QVERIFY(!Inspector::portOpen(m_worker));
}

// A second open is refused and leaves the first one working.
void tst_SerialInstance::secondOpenKeepsPortOpen()
{
    SimDevice device;
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    QVERIFY(startWorker());
    QVERIFY(openPort(device.portPath()));

    emit m_window->SigOpenSerial(device.portPath(), QSerialPort::Baud115200);
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->events({"connect"}).size(), 2, WAIT_MS);
    QCOMPARE(m_recorder->events({"connect"}).last(), QStringLiteral("connect:1,false"));
    QCOMPARE(Logged("m_pSerialPort open failed"), 1);
    QVERIFY(Inspector::portOpen(m_worker));
    // The line is still held: this is what tells a closed port from an open one elsewhere.
    QSerialPort other(device.portPath());
    QVERIFY(!other.open(QIODevice::ReadWrite));

    request(MSG_GET_VERSION);
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->events({"version"}), QStringList{"version:10"}, WAIT_MS);
}

// Before Init there is no port: every entry point says so and none of them crashes.
void tst_SerialInstance::withoutPortObject()
{
    QVERIFY(!m_worker->slotOpenSerialPort("/dev/null", QSerialPort::Baud115200));
    QCOMPARE(Logged("MainWindow::slotConnectClicked() m_SerialPort is NULL"), 1);
    QCOMPARE(m_recorder->events(), QStringList{"connect:1,false"});

    QVERIFY(!m_worker->slotCloseSerialPort());
    QCOMPARE(m_recorder->events(), QStringList{"connect:1,false"});

    Inspector::request(m_worker, MSG_GET_INFO, REQUEST_PAYLOAD);
    QCOMPARE(Logged("ERROR::m_pSerialPort is NULL"), 1);
    QCOMPARE(m_recorder->events({"failed"}), QStringList{"failed"}); // nobody is left waiting
    QVERIFY(!m_worker->IsOpen());

    m_worker->Stop();
    m_worker->Stop();
    QVERIFY(!Inspector::hasPort(m_worker));
    // The recorder asks for this thread: a worker never started has none.
    QVERIFY(!Inspector::thread(m_worker));
}

// The orderly end: the port is closed in its thread, the thread ends, nothing complains, and
// a second stop does nothing.
void tst_SerialInstance::shutdown()
{
    SimDevice device;
    QVERIFY2(device.start(), qPrintable(device.errorString()));

    SerialInstance *single = SerialInstance::GetInstance();
    QCOMPARE(SerialInstance::GetInstance(), single);
    single->Init();
    QPointer<QThread> thread = Inspector::thread(single);
    QVERIFY(thread && thread->isRunning());
    // Only the worker lives in its thread; the thread object stays with the thread that runs it.
    QCOMPARE(single->thread(), thread.data());
    QCOMPARE(thread->thread(), QThread::currentThread());
    Recorder recorder(single);
    Window window(single);
    emit window.SigOpenSerial(device.portPath(), QSerialPort::Baud115200);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events(), QStringList{"connect:1,true"}, WAIT_MS);

    single->Stop();
    QVERIFY(!thread->isRunning());
    single->Stop();
    SerialInstance::ShutdownInstance();
    QVERIFY(thread.isNull());
    SerialInstance::ShutdownInstance();
    QCOMPARE(Warnings(), QStringList{});

    QSerialPort other(device.portPath());
    QVERIFY2(other.open(QIODevice::ReadWrite), qPrintable(other.errorString()));
}

// QUORBEL_SIMULATED_PORT puts the simulated device among the system's ports, where the usual
// filter, log and open treat it like any other; the device's state file may change under it.
void tst_SerialInstance::simulatedPortFromEnvironment()
{
    SimDevice device({"--version", "21"});
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    QCOMPARE(device.state().value("port"), device.portPath());

    qunsetenv("QUORBEL_SIMULATED_PORT");
    const QList<SerialPortDescription> plain = SystemSerialPorts();
    qputenv("QUORBEL_SIMULATED_PORT", device.portPath().toLocal8Bit());
    const QList<SerialPortDescription> withDevice = SystemSerialPorts();
    qunsetenv("QUORBEL_SIMULATED_PORT");
    QCOMPARE(withDevice.size(), plain.size() + 1);
    const SerialPortDescription simulated = withDevice.last();
    QCOMPARE(simulated.portName, device.portPath());
    QCOMPARE(simulated.systemLocation, device.portPath());
    QCOMPARE(simulated.description, QStringLiteral("Simulated device"));
    QCOMPARE(simulated.manufacturer, QStringLiteral("Quorbel"));
    QCOMPARE(simulated.serialNumber, QStringLiteral("SIM0001"));

    // The worker's own, system enumeration this time.
    QVERIFY(startWorker());
    qputenv("QUORBEL_SIMULATED_PORT", device.portPath().toLocal8Bit());
    emit m_window->SigGetPortInfoList();
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->events({"ports"}).size(), 1, WAIT_MS);
    qunsetenv("QUORBEL_SIMULATED_PORT");
    QVERIFY(Inspector::portList(m_worker).contains(device.portPath()));
    QCOMPARE(Logged("[serial]:Description :  \"Simulated device\""), 1);
    QVERIFY(openPort(device.portPath()));

    request(MSG_GET_VERSION);
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->events({"version"}), QStringList{"version:21"}, WAIT_MS);
    QVERIFY(device.setState("version", "22"));
    request(MSG_GET_VERSION);
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->events({"version"}),
                              (QStringList{"version:21", "version:22"}), WAIT_MS);
    QCOMPARE(device.state().value("version"), QStringLiteral("22"));
    QCOMPARE(device.receivedFrames().size(), 2);
}

// Several simulated devices at once: each path of the list is a port of its own, in its order.
void tst_SerialInstance::simulatedPortList()
{
    const QString sep = QDir::listSeparator();
    qputenv("QUORBEL_SIMULATED_PORT", (sep + "/tmp/b" + sep + sep + "/tmp/a").toLocal8Bit());
    QStringList simulated;
    for (const SerialPortDescription &port : SystemSerialPorts()) {
        if (port.description == QLatin1String("Simulated device"))
            simulated << port.portName + ' ' + port.systemLocation + ' ' + port.serialNumber;
    }
    qunsetenv("QUORBEL_SIMULATED_PORT");
    QCOMPARE(simulated, (QStringList{"/tmp/b /tmp/b SIM0001", "/tmp/a /tmp/a SIM0002"}));
}

void tst_SerialInstance::twoWorkersAtOnce_data()
{
    QTest::addColumn<bool>("sharedThread");
    QTest::newRow("each in its own thread") << false;
    QTest::newRow("both in one thread") << true;
}

// Both answers come in two parts, the first part of each before the rest of the other: a receive
// context shared by the two workers would join them wrongly. The second device answers on a
// link, as a device that can vanish does.
void tst_SerialInstance::twoWorkersAtOnce()
{
    QFETCH(bool, sharedThread);
    const QStringList split{"--fault", "split", "--soc", "64", "--pause"};
    SimDevice first(split + QStringList{"400", "--sn", "QB-A", "--version", "21"});
    SimDevice second(split + QStringList{"200", "--sn", "QB-B", "--version", "22"},
                     SimDevice::Port::Link);
    QVERIFY2(first.start() && second.start(),
             qPrintable(first.errorString() + second.errorString()));
    QVERIFY(startWorker());
    SerialInstance other;
    sharedThread ? other.Init(Inspector::thread(m_worker)) : other.Init();
    Recorder otherRecorder(&other);
    Window otherWindow(&other);
    QVERIFY(openPort(first.portPath()));
    emit otherWindow.SigOpenSerial(second.portPath(), QSerialPort::Baud115200);
    QTRY_COMPARE_WITH_TIMEOUT(otherRecorder.events({"connect"}), QStringList{"connect:1,true"},
                              WAIT_MS);

    request(MSG_GET_INFO);
    emit other.SigMessageReceived(MSG_GET_INFO, REQUEST_PAYLOAD);
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->events({"info", "failed"}),
                              QStringList{"info:QB-A,21,64"}, WAIT_MS);
    QTRY_COMPARE_WITH_TIMEOUT(otherRecorder.events({"info", "failed"}),
                              QStringList{"info:QB-B,22,64"}, WAIT_MS);
    QCOMPARE(Inspector::thread(&other) == Inspector::thread(m_worker), sharedThread);
    other.Stop();
    QVERIFY(Inspector::thread(m_worker)->isRunning());
}

QTEST_GUILESS_MAIN(tst_SerialInstance)
#include "tst_serialinstance.moc"
