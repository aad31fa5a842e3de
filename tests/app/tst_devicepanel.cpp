// The device panel against the real serial worker in its own thread and the simulated device on
// a pseudo-terminal: connecting and the information run, the single-value queries, the failure
// paths, the port list following ports that come and go, and the waiting animation.

#include "boxcatcher.h"
#include "logcapture.h"
#include "windowinspector.h"

#include "messages.h"
#include "serialinstance.h"
#include "serialinspector.h"
#include "simdevice.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QPair>
#include <QSerialPort>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

namespace
{

using Inspector = SerialInstanceInspector;

// Generous: these tests also run under AddressSanitizer on a loaded two-core machine.
constexpr int kWaitMs = 10000;
const QString kOtherPort = QStringLiteral("/dev/ttyQB7");
const QString kMissingPort = QStringLiteral("/dev/ttyQB-missing");
const QStringList kAnimation{"获取中.", "获取中..", "获取中..."};

// What the worker's enumerator reports; the test thread sets it, the worker thread reads it.
QMutex g_portsMutex;
QStringList g_ports;

void setListedPorts(const QStringList &ports)
{
    QMutexLocker lock(&g_portsMutex);
    g_ports = ports;
}

QList<SerialPortDescription> listedPorts()
{
    QMutexLocker lock(&g_portsMutex);
    QList<SerialPortDescription> ports;
    for (const QString &name : qAsConst(g_ports))
        ports.append({name, "Simulated device", "Quorbel tests", "SIM0001", name});
    return ports;
}

QStringList items(const QComboBox *combo)
{
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts;
}

// The request frame the window's request leaves as: one payload byte 0x00.
QByteArray requestFrame(int msgId)
{
    return QByteArray::fromHex("A8E2382001") + char(msgId) + QByteArray::fromHex("A500") +
           char(1 + msgId + 0xA5);
}

// Which thread each signal of interest was emitted in, for signals emitted in any thread.
class ThreadLog : public QObject
{
public:
    void add(const QString &what)
    {
        QMutexLocker lock(&m_mutex);
        m_entries.append({what, QThread::currentThread()});
    }
    QList<QPair<QString, QThread *>> entries() const
    {
        QMutexLocker lock(&m_mutex);
        return m_entries;
    }

private:
    mutable QMutex m_mutex;
    QList<QPair<QString, QThread *>> m_entries;
};

// The panel's state at each change of the baud list's enabled state (the last widget a
// connection change touches), and the thread every visible change is made in. Enabled and text
// changes reach their widget synchronously, so the thread seen here is the handler's.
class PanelRecorder : public QObject
{
public:
    explicit PanelRecorder(Ui_MainWindow *ui) : m_ui(ui)
    {
        ui->m_comboBox_PortBaudRate->installEventFilter(this);
        auto record = [this] { threads << QThread::currentThread(); };
        connect(ui->lineEdit_Sn, &QLineEdit::textChanged, this, record, Qt::DirectConnection);
        connect(ui->lineEdit_Vesion, &QLineEdit::textChanged, this, record, Qt::DirectConnection);
        connect(ui->progressBar_BatteryInfo, &QProgressBar::valueChanged, this, record,
                Qt::DirectConnection);
    }

    QStringList states;
    QList<QThread *> threads;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::EnabledChange) {
            auto onOff = [](QWidget *w) { return w->isEnabled() ? "on" : "off"; };
            states << QString("%1|%2|%3")
                          .arg(m_ui->m_pbtnConnect->text(), onOff(m_ui->m_pcomboBoxPortName),
                               onOff(m_ui->m_comboBox_PortBaudRate));
            threads << QThread::currentThread();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    Ui_MainWindow *m_ui;
};

} // namespace

class TestDevicePanel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void baudList();
    void informationRun_data();
    void informationRun();
    void silentDevice_data();
    void silentDevice();
    void openRequest_data();
    void openRequest();
    void connectWithoutPorts_data();
    void connectWithoutPorts();
    void queryWhileConnected_data();
    void queryWhileConnected();
    void queryWhileNotConnected_data();
    void queryWhileNotConnected();
    void answersShown_data();
    void answersShown();
    void portListFollowsPorts_data();
    void portListFollowsPorts();
    void removalEndsReading_data();
    void removalEndsReading();
    void animationCycles();

