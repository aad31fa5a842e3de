// Reading the device end to end, as the user does it with one button: the esptool stand-in
// finds the simulated device's port, the worker thread opens it, asks, closes it again, and the
// panel shows the answer. Then an upgrade through the same pieces and a second reading.

#include "boxcatcher.h"
#include "logcapture.h"
#include "serialinspector.h"
#include "simdevice.h"
#include "windowinspector.h"

#include "firmwarechoice.h"
#include "messages.h"
#include "serialinstance.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

// Generous: the suite also runs under AddressSanitizer on a loaded two-core machine.
const int kWaitMs = 60000;

const QString kStandIn = QStringLiteral(QUORBEL_STANDIN_DIR "/esptool");

// The worker's open/close reports, gathered in the GUI thread in the order they arrive.
class ConnectStates : public QObject
{
public:
    ConnectStates()
    {
        connect(
            SerialInstance::GetInstance(), &SerialInstance::SigConnectState, this,
            [this](int mode, bool state) {
                events << QStringLiteral("%1,%2").arg(mode).arg(state ? "true" : "false");
            },
            Qt::QueuedConnection);
    }
    QStringList events;
};

// One window on the running worker, with the simulated device among the system's ports.
class Bench
{
public:
    explicit Bench(const SimDevice &device)
    {
        qputenv("SIMDEVICE_STATE", device.stateFile().toLocal8Bit());
        qputenv("QUORBEL_SIMULATED_PORT", device.portPath().toLocal8Bit());
        w.reset(new MainWindow);
        ui = WindowInspector::ui(*w);
        process = WindowInspector::process(*w);
        ends.reset(
            new QSignalSpy(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished)));
    }
    ~Bench()
    {
        ends.reset();
        w.reset();
        qunsetenv("QUORBEL_SIMULATED_PORT");
        qunsetenv("SIMDEVICE_STATE");
    }
    Bench(const Bench &) = delete;
    Bench &operator=(const Bench &) = delete;

    QTimer &timer() const { return WindowInspector::getInfoTimer(*w); }

    LogCapture log;
    BoxCatcher boxes;
    ConnectStates states;
    std::unique_ptr<MainWindow> w;
    Ui_MainWindow *ui = nullptr;
    QProcess *process = nullptr;
    std::unique_ptr<QSignalSpy> ends;
};

} // namespace

class TestGetInfo : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void getInfo_data();
    void getInfo();
    void upgradeThenReadAgain();
    void readingHoldsThePort_data();
    void readingHoldsThePort();
    void versionForgotten_data();
    void versionForgotten();
    void readingAfterFailedReading();

private:
    // Writes a firmware image of that name and makes it the file dialog's answer.
    void offerFirmware(const QString &name);

    QTemporaryDir m_dir;
};

void TestGetInfo::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");

    // Run by hand, the stand-in is not on PATH yet; a real tool must never be reached.
    if (QStandardPaths::findExecutable(QStringLiteral("esptool")) != kStandIn)
        qputenv("PATH", QByteArray(QUORBEL_STANDIN_DIR) + ':' + qgetenv("PATH"));
    QCOMPARE(QStandardPaths::findExecutable(QStringLiteral("esptool")), kStandIn);
    for (const char *name : {"ESPTOOL_STANDIN_CONTROL", "ESPTOOL_STANDIN_SCENARIO",
                             "ESPTOOL_STANDIN_DEAD_PORTS", "ESPTOOL_STANDIN_PORT", "TERM"})
        qunsetenv(name);
    qputenv("ESPTOOL_STANDIN_PAUSE_MS", "1");
    QVERIFY(m_dir.isValid());

    // As main does it: the worker runs in its own thread before any window exists.
    SerialInstance::GetInstance()->Init();
}

void TestGetInfo::cleanupTestCase()
{
    firmware::setFileDialog(nullptr);
    SerialInstance::ShutdownInstance();
}

void TestGetInfo::getInfo_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("sn");
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("soc");

    QTest::newRow("device on the only port") << "ok"
                                             << "QB-E2E-0000042" << 21 << 64;
    // A port that never answers is tried before the device's pseudo-terminal.
    QTest::newRow("dead port tried first") << "dead-port-first"
                                           << "QB-E2E-0000043" << 7 << 100;
    // A port that cannot even be opened reports an I/O "error" before the device is found.
    QTest::newRow("port failing with an I/O error tried first") << "busy-port-first"
                                                                << "QB-E2E-0000044" << 8 << 90;
}

