// Reading the device end to end, as the user does it with one button: the esptool stand-in
// finds the simulated device's port, the worker thread opens it, asks, closes it again, and the
// panel shows the answer. Then an upgrade through the same pieces and a second reading.

#include "boxcatcher.h"
#include "logcapture.h"
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

private:
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
    if (scenario == QLatin1String("dead-port-first"))
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
    const QString firmware = m_dir.filePath(QStringLiteral("fw_V22_e2e.bin"));
    QFile file(firmware);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(QByteArray(48 * 1024, '\x5a')) > 0);
    file.close();
    firmware::setFileDialog([firmware](QWidget *, const QString &, const QString &, const QString &,
                                       QFileDialog::Options) { return firmware; });

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
    QTRY_COMPARE_WITH_TIMEOUT(bench.ends->count(), 2, kWaitMs);
    QCOMPARE(bench.boxes.lastTitle(), QStringLiteral("提示"));
    QCOMPARE(bench.boxes.lastText(), QStringLiteral("升级成功"));
    QCOMPARE(ui->progressBar->value(), 100);
    QCOMPARE(device.state().value(QStringLiteral("version")), QStringLiteral("22"));

    ui->m_pGetInfo->click();
    QTRY_COMPARE_WITH_TIMEOUT(ui->lineEdit_Vesion->text(), QStringLiteral("22"), kWaitMs);
    QCOMPARE(WindowInspector::deviceVersion(*bench.w), 22);
    QTRY_COMPARE_WITH_TIMEOUT(bench.states.events,
                              (QStringList{"1,true", "0,true", "1,true", "0,true"}), kWaitMs);
    QCOMPARE(device.receivedFrames().size(), 2);

    bench.boxes.clear();
    ui->pushButton_Burn->click();
    QTRY_COMPARE_WITH_TIMEOUT(bench.boxes.count(), 1, kWaitMs);
    QCOMPARE(bench.boxes.lastTitle(), QStringLiteral("警告"));
    QCOMPARE(bench.boxes.lastText(), QStringLiteral("相同版本不可升级！"));
    QCOMPARE(bench.process->state(), QProcess::NotRunning);
    QCOMPARE(bench.ends->count(), 3);
}

QTEST_MAIN(TestGetInfo)
#include "tst_getinfo.moc"