private:
    Ui_MainWindow *ui() const { return WindowInspector::ui(*m_window); }
    bool connected() const { return ui()->m_pbtnConnect->text() == QStringLiteral("断开连接"); }
    QString resolve(const QString &symbol) const;
    QStringList resolve(const QStringList &symbols) const;
    void listPorts(const QStringList &ports);
    void choosePort(const QString &name);
    void connectQuietly();
    QList<int> requestsOnWire() const;
    void emitInWorker(const std::function<void()> &emitter);

    SerialInstance *m_worker = nullptr;
    std::unique_ptr<SimDevice> m_device;
    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<BoxCatcher> m_boxes;
    std::unique_ptr<MainWindow> m_window;
};

void TestDevicePanel::initTestCase()
{
    qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");
    m_worker = SerialInstance::GetInstance();
    m_worker->SetPortEnumerator(listedPorts);
    m_worker->Init();
    QVERIFY(m_worker->thread() != QThread::currentThread());
    QVERIFY(m_worker->thread()->isRunning());
}

void TestDevicePanel::cleanupTestCase()
{
    SerialInstance::ShutdownInstance();
}

void TestDevicePanel::init()
{
    m_device.reset(new SimDevice({"--sn", "QB-7-000123", "--version", "12", "--soc", "64"}));
    QVERIFY2(m_device->start(), qPrintable(m_device->errorString()));
    setListedPorts({m_device->portPath()});
    m_log.reset(new LogCapture);
    m_boxes.reset(new BoxCatcher);
    m_window.reset(new MainWindow);
    // Filled once the worker has answered the constructor's request.
    QTRY_COMPARE_WITH_TIMEOUT(items(ui()->m_pcomboBoxPortName),
                              (QStringList{QString(), m_device->portPath()}), kWaitMs);
}

void TestDevicePanel::cleanup()
{
    // A request still pending would fail into the next test's window.
    const bool idle = QTest::qWaitFor([this] { return !Inspector::retrying(m_worker); }, kWaitMs);
    m_window.reset();
    Inspector::closePort(m_worker);
    const bool closed = !Inspector::portOpen(m_worker);
    m_boxes.reset();
    m_log.reset();
    m_device.reset();
    QVERIFY2(idle, "the worker still retries a request");
    QVERIFY(closed);
}

QString TestDevicePanel::resolve(const QString &symbol) const
{
    if (symbol == "device")
        return m_device->portPath();
    if (symbol == "other")
        return kOtherPort;
    if (symbol == "missing")
        return kMissingPort;
    return symbol;
}

QStringList TestDevicePanel::resolve(const QStringList &symbols) const
{
    QStringList names;
    for (const QString &symbol : symbols)
        names << resolve(symbol);
    return names;
}

// Lists these ports and has the window refresh, as at start.
void TestDevicePanel::listPorts(const QStringList &ports)
{
    setListedPorts(ports);
    QStringList expected = QStringList{QString()} + ports;
    std::sort(expected.begin(), expected.end());
    emit m_window->SigGetPortInfoList();
    QTRY_COMPARE_WITH_TIMEOUT(items(ui()->m_pcomboBoxPortName), expected, kWaitMs);
}

void TestDevicePanel::choosePort(const QString &name)
{
    const int index = ui()->m_pcomboBoxPortName->findText(name);
    QVERIFY2(index >= 0, qPrintable(name));
    ui()->m_pcomboBoxPortName->setCurrentIndex(index);
}

// Connects to a device that stays quiet: the information request runs out ("通信失败") and the
// port then stays open with nothing pending, for as long as the test needs it.
void TestDevicePanel::connectQuietly()
{
    QVERIFY(m_device->setState("fault", "silent"));
    choosePort(m_device->portPath());
    ui()->m_pbtnConnect->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->count(), 1, kWaitMs);
    QCOMPARE(m_boxes->lastText(), QString("通信失败"));
    QVERIFY(connected());
    QVERIFY(Inspector::portOpen(m_worker));
    QVERIFY(!Inspector::retrying(m_worker));
    QCOMPARE(requestsOnWire(), (QList<int>{MSG_GET_INFO, MSG_GET_INFO, MSG_GET_INFO}));
    QVERIFY(m_device->setState("fault", "none"));
    m_boxes->clear();
}

// The identifiers of the frames the device received; -1 for a frame that is not a request
// frame as the window sends it.
QList<int> TestDevicePanel::requestsOnWire() const
{
    QList<int> ids;
    for (const SimDevice::Frame &frame : m_device->receivedFrames()) {
        const int id = frame.bytes.size() > 5 ? quint8(frame.bytes.at(5)) : -1;
        ids << (frame.bytes == requestFrame(id) ? id : -1);
    }
    return ids;
}