void TestGetInfo::getInfo()
{
    QFETCH(QString, scenario);
    QFETCH(QString, sn);
    QFETCH(int, version);
    QFETCH(int, soc);
    qputenv("ESPTOOL_STANDIN_SCENARIO", scenario.toUtf8());

    SimDevice device(
        {"--sn", sn, "--version", QString::number(version), "--soc", QString::number(soc)});
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    Bench bench(device);
    Ui_MainWindow *ui = bench.ui;
    // The first port list, asked for by the constructor, names the device.
    QTRY_VERIFY_WITH_TIMEOUT(ui->m_pcomboBoxPortName->findText(device.portPath()) > 0, kWaitMs);

    ui->m_pGetInfo->click();
    QVERIFY(bench.timer().isActive());
    QTRY_COMPARE_WITH_TIMEOUT(ui->lineEdit_Sn->text(), sn, kWaitMs);

    QCOMPARE(ui->lineEdit_Vesion->text(), QString::number(version));
    QCOMPARE(ui->progressBar_BatteryInfo->value(), soc);
    QCOMPARE(WindowInspector::deviceVersion(*bench.w), version);
    QVERIFY(!bench.timer().isActive());
    QCOMPARE(ui->m_pGetInfo->text(), QStringLiteral("获取信息"));
    QCOMPARE(WindowInspector::portName(*bench.w), device.portPath());
    QCOMPARE(bench.log.linesStartingWith(QStringLiteral("COM:")),
             QStringList{QStringLiteral("COM: \"%1\"").arg(device.portPath())});
    if (scenario != QLatin1String("ok"))
        QVERIFY(WindowInspector::runText(*bench.w).contains(QLatin1String("failed to connect")));

    // The port is closed again, after exactly one request: request 9 with its zero byte.
    QTRY_COMPARE_WITH_TIMEOUT(bench.states.events, (QStringList{"1,true", "0,true"}), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(ui->m_pbtnConnect->text(), QStringLiteral("连接"), kWaitMs);
    QVERIFY(ui->m_pcomboBoxPortName->isEnabled());
    const QList<SimDevice::Frame> frames = device.receivedFrames();
    QCOMPARE(frames.size(), 1);
    QCOMPARE(frames.first().bytes.toHex().toUpper(), QByteArray("A8E238200109A500AF"));
    QCOMPARE(bench.boxes.count(), 0);
}

// The user's whole errand: read the device, choose a newer file, upgrade, read again; the
// same file is then refused, since the device now runs it.
void TestGetInfo::upgradeThenReadAgain()
{
    qputenv("ESPTOOL_STANDIN_SCENARIO", "ok");
    offerFirmware(QStringLiteral("fw_V22_e2e.bin"));

    SimDevice device({"--version", "21"});
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    Bench bench(device);
    Ui_MainWindow *ui = bench.ui;
    QTRY_VERIFY_WITH_TIMEOUT(ui->m_pcomboBoxPortName->findText(device.portPath()) > 0, kWaitMs);

    ui->m_pGetInfo->click();
    QTRY_COMPARE_WITH_TIMEOUT(WindowInspector::deviceVersion(*bench.w), 21, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(bench.states.events.size(), 2, kWaitMs);

    ui->pushButton->click();
    QCOMPARE(WindowInspector::firmwareVersion(*bench.w), 22);
    ui->pushButton_Burn->click();
    QTRY_COMPARE_WITH_TIMEOUT(bench.boxes.count(), 1, kWaitMs);
    QCOMPARE(bench.boxes.lastTitle(), QStringLiteral("提示"));
    QCOMPARE(bench.boxes.lastText(), QStringLiteral("升级成功"));
    QCOMPARE(ui->progressBar->value(), 100);
    QCOMPARE(device.state().value(QStringLiteral("version")), QStringLiteral("22"));
    // The device has just confirmed it runs 22: the gate goes by that until a reading.
    QCOMPARE(WindowInspector::deviceVersion(*bench.w), 22);

    ui->m_pGetInfo->click();
    QTRY_COMPARE_WITH_TIMEOUT(ui->lineEdit_Vesion->text(), QStringLiteral("22"), kWaitMs);
    QCOMPARE(WindowInspector::deviceVersion(*bench.w), 22);
    QTRY_COMPARE_WITH_TIMEOUT(bench.states.events,
                              (QStringList{"1,true", "0,true", "1,true", "0,true"}), kWaitMs);
    QCOMPARE(device.receivedFrames().size(), 3); // the read-back's request among them

    bench.boxes.clear();
    ui->pushButton_Burn->click();
    QTRY_COMPARE_WITH_TIMEOUT(bench.boxes.count(), 1, kWaitMs);
    QCOMPARE(bench.boxes.lastTitle(), QStringLiteral("警告"));
    QCOMPARE(bench.boxes.lastText(), QStringLiteral("相同版本不可升级！"));
    QCOMPARE(bench.process->state(), QProcess::NotRunning);
    QCOMPARE(bench.ends->count(), 2); // the two probes; the burn's tool is its run's own
}

void TestGetInfo::offerFirmware(const QString &name)
{
    const QString firmware = m_dir.filePath(name);
    QFile file(firmware);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(QByteArray(48 * 1024, '\x5a')) > 0);
    file.close();
    firmware::setFileDialog([firmware](QWidget *, const QString &, const QString &, const QString &,
                                       QFileDialog::Options) { return firmware; });
}

void TestGetInfo::readingHoldsThePort_data()
{
    QTest::addColumn<bool>("burn"); // what is clicked while the port is held: 升级 or 获取信息
    QTest::newRow("second get-info click is refused") << false;
    QTest::newRow("burn click is refused") << true;
}

// After the probe, the reading holds the port until the device answers: another reading or a
// burn then would find it taken. Both are refused, and nothing is left stuck.
void TestGetInfo::readingHoldsThePort()
{
    QFETCH(bool, burn);
    qputenv("ESPTOOL_STANDIN_SCENARIO", "ok");
    offerFirmware(QStringLiteral("fw_V12_hold.bin"));
    // Answers the second transmission only: the port stays held for about a second.
    SimDevice device({"--version", "11", "--after", "2"});
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    Bench bench(device);
    Ui_MainWindow *ui = bench.ui;
    QTRY_VERIFY_WITH_TIMEOUT(ui->m_pcomboBoxPortName->findText(device.portPath()) > 0, kWaitMs);
    ui->pushButton->click();
    WindowInspector::setDeviceVersion(*bench.w, 10); // as an earlier reading left it

    ui->m_pGetInfo->click();
    QTRY_VERIFY_WITH_TIMEOUT(bench.states.events.contains(QStringLiteral("1,true")), kWaitMs);
    (burn ? ui->pushButton_Burn : ui->m_pGetInfo)->click();
    QCOMPARE(bench.process->state(), QProcess::NotRunning);
    QCOMPARE(bench.log.linesStartingWith(QStringLiteral("Process is Running")).size(),
             burn ? 0 : 1);
    QVERIFY(ui->pushButton_Burn->isEnabled());
    QCOMPARE(ui->pushButton_Burn->property("state").toString(), QString());

    // The reading ends as if nothing had happened, and the next one works too.
    QTRY_COMPARE_WITH_TIMEOUT(bench.states.events, (QStringList{"1,true", "0,true"}), kWaitMs);
    QCOMPARE(ui->lineEdit_Vesion->text(), QStringLiteral("11"));
    ui->m_pGetInfo->click();
    QTRY_COMPARE_WITH_TIMEOUT(bench.states.events.size(), 4, kWaitMs);
    QCOMPARE(bench.states.events, (QStringList{"1,true", "0,true", "1,true", "0,true"}));
    QCOMPARE(bench.boxes.count(), 0);
    QCOMPARE(bench.ends->count(), 2); // the two probes, no burn
}

void TestGetInfo::versionForgotten_data()
{
    QTest::addColumn<QString>("end"); // a burn scenario, "silent" or "removed"
    QTest::newRow("burn written, the device still reports its old version") << "ok";
    QTest::newRow("burn failed") << "burn-fail";
    QTest::newRow("reading failed") << "silent";
    QTest::newRow("port removed") << "removed";
}

// A version read before a burn, a failed reading or a removal no longer describes the device:
// the gate asks for a new reading instead of burning the same image again.
void TestGetInfo::versionForgotten()
{
    QFETCH(QString, end);
    qputenv("ESPTOOL_STANDIN_SCENARIO", "ok");
    offerFirmware(QStringLiteral("fw_V12_again.bin"));
    SimDevice device({"--version", "11", "--boot", "rollback"});
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    Bench bench(device);
    Ui_MainWindow *ui = bench.ui;
    QTRY_VERIFY_WITH_TIMEOUT(ui->m_pcomboBoxPortName->findText(device.portPath()) > 0, kWaitMs);
    ui->pushButton->click();
    ui->m_pGetInfo->click();
    QTRY_COMPARE_WITH_TIMEOUT(bench.states.events.size(), 2, kWaitMs);
    QCOMPARE(WindowInspector::deviceVersion(*bench.w), 11);

    if (end == QLatin1String("removed")) {
        WindowInspector::portRemoved(*bench.w, device.portPath());
    } else if (end == QLatin1String("silent")) {
        QVERIFY(device.setState(QStringLiteral("fault"), end));
        ui->m_pGetInfo->click();
        QTRY_COMPARE_WITH_TIMEOUT(bench.boxes.count(), 1, kWaitMs);
    } else {
        qputenv("ESPTOOL_STANDIN_SCENARIO", end.toUtf8());
        ui->pushButton_Burn->click();
        QTRY_COMPARE_WITH_TIMEOUT(bench.boxes.count(), 1, kWaitMs);
        QVERIFY(end != "ok" ||
                (bench.boxes.lastText() == "升级失败：设备重启后报告版本 11，应为 12" &&
                 ui->progressBar->text() == "升级中... 100%"));
    }
    QCOMPARE(WindowInspector::deviceVersion(*bench.w), -1);
    QCOMPARE(ui->lineEdit_Vesion->text(), QStringLiteral("11"));

    bench.boxes.clear();
    ui->pushButton_Burn->click();
    QTRY_COMPARE_WITH_TIMEOUT(bench.boxes.count(), 1, kWaitMs);
    QCOMPARE(bench.boxes.lastText(), QStringLiteral("请先获取版本"));
    QCOMPARE(bench.process->state(), QProcess::NotRunning);
}

// The device's first answer comes half at once and half 3.6 s later, when the reading has
// already failed; it answers the retransmissions after that. The next reading shows what the
// device reports by then, and no failure follows it.
void TestGetInfo::readingAfterFailedReading()
{
    qputenv("ESPTOOL_STANDIN_SCENARIO", "ok");
    SimDevice device({"--version", "11", "--fault", "split", "--pause", "3600", "--count", "1"});
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    Bench bench(device);
    Ui_MainWindow *ui = bench.ui;
    QTRY_VERIFY_WITH_TIMEOUT(ui->m_pcomboBoxPortName->findText(device.portPath()) > 0, kWaitMs);

    ui->m_pGetInfo->click();
    QTRY_COMPARE_WITH_TIMEOUT(bench.boxes.count(), 1, kWaitMs);
    QCOMPARE(bench.boxes.lastText(), QStringLiteral("通信失败"));
    // The device has read all three transmissions once its pause is over.
    QTRY_COMPARE_WITH_TIMEOUT(device.receivedFrames().size(), 3, kWaitMs);
    QVERIFY(device.setState(QStringLiteral("version"), QStringLiteral("12")));

    ui->m_pGetInfo->click();
    QTRY_COMPARE_WITH_TIMEOUT(bench.states.events.size(), 4, kWaitMs);
    QCOMPARE(ui->lineEdit_Vesion->text(), QStringLiteral("12"));
    QCOMPARE(WindowInspector::deviceVersion(*bench.w), 12);
    QCOMPARE(device.receivedFrames().size(), 4);
    QVERIFY(!SerialInstanceInspector::retrying(SerialInstance::GetInstance()));
    QCOMPARE(bench.boxes.count(), 1);
}

QTEST_MAIN(TestGetInfo)
#include "tst_getinfo.moc"
