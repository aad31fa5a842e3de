// The burn button's version gate in the upgrade tool: when it refuses, when it lets a run start,
// how the button looks on each path, and one whole upgrade through the esptool stand-in.

#include "boxcatcher.h"
#include "firmwaretest.h"
#include "logcapture.h"
#ifdef QUORBEL_HAVE_SIMDEVICE
#include "simdevice.h"
#endif
#include "widgetlook.h"
#include "windowinspector.h"

#include "messages.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace
{

// The test's windows start the stand-in through PATH; its behaviour comes from the environment.
void setScenario(const char *scenario)
{
    qputenv("ESPTOOL_STANDIN_SCENARIO", scenario);
}

QStringList argumentLines(const LogCapture &log)
{
    return log.linesStartingWith("args[");
}

} // namespace

class TestGate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void refusals_data();
    void refusals();
    void passes_data();
    void passes();
    void declines_data();
    void declines();
    void wholeUpgrade();

private:
    // Chooses a file of that name in the test's folder "images" (no name: no choice).
    QString chooseFile(MainWindow &w, const QString &fileName);

    std::unique_ptr<WorkDir> m_work;
    std::unique_ptr<DialogScript> m_dialog;
};

void TestGate::initTestCase()
{
    qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");
    // No simulated device unless a test makes one; the stand-in then invents a port.
    qunsetenv("SIMDEVICE_STATE");
    qputenv("ESPTOOL_STANDIN_PAUSE_MS", "1");
}

void TestGate::init()
{
    m_work.reset(new WorkDir);
    QVERIFY(m_work->isValid());
    m_dialog.reset(new DialogScript);
    // A run that must not start would otherwise end before anyone looks: this one stays.
    setScenario("hang");
}

void TestGate::cleanup()
{
    QCoreApplication::sendPostedEvents();
    m_dialog.reset();
    m_work.reset();
    qunsetenv("ESPTOOL_STANDIN_SCENARIO");
    qunsetenv("SIMDEVICE_STATE");
}

QString TestGate::chooseFile(MainWindow &w, const QString &fileName)
{
    if (fileName.isEmpty())
        return QString();
    const QString path = m_work->path("images/" + fileName);
    if (!makeFile(path, 40 * 1024))
        return QString();
    m_dialog->answer(path);
    WindowInspector::ui(w)->pushButton->click();
    return path;
}

void TestGate::refusals_data()
{
    QTest::addColumn<int>("deviceVersion");
    QTest::addColumn<QString>("fileName"); // empty: no file chosen
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("icon");

    const QString info = "提示", unknown = "请先获取版本";
    const QString warning = "警告", same = "相同版本不可升级！";
    const int i = QMessageBox::Information, w = QMessageBox::Warning;

    QTest::newRow("device unknown, no file") << -1 << "" << info << unknown << i;
    QTest::newRow("device unknown, versioned file")
        << -1 << "fw_V12_release.bin" << info << unknown << i;
    QTest::newRow("device unknown, file without version")
        << -1 << "plain.bin" << info << unknown << i;
    QTest::newRow("same version") << 12 << "fw_V12_release.bin" << warning << same << w;
    QTest::newRow("same version, leading zeros") << 12 << "fw_V0012_x.bin" << warning << same << w;
    QTest::newRow("overflowing file version on a device at 0")
        << 0 << "fw_V99999999999_x.bin" << warning << same << w;
}

void TestGate::refusals()
{
    QFETCH(int, deviceVersion);
    QFETCH(QString, fileName);
    QFETCH(QString, title);
    QFETCH(QString, text);
    QFETCH(int, icon);

    BoxCatcher boxes;
    MainWindow w;
    Ui_MainWindow *ui = WindowInspector::ui(w);
    chooseFile(w, fileName);
    // Everything a run needs is there, so a gate that let it through would show.
    WindowInspector::setPortName(w, "COM5");
    WindowInspector::setDeviceVersion(w, deviceVersion);

    LogCapture log;
    ui->pushButton_Burn->click();

    QCOMPARE(boxes.count(), 1);
    const BoxCatcher::Box box = boxes.boxes().first();
    QCOMPARE(box.title, title);
    QCOMPARE(box.text, text);
    QCOMPARE(int(box.icon), icon);
    QCOMPARE(box.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});

    QVERIFY(log.linesStartingWith("startTest").isEmpty());
    QCOMPARE(WindowInspector::process(w)->state(), QProcess::NotRunning);
    QCOMPARE(WindowInspector::processMode(w), 0);
    QVERIFY(ui->pushButton_Burn->isEnabled());
    QVERIFY(!ui->pushButton_Burn->property("state").isValid());
    QCOMPARE(ui->progressBar->property("state").toString(), QString(""));
}

void TestGate::passes_data()
{
    QTest::addColumn<int>("deviceVersion");
    QTest::addColumn<QString>("fileName");

    QTest::newRow("older file") << 12 << "fw_V11_release.bin";
    QTest::newRow("newer file") << 12 << "fw_V13_release.bin";
    QTest::newRow("file without version") << 12 << "plain.bin";
    QTest::newRow("device at 0, file at 1") << 0 << "fw_V1_x.bin";
}