// Emits the worker's signal in the worker's thread, as the worker does, and delivers it.
void TestDevicePanel::emitInWorker(const std::function<void()> &emitter)
{
    QMetaObject::invokeMethod(m_worker, emitter, Qt::BlockingQueuedConnection);
    QCoreApplication::sendPostedEvents(m_window.get(), QEvent::MetaCall);
}

void TestDevicePanel::baudList()
{
    const QStringList expected{"", "9600", "19200", "38400", "57600", "115200"};
    QCOMPARE(items(ui()->m_comboBox_PortBaudRate), expected);
    QCOMPARE(ui()->m_comboBox_PortBaudRate->currentText(), QString("115200"));
}

void TestDevicePanel::informationRun_data()
{
    QTest::addColumn<QString>("sn");
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("soc");
    QTest::addColumn<int>("barBefore");
    QTest::addColumn<int>("barAfter");

    QTest::newRow("typical device") << "QB-7-000123" << 12 << 64 << 0 << 64;
    QTest::newRow("longest serial number") << "QB-SIM-123456789012" << 3 << 80 << 0 << 80;
    QTest::newRow("largest version") << "QB-7-000124" << 65535 << 50 << 0 << 50;
    QTest::newRow("empty battery") << "QB-7-000125" << 1 << 0 << 50 << 0;
    QTest::newRow("full battery") << "QB-7-000126" << 1 << 100 << 50 << 100;
    QTest::newRow("charge above 100 leaves the bar") << "QB-7-000127" << 1 << 150 << 37 << 37;
}

void TestDevicePanel::informationRun()
{
    QFETCH(QString, sn);
    QFETCH(int, version);
    QFETCH(int, soc);
    QFETCH(int, barBefore);
    QFETCH(int, barAfter);

    QVERIFY(m_device->setState("sn", sn));
    QVERIFY(m_device->setState("version", QString::number(version)));
    QVERIFY(m_device->setState("soc", QString::number(soc)));
    ui()->progressBar_BatteryInfo->setValue(barBefore);

    ThreadLog emitted;
    connect(
        m_worker, &SerialInstance::SigConnectState, &emitted,
        [&emitted](int mode, bool) { emitted.add(QString("connect:%1").arg(mode)); },
        Qt::DirectConnection);
    connect(
        m_worker, &SerialInstance::SigGetInfo, &emitted, [&emitted] { emitted.add("info"); },
        Qt::DirectConnection);
    PanelRecorder panel(ui());
    QSignalSpy openSpy(m_window.get(), &MainWindow::SigOpenSerial);
    QSignalSpy closeSpy(m_window.get(), &MainWindow::SigCloseSerial);

    // As detection leaves it: the animation runs while the port is being opened.
    QTimer &animation = WindowInspector::getInfoTimer(*m_window);
    animation.start(300);
    QTRY_VERIFY_WITH_TIMEOUT(kAnimation.contains(ui()->m_pGetInfo->text()), kWaitMs);

    choosePort(m_device->portPath());
    ui()->m_pbtnConnect->click();
    QCOMPARE(openSpy.count(), 1);
    QCOMPARE(openSpy.at(0).at(0).toString(), m_device->portPath());
    QCOMPARE(int(qvariant_cast<QSerialPort::BaudRate>(openSpy.at(0).at(1))), 115200);
    QCOMPARE(WindowInspector::portName(*m_window), m_device->portPath());

    // Connected, answered, and closed again.
    QTRY_COMPARE_WITH_TIMEOUT(panel.states.size(), 2, kWaitMs);
    QCOMPARE(panel.states, (QStringList{"断开连接|off|off", "连接|on|on"}));
    QCOMPARE(ui()->lineEdit_Sn->text(), sn);
    QCOMPARE(ui()->lineEdit_Vesion->text(), QString::number(version));
    QCOMPARE(WindowInspector::deviceVersion(*m_window), version);
    QCOMPARE(ui()->progressBar_BatteryInfo->value(), barAfter);
    QCOMPARE(ui()->progressBar_BatteryInfo->property("state").toString(), QString());
    QVERIFY(!animation.isActive());
    QCOMPARE(ui()->m_pGetInfo->text(), QString("获取信息"));
    QCOMPARE(closeSpy.count(), 1);
    QVERIFY(!Inspector::portOpen(m_worker));
    QCOMPARE(requestsOnWire(), QList<int>{MSG_GET_INFO});
    QCOMPARE(m_boxes->count(), 0);

    // The worker reported from its own thread; the window changed its widgets in the GUI thread.
    QThread *gui = QThread::currentThread();
    QThread *worker = m_worker->thread();
    QVERIFY(worker != gui);
    QStringList labels;
    for (const auto &entry : emitted.entries()) {
        labels << entry.first;
        QVERIFY2(entry.second == worker, qPrintable(entry.first));
    }
    QCOMPARE(labels, (QStringList{"connect:1", "info", "connect:0"}));
    QVERIFY(panel.threads.size() >= 4);
    for (QThread *thread : qAsConst(panel.threads))
        QCOMPARE(thread, gui);

    // The port is closed after the run, so a query now finds no connection.
    ui()->m_pBtnGetSn->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->count(), 1, kWaitMs);
    QCOMPARE(m_boxes->lastText(), QString("未连接串口"));
}

void TestDevicePanel::silentDevice_data()
{
    QTest::addColumn<bool>("duringRun");
    QTest::newRow("information run: waiting ends, port closes") << true;
    QTest::newRow("no information run: port stays open") << false;
}

void TestDevicePanel::silentDevice()
{
    QFETCH(bool, duringRun);

    QVERIFY(m_device->setState("fault", "silent"));
    PanelRecorder panel(ui());
    QSignalSpy closeSpy(m_window.get(), &MainWindow::SigCloseSerial);
    QTimer &animation = WindowInspector::getInfoTimer(*m_window);
    if (duringRun)
        animation.start(300);

    choosePort(m_device->portPath());
    QElapsedTimer clock;
    clock.start();
    ui()->m_pbtnConnect->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->count(), 1, kWaitMs);
    const qint64 elapsed = clock.elapsed();

    const BoxCatcher::Box box = m_boxes->boxes().first();
    QCOMPARE(box.title, QString("警告"));
    QCOMPARE(box.text, QString("通信失败"));
    QCOMPARE(box.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
    // Three transmissions a second apart, then the give-up.
    QVERIFY2(elapsed >= 2500, qPrintable(QString::number(elapsed)));
    QCOMPARE(requestsOnWire(), (QList<int>{MSG_GET_INFO, MSG_GET_INFO, MSG_GET_INFO}));
    QVERIFY(!animation.isActive());
    QCOMPARE(ui()->m_pGetInfo->text(), QString("获取信息"));

    if (duringRun) {
        QCOMPARE(closeSpy.count(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(panel.states.size(), 2, kWaitMs);
        QCOMPARE(panel.states, (QStringList{"断开连接|off|off", "连接|on|on"}));
        QVERIFY(!Inspector::portOpen(m_worker));
    } else {
        QCOMPARE(closeSpy.count(), 0);
        QCOMPARE(panel.states, QStringList{"断开连接|off|off"});
        QVERIFY(Inspector::portOpen(m_worker));
    }
}

void TestDevicePanel::openRequest_data()
{
    QTest::addColumn<QString>("port"); // "device", "missing" or a name
    QTest::addColumn<QString>("baud");
    QTest::addColumn<bool>("animating");
    QTest::addColumn<int>("expectedBaud");
    QTest::addColumn<bool>("opens");

    QTest::newRow("device at 115200") << "device"
                                      << "115200" << false << 115200 << true;
    QTest::newRow("device at 9600") << "device"
                                    << "9600" << false << 9600 << true;
    QTest::newRow("empty baud entry asks for 0, which does not open") << "device"
                                                                      << "" << false << 0 << false;
    QTest::newRow("empty port entry is asked for and refused")
        << ""
        << "115200" << false << 115200 << false;
    QTest::newRow("missing port is refused") << "missing"
                                             << "115200" << false << 115200 << false;
    QTest::newRow("refusal ends the waiting state") << "missing"
                                                    << "115200" << true << 115200 << false;
}

void TestDevicePanel::openRequest()
{
    QFETCH(QString, port);
    QFETCH(QString, baud);
    QFETCH(bool, animating);
    QFETCH(int, expectedBaud);
    QFETCH(bool, opens);

    listPorts(resolve(QStringList{"device", "missing"}));
    const QString portName = resolve(port);
    choosePort(portName);
    ui()->m_comboBox_PortBaudRate->setCurrentIndex(ui()->m_comboBox_PortBaudRate->findText(baud));
    QCOMPARE(ui()->m_comboBox_PortBaudRate->currentText(), baud);
    QTimer &animation = WindowInspector::getInfoTimer(*m_window);
    if (animating) {
        animation.start(300);
        QTRY_VERIFY_WITH_TIMEOUT(kAnimation.contains(ui()->m_pGetInfo->text()), kWaitMs);
    }
    PanelRecorder panel(ui());
    QSignalSpy openSpy(m_window.get(), &MainWindow::SigOpenSerial);

    ui()->m_pbtnConnect->click();
    QCOMPARE(openSpy.count(), 1);
    QCOMPARE(openSpy.at(0).at(0).toString(), portName);
    QCOMPARE(int(qvariant_cast<QSerialPort::BaudRate>(openSpy.at(0).at(1))), expectedBaud);
    QCOMPARE(WindowInspector::portName(*m_window), portName);

    if (opens) {
        QTRY_COMPARE_WITH_TIMEOUT(panel.states.size(), 2, kWaitMs);
        QCOMPARE(panel.states, (QStringList{"断开连接|off|off", "连接|on|on"}));
        QCOMPARE(ui()->lineEdit_Sn->text(), QString("QB-7-000123"));
        QCOMPARE(m_boxes->count(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes->count(), 1, kWaitMs);
        QCOMPARE(m_boxes->lastTitle(), QString("警告"));
        QCOMPARE(m_boxes->lastText(), QString("打开串口失败"));
        QCOMPARE(ui()->m_pbtnConnect->text(), QString("连接"));
        QVERIFY(panel.states.isEmpty());
        QVERIFY(requestsOnWire().isEmpty());
    }
    QVERIFY(!animation.isActive());
    QCOMPARE(ui()->m_pGetInfo->text(), QString("获取信息"));
    QVERIFY(!Inspector::portOpen(m_worker));
}

void TestDevicePanel::connectWithoutPorts_data()
{
    QTest::addColumn<QString>("buttonText");
    QTest::newRow("not connected") << "连接";
    // The empty-list check comes first, whatever the button says.
    QTest::newRow("button says connected") << "断开连接";
}

void TestDevicePanel::connectWithoutPorts()
{
    QFETCH(QString, buttonText);

    listPorts({});
    ui()->m_pbtnConnect->setText(buttonText);
    QSignalSpy openSpy(m_window.get(), &MainWindow::SigOpenSerial);
    QSignalSpy closeSpy(m_window.get(), &MainWindow::SigCloseSerial);

    ui()->m_pbtnConnect->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->count(), 1, kWaitMs);
    const BoxCatcher::Box box = m_boxes->boxes().first();
    QCOMPARE(box.title, QString("警告"));
    QCOMPARE(box.text, QString("未选择串口"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
    QCOMPARE(openSpy.count(), 0);
    QCOMPARE(closeSpy.count(), 0);
    QCOMPARE(ui()->m_pbtnConnect->text(), buttonText);
    Inspector::flush(m_worker);
    QVERIFY(!Inspector::portOpen(m_worker));
}

void TestDevicePanel::queryWhileConnected_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("request");
    QTest::addColumn<QString>("stateKey");
    QTest::addColumn<QString>("stateValue");
    QTest::addColumn<QString>("sn");
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("bar");
    QTest::addColumn<int>("deviceVersion");
    QTest::addColumn<QString>("batteryLine");

    // The fields start as "", "", bar 37, device version -1.
    QTest::newRow("serial number") << "m_pBtnGetSn"
                                   << "Get Sn" << int(MSG_GET_SN) << "sn"
                                   << "QB-9-000777"
                                   << "QB-9-000777"
                                   << "" << 37 << -1 << "";
    QTest::newRow("version") << "m_pBtnGetVesion"
                             << "Get Vesion" << int(MSG_GET_VERSION) << "version"
                             << "13"
                             << ""
                             << "13" << 37 << 13 << "";
    QTest::newRow("battery") << "m_pBtnGetBatteryInfo"
                             << "Get BAttery Info" << int(MSG_GET_BATTERY_INFO) << "soc"
                             << "42"
                             << ""
                             << "" << 42 << -1 << "slotGetBatteryInfoAck 42";
    QTest::newRow("battery above 100 keeps the bar")
        << "m_pBtnGetBatteryInfo"
        << "Get BAttery Info" << int(MSG_GET_BATTERY_INFO) << "soc"
        << "101"
        << ""
        << "" << 37 << -1 << "slotGetBatteryInfoAck 101";
}

void TestDevicePanel::queryWhileConnected()
{
    QFETCH(QString, button);
    QFETCH(QString, label);
    QFETCH(int, request);
    QFETCH(QString, stateKey);
    QFETCH(QString, stateValue);
    QFETCH(QString, sn);
    QFETCH(QString, version);
    QFETCH(int, bar);
    QFETCH(int, deviceVersion);
    QFETCH(QString, batteryLine);

    connectQuietly();
    if (QTest::currentTestFailed())
        return;
    ui()->progressBar_BatteryInfo->setValue(37);
    QVERIFY(m_device->setState(stateKey, stateValue));
    auto *query = m_window->findChild<QPushButton *>(button);
    QVERIFY(query);
    QVERIFY(query->isHidden());

    query->click();
    QCOMPARE(m_log->linesStartingWith(label), QStringList{label});
    // The answer stops the retries; the battery answer's log line is its last step.
    QTRY_VERIFY_WITH_TIMEOUT(!Inspector::retrying(m_worker), kWaitMs);
    if (!batteryLine.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(m_log->linesStartingWith("slotGetBatteryInfoAck"),
                                  QStringList{batteryLine}, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(ui()->lineEdit_Sn->text(), sn, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(ui()->lineEdit_Vesion->text(), version, kWaitMs);
    QCOMPARE(ui()->progressBar_BatteryInfo->value(), bar);
    QCOMPARE(WindowInspector::deviceVersion(*m_window), deviceVersion);

    QCOMPARE(requestsOnWire(), (QList<int>{MSG_GET_INFO, MSG_GET_INFO, MSG_GET_INFO, request}));
    // Logged before the request went out.
    const QStringList lines = m_log->lines();
    const QString sent =
        "Send: \"" + QString::fromLatin1(requestFrame(request).toHex().toUpper()) + "\"";
    QVERIFY(lines.contains(sent));
    QVERIFY(lines.indexOf(label) < lines.indexOf(sent));
    QVERIFY(connected());
    QVERIFY(Inspector::portOpen(m_worker));
    QCOMPARE(m_boxes->count(), 0);
}

void TestDevicePanel::queryWhileNotConnected_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("label");
    QTest::newRow("serial number") << "m_pBtnGetSn"
                                   << "Get Sn";
    QTest::newRow("version") << "m_pBtnGetVesion"
                             << "Get Vesion";
    QTest::newRow("battery") << "m_pBtnGetBatteryInfo"
                             << "Get BAttery Info";
}

void TestDevicePanel::queryWhileNotConnected()
{
    QFETCH(QString, button);
    QFETCH(QString, label);

    auto *query = m_window->findChild<QPushButton *>(button);
    QVERIFY(query);
    query->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->count(), 1, kWaitMs);
    QCOMPARE(m_boxes->lastTitle(), QString("警告"));
    QCOMPARE(m_boxes->lastText(), QString("未连接串口"));

    // Nothing reached the worker: it would have logged the closed port.
    Inspector::flush(m_worker);
    QVERIFY(m_log->linesStartingWith(label).isEmpty());
    QVERIFY(m_log->linesStartingWith("ERROR::m_pSerialPort").isEmpty());
    QVERIFY(!Inspector::retrying(m_worker));
    QVERIFY(requestsOnWire().isEmpty());
}

void TestDevicePanel::answersShown_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("sn");
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("soc");
    QTest::addColumn<QString>("shownSn");
    QTest::addColumn<QString>("shownVersion");
    QTest::addColumn<int>("bar");
    QTest::addColumn<int>("deviceVersion");
    QTest::addColumn<QString>("batteryLine");

    // Before each row: serial number "before", version "5" (stored 5), bar 37.
    QTest::newRow("serial number") << "sn"
                                   << "QB-1-000001" << 0 << 0 << "QB-1-000001"
                                   << "5" << 37 << 5 << "";
    QTest::newRow("empty serial number") << "sn"
                                         << "" << 0 << 0 << ""
                                         << "5" << 37 << 5 << "";
    QTest::newRow("version") << "version"
                             << "" << 12 << 0 << "before"
                             << "12" << 37 << 12 << "";
    QTest::newRow("version zero") << "version"
                                  << "" << 0 << 0 << "before"
                                  << "0" << 37 << 0 << "";
    QTest::newRow("negative version keeps its sign") << "version"
                                                     << "" << -1 << 0 << "before"
                                                     << "-1" << 37 << -1 << "";
    QTest::newRow("battery empty") << "battery"
                                   << "" << 0 << 0 << "before"
                                   << "5" << 0 << 5 << "slotGetBatteryInfoAck 0";
    QTest::newRow("battery full") << "battery"
                                  << "" << 0 << 100 << "before"
                                  << "5" << 100 << 5 << "slotGetBatteryInfoAck 100";
    QTest::newRow("battery above 100 keeps the bar")
        << "battery"
        << "" << 0 << 101 << "before"
        << "5" << 37 << 5 << "slotGetBatteryInfoAck 101";
    QTest::newRow("battery byte read unsigned") << "battery"
                                                << "" << 0 << 255 << "before"
                                                << "5" << 37 << 5 << "slotGetBatteryInfoAck 255";
    QTest::newRow("information") << "info"
                                 << "QB-2-000002" << 12 << 64 << "QB-2-000002"
                                 << "12" << 64 << 12 << "";
    QTest::newRow("information with a negative version")
        << "info"
        << "QB-2-000003" << -3 << 64 << "QB-2-000003"
        << "-3" << 64 << -3 << "";
    QTest::newRow("information with charge above 100") << "info"
                                                       << "QB-2-000004" << 7 << 150 << "QB-2-000004"
                                                       << "7" << 37 << 7 << "";
}

void TestDevicePanel::answersShown()
{
    QFETCH(QString, kind);
    QFETCH(QString, sn);
    QFETCH(int, version);
    QFETCH(int, soc);
    QFETCH(QString, shownSn);
    QFETCH(QString, shownVersion);
    QFETCH(int, bar);
    QFETCH(int, deviceVersion);
    QFETCH(QString, batteryLine);

    ui()->lineEdit_Sn->setText("before");
    ui()->lineEdit_Vesion->setText("5");
    WindowInspector::setDeviceVersion(*m_window, 5);
    ui()->progressBar_BatteryInfo->setValue(37);
    QSignalSpy closeSpy(m_window.get(), &MainWindow::SigCloseSerial);

    SerialInstance *worker = m_worker;
    if (kind == "sn") {
        emitInWorker([worker, sn] { emit worker->SigGetSnAck(sn); });
    } else if (kind == "version") {
        emitInWorker([worker, version] { emit worker->SigGetVersionAck(version); });
    } else if (kind == "battery") {
        stru_BatteryInfo record;
        std::fill(std::begin(record.Reserved0), std::end(record.Reserved0), quint8(0xEE));
        std::fill(std::begin(record.Reserved1), std::end(record.Reserved1), quint8(0xEE));
        record.Soc = quint8(soc);
        emitInWorker([worker, record] { emit worker->SigGetBatteryInfoAck(record); });
    } else {
        emitInWorker([worker, sn, version, soc] { emit worker->SigGetInfo(sn, version, soc); });
    }

    QCOMPARE(ui()->lineEdit_Sn->text(), shownSn);
    QCOMPARE(ui()->lineEdit_Vesion->text(), shownVersion);
    QCOMPARE(ui()->progressBar_BatteryInfo->value(), bar);
    QCOMPARE(WindowInspector::deviceVersion(*m_window), deviceVersion);
    QCOMPARE(ui()->progressBar_BatteryInfo->property("state").toString(), QString());
    const QStringList batteryLines = m_log->linesStartingWith("slotGetBatteryInfoAck");
    QCOMPARE(batteryLines, batteryLine.isEmpty() ? QStringList() : QStringList{batteryLine});
    // Only the combined answer ends with closing the port.
    QCOMPARE(closeSpy.count(), kind == "info" ? 1 : 0);
    QCOMPARE(m_boxes->count(), 0);
}

void TestDevicePanel::portListFollowsPorts_data()
{
    QTest::addColumn<bool>("connectedBefore");
    QTest::addColumn<bool>("listsDisabledBefore");
    QTest::addColumn<bool>("removal");
    QTest::addColumn<QString>("changed");
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<bool>("connectedAfter");

    const QStringList one{"device"};
    const QStringList two{"device", "other"};
    QTest::newRow("arrival while not connected")
        << false << false << false << "other" << one << two << false;
    QTest::newRow("removal while not connected re-enables the lists")
        << false << true << true << "other" << two << one << false;
    QTest::newRow("arrival while connected keeps the connection")
        << true << false << false << "other" << one << two << true;
    QTest::newRow("removal of another port while connected closes")
        << true << false << true << "other" << two << one << false;
    QTest::newRow("removal of the port in use while connected closes")
        << true << false << true << "device" << two << QStringList{"other"} << false;
}

void TestDevicePanel::portListFollowsPorts()
{
    QFETCH(bool, connectedBefore);
    QFETCH(bool, listsDisabledBefore);
    QFETCH(bool, removal);
    QFETCH(QString, changed);
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    QFETCH(bool, connectedAfter);

    listPorts(resolve(before));
    if (connectedBefore) {
        connectQuietly();
        if (QTest::currentTestFailed())
            return;
    }
    if (listsDisabledBefore) {
        ui()->m_pcomboBoxPortName->setEnabled(false);
        ui()->m_comboBox_PortBaudRate->setEnabled(false);
    }
    choosePort(m_device->portPath());
    QVERIFY(ui()->m_pcomboBoxPortName->currentIndex() > 0);

    setListedPorts(resolve(after));
    QSignalSpy listSpy(m_window.get(), &MainWindow::SigGetPortInfoList);
    QSignalSpy closeSpy(m_window.get(), &MainWindow::SigCloseSerial);
    const QString name = resolve(changed);
    if (removal)
        WindowInspector::portRemoved(*m_window, name);
    else
        WindowInspector::portArrived(*m_window, name);

    QCOMPARE(listSpy.count(), 1);
    QCOMPARE(closeSpy.count(), removal && connectedBefore ? 1 : 0);
    const QString label = removal ? "拔出串口" : "插入串口";
    QCOMPARE(m_log->linesStartingWith(label), QStringList{label + " \"" + name + "\""});

    QStringList expected = QStringList{QString()} + resolve(after);
    std::sort(expected.begin(), expected.end());
    QTRY_COMPARE_WITH_TIMEOUT(items(ui()->m_pcomboBoxPortName), expected, kWaitMs);
    QCOMPARE(ui()->m_pcomboBoxPortName->currentIndex(), 0);
    QCOMPARE(connected(), connectedAfter);
    QCOMPARE(ui()->m_pcomboBoxPortName->isEnabled(), !connectedAfter);
    QCOMPARE(ui()->m_comboBox_PortBaudRate->isEnabled(), !connectedAfter);
    QTRY_COMPARE_WITH_TIMEOUT(Inspector::portOpen(m_worker), connectedAfter, kWaitMs);
    QCOMPARE(m_boxes->count(), 0);
}

void TestDevicePanel::removalEndsReading_data()
{
    QTest::addColumn<bool>("requestSent");
    QTest::newRow("removed between the open and the request") << false;
    QTest::newRow("removed while the request waits for its answer") << true;
}

// The device goes away during a reading: the reading fails at once, whatever it was doing,
// instead of spinning for ever or waiting out the retries.
void TestDevicePanel::removalEndsReading()
{
    QFETCH(bool, requestSent);
    QVERIFY(m_device->setState("fault", "silent"));
    QTimer &animation = WindowInspector::getInfoTimer(*m_window);
    animation.start(300); // a reading, as detection leaves it
    choosePort(m_device->portPath());
    ui()->m_pbtnConnect->click();
    if (requestSent)
        QTRY_COMPARE_WITH_TIMEOUT(m_device->receivedFrames().size(), 1, kWaitMs);

    // Without the request sent, the window hears of the removal before the worker's report of
    // the open, as a removal between the two does.
    QElapsedTimer clock;
    clock.start();
    setListedPorts({});
    WindowInspector::portRemoved(*m_window, m_device->portPath());
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->count(), 1, kWaitMs);
    QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(m_boxes->lastText(), QString("通信失败"));
    QVERIFY(!animation.isActive());
    QCOMPARE(ui()->m_pGetInfo->text(), QString("获取信息"));
    QCOMPARE(m_device->receivedFrames().size(), requestSent ? 1 : 0);
    QTRY_VERIFY_WITH_TIMEOUT(!Inspector::portOpen(m_worker), kWaitMs);
    QVERIFY(!Inspector::retrying(m_worker));
}

void TestDevicePanel::animationCycles()
{
    auto step = [this] {
        WindowInspector::animationStep(*m_window);
        return ui()->m_pGetInfo->text();
    };
    auto following = [](const QString &text) {
        return kAnimation.at((kAnimation.indexOf(text) + 1) % kAnimation.size());
    };

    // Other tests may have moved the counter already: find the phase, then follow the cycle to
    // its first text. A counter restarted by a later run would show that same text again.
    QString text = step();
    QVERIFY2(kAnimation.contains(text), qPrintable(text));
    while (text != kAnimation.first()) {
        const QString next = step();
        QCOMPARE(next, following(text));
        text = next;
    }

    // A second run, driven by the timer, goes on from there.
    QTimer &animation = WindowInspector::getInfoTimer(*m_window);
    connect(&animation, &QTimer::timeout, &animation, &QTimer::stop);
    animation.start(300);
    QTRY_VERIFY_WITH_TIMEOUT(!animation.isActive(), kWaitMs);
    QCOMPARE(ui()->m_pGetInfo->text(), kAnimation.at(1));

    // And so does a run in another window.
    m_window.reset(new MainWindow);
    QCOMPARE(step(), kAnimation.at(2));
    QCOMPARE(step(), kAnimation.at(0));
}

QTEST_MAIN(TestDevicePanel)
#include "tst_devicepanel.moc"