void TestGate::passes()
{
    QFETCH(int, deviceVersion);
    QFETCH(QString, fileName);

    BoxCatcher boxes; // outlives the window, whose end kills the run
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    Ui_MainWindow *ui = WindowInspector::ui(w);
    const QString path = chooseFile(w, fileName);
    QVERIFY(!path.isEmpty());
    // What the user types into the path field is not what gets burned.
    ui->lineEdit->setText(m_work->path("images/typed_V99_.bin"));
    WindowInspector::setPortName(w, "COM5");
    WindowInspector::setDeviceVersion(w, deviceVersion);

    LogCapture log;
    ui->pushButton_Burn->click();
    QProcess *process = WindowInspector::burnProcess(w);
    QSignalSpy started(process, &QProcess::started);

    QCOMPARE(ui->pushButton_Burn->property("state").toString(), QString("burning"));
    QVERIFY(!ui->pushButton_Burn->isEnabled());
    QVERIFY(near(pixel(ui->pushButton_Burn, 0.03, 0.5), QColor("#d6d6d6")));
    QCOMPARE(ui->progressBar->value(), 0);
    QCOMPARE(ui->progressBar->property("state").toString(), QString("burning"));
    QCOMPARE(WindowInspector::processMode(w), 1);
    QCOMPARE(log.linesStartingWith("startTest").size(), 1);

    // The tool starts once the image has been hashed for the upgrade record.
    QVERIFY(started.wait());
    QCOMPARE(argumentLines(log).size(), 1);
    QCOMPARE(process->state(), QProcess::Running);
    QCOMPARE(process->program(), QString("esptool"));
    QVERIFY(process->arguments().contains("write-flash"));
    QCOMPARE(process->arguments().last(), path);
    QCOMPARE(boxes.count(), 0);
}

void TestGate::declines_data()
{
    QTest::addColumn<QString>("fileName"); // empty: no file chosen
    QTest::addColumn<QString>("portName");
    QTest::addColumn<bool>("probeRunning");
    QTest::addColumn<int>("startTestLines"); // a busy tool refuses before the log line

    QTest::newRow("no file chosen yet") << ""
                                        << "COM5" << false << 1;
    QTest::newRow("no port known") << "fw_V13_x.bin"
                                   << "" << false << 1;
    QTest::newRow("tool busy with a probe") << "fw_V13_x.bin"
                                            << "COM5" << true << 0;
}

void TestGate::declines()
{
    QFETCH(QString, fileName);
    QFETCH(QString, portName);
    QFETCH(bool, probeRunning);
    QFETCH(int, startTestLines);

    BoxCatcher boxes; // outlives the window, whose end kills a probe
    MainWindow w;
    Ui_MainWindow *ui = WindowInspector::ui(w);
    QProcess *process = WindowInspector::process(w);
    chooseFile(w, fileName);
    WindowInspector::setPortName(w, portName);
    WindowInspector::setDeviceVersion(w, 12);
    if (probeRunning) {
        QSignalSpy started(process, &QProcess::started);
        ui->m_pGetInfo->click();
        // Windows reports the start before start() returns, POSIX systems only later.
        QTRY_COMPARE(started.count(), 1);
    }

    LogCapture log;
    ui->pushButton_Burn->click();

    // The gate passed, the run did not start, and the button is usable again.
    QCOMPARE(log.linesStartingWith("startTest").size(), startTestLines);
    QVERIFY(argumentLines(log).isEmpty());
    QCOMPARE(boxes.count(), 0);
    QVERIFY(ui->pushButton_Burn->isEnabled());
    QCOMPARE(ui->pushButton_Burn->property("state").toString(), QString(""));
    QCOMPARE(ui->progressBar->property("state").toString(), QString(""));
    QCOMPARE(WindowInspector::processMode(w), 0);
    if (probeRunning) {
        QCOMPARE(process->state(), QProcess::Running);
        QCOMPARE(process->arguments(), QStringList{"chip-id"});
    } else {
        QCOMPARE(process->state(), QProcess::NotRunning);
    }
}

void TestGate::wholeUpgrade()
{
#ifndef QUORBEL_HAVE_SIMDEVICE
    QSKIP("the read-back needs the simulated device, POSIX only; under Wine no answer arrives");
#else
    setScenario("ok");
    SimDevice device({"--version", "11"});
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    qputenv("SIMDEVICE_STATE", QFile::encodeName(device.stateFile()));

    BoxCatcher boxes;
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    Ui_MainWindow *ui = WindowInspector::ui(w);
    const QString path = chooseFile(w, "fw_V12_release.bin");
    QVERIFY(!path.isEmpty());
    // As the device panel and the detection would leave them.
    WindowInspector::setDeviceVersion(w, 11);
    WindowInspector::setPortName(w, device.portPath());

    ui->pushButton_Burn->click();
    QVERIFY(!ui->pushButton_Burn->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(boxes.count(), 1, 30000);

    QCOMPARE(boxes.lastTitle(), QString("提示"));
    QCOMPARE(boxes.lastText(), QString("升级成功"));
    QCOMPARE(boxes.boxes().first().icon, QMessageBox::Information);
    QCOMPARE(ui->progressBar->value(), 100);
    QCOMPARE(ui->progressBar->format(), QString("升级完成...%p%"));
    QVERIFY(ui->progressBar->isTextVisible());
    QCOMPARE(ui->pushButton_Burn->property("state").toString(), QString(""));
    QVERIFY(ui->pushButton_Burn->isEnabled());
    const QColor burn = pixel(ui->pushButton_Burn, 0.03, 0.5);
    QVERIFY2(near(burn, QColor("#6DB33F")), qPrintable(burn.name()));
    QCOMPARE(WindowInspector::process(w)->state(), QProcess::NotRunning);
    QCOMPARE(device.state().value("version"), QString("12"));
#endif
}

QTEST_MAIN(TestGate)
#include "tst_gate.moc"
