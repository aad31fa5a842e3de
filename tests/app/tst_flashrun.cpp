// The upgrade tool's flash run and device detection, each through a real QProcess that starts
// the esptool stand-in found on PATH: the bar while the tool prints, the verdicts, the refusals,
// a tool that is missing or is killed, and what reaches the tool's environment.

#include "boxcatcher.h"
#include "historyfile.h"
#include "logcapture.h"
#include "processcheck.h"
#include "simdevice.h"
#include "windowinspector.h"

#include "serialinstance.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace
{

// One whole run of the tool, generous: the suite also runs under AddressSanitizer on a loaded
// two-core machine.
const int kRunMs = 60000;

const QString kStandIn = QStringLiteral(QUORBEL_STANDIN_DIR "/esptool");
QString kPort; // the simulated device's, which confirms every burn of the suite's image

const QString kSearching = QStringLiteral("检测中...");
const QString kProgress = QStringLiteral("升级中... %p%");
const QString kDone = QStringLiteral("升级完成...%p%");

// The stand-in's progress line: "Writing at 0x... [bar]  NN.N% n/m bytes...". Tied to the
// tool's own layout rather than to the window's rule, so that it can tell the two apart.
const QRegularExpression kProgressLine(QStringLiteral("\\]\\s+(\\d+\\.\\d)% "));

enum Outcome { Succeeded, Failed, Silent };

QString stateOf(const QWidget *widget)
{
    return widget->property("state").toString();
}

// What the window showed right after it had handled one chunk.
struct ChunkSeen {
    QString text;
    int value = 0;
    QString format;
    QString barState;
    bool buttonEnabled = false;
    QString buttonState;
    bool chooseEnabled = false;
};

// One window, its process, its message boxes and its log, watched from outside.
class Bench
{
public:
    Bench()
    {
        w = new MainWindow;
        ui = WindowInspector::ui(*w);
        process = WindowInspector::process(*w);
        // The worker does not run in these tests: it would refuse every open request and end
        // the waiting animation behind the test's back. The request itself is watched here.
        QObject::disconnect(w, &MainWindow::SigOpenSerial, SerialInstance::GetInstance(), nullptr);
        ends.reset(new Ends);
        watch(process);
        opens.reset(new QSignalSpy(w, &MainWindow::SigOpenSerial));
    }
    ~Bench() { destroyWindow(); }
    Bench(const Bench &) = delete;
    Bench &operator=(const Bench &) = delete;

    void destroyWindow()
    {
        ends.reset();
        opens.reset();
        delete w;
        w = nullptr;
    }

    // Through the version gate (device 10, file 13) to the flash run.
    void pressBurn(const QString &file, const QString &port = kPort)
    {
        WindowInspector::setDeviceVersion(*w, 10);
        WindowInspector::setFirmwareVersion(*w, 13);
        WindowInspector::setPortName(*w, port);
        WindowInspector::setFilePath(*w, file);
        forgetChunks();
        ui->pushButton_Burn->click();
        // A burn that starts has a process of its own.
        if (WindowInspector::burnProcess(*w) && WindowInspector::burnProcess(*w) != process)
            watch(WindowInspector::burnProcess(*w));
    }

    void pressGetInfo()
    {
        forgetChunks();
        ui->m_pGetInfo->click();
        process = WindowInspector::process(*w);
    }

    QString runText() const { return WindowInspector::runText(*w); }
    int mode() const { return WindowInspector::processMode(*w); }
    QTimer &timer() const { return WindowInspector::getInfoTimer(*w); }

    LogCapture log;
    BoxCatcher boxes;
    MainWindow *w = nullptr;
    Ui_MainWindow *ui = nullptr;
    QProcess *process = nullptr; // of the last run
    // The ends of every run, probes and burns.
    struct Ends {
        int ended = 0;
        int count() const { return ended; }
    };
    std::unique_ptr<Ends> ends;
    std::unique_ptr<QSignalSpy> opens;
    QList<ChunkSeen> chunks;

private:
    // Connected after the run's own handlers, so it sees what they did.
    void watch(QProcess *run)
    {
        process = run;
        QObject::connect(run, &QProcess::readyReadStandardOutput, run, [this] { record(); });
        QObject::connect(run, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), run,
                         [this] {
                             if (ends)
                                 ++ends->ended;
                         });
    }

    // Before a press, not at the process's start: a quick tool's first output can be read
    // before the start is reported.
    void forgetChunks()
    {
        m_seen = 0;
        chunks.clear();
    }

    void record()
    {
        const QString text = WindowInspector::runText(*w);
        ChunkSeen seen;
        seen.text = text.mid(m_seen);
        m_seen = text.size();
        seen.value = ui->progressBar->value();
        seen.format = ui->progressBar->format();
        seen.barState = stateOf(ui->progressBar);
        seen.buttonEnabled = ui->pushButton_Burn->isEnabled();
        seen.buttonState = stateOf(ui->pushButton_Burn);
        seen.chooseEnabled = ui->pushButton->isEnabled();
        chunks << seen;
    }

    int m_seen = 0;
};

// The bar after every chunk, as "value|format|bar state|button|file choice" lines: what the
// window showed, and what the chunks' own texts call for during a burn that started from
// startValue and startFormat. No other file may be chosen while the burn runs.
void describeBurnChunks(const QList<ChunkSeen> &chunks, int startValue, const QString &startFormat,
                        QStringList *shown, QStringList *wanted)
{
    int value = startValue;
    QString format = startFormat;
    for (const ChunkSeen &chunk : chunks) {
        if (chunk.text.contains(QLatin1String("Found")))
            format = kSearching;
        const QRegularExpressionMatch progress = kProgressLine.match(chunk.text);
        if (progress.hasMatch()) {
            // Toward zero: 10.7 shows 10.
            value = int(progress.captured(1).toDouble());
            format = kProgress;
        }
        *wanted
            << QStringLiteral("%1|%2|burning|disabled,burning|choice off").arg(value).arg(format);
        *shown << QStringLiteral("%1|%2|%3|%4,%5|%6")
                      .arg(chunk.value)
                      .arg(chunk.format, chunk.barState,
                           chunk.buttonEnabled ? QStringLiteral("enabled")
                                               : QStringLiteral("disabled"),
                           chunk.buttonState,
                           chunk.chooseEnabled ? QStringLiteral("choice on")
                                               : QStringLiteral("choice off"));
    }
}

QString warningBox(const QString &text)
{
    return QStringLiteral("警告|%1|%2|OK").arg(text).arg(int(QMessageBox::Warning));
}

} // namespace

class TestFlashRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void burnRun_data();
    void burnRun();
    void chunkRules_data();
    void chunkRules();
    void nextBurn_data();
    void nextBurn();
    void refusedStart_data();
    void refusedStart();
    void toolMissing_data();
    void toolMissing();
    void closedDuringRun_data();
    void closedDuringRun();

    void probe_data();
    void probe();
    void pressedDuringRun_data();
    void pressedDuringRun();

    void plainOutput_data();
    void plainOutput();

    void upgradeRecord_data();
    void upgradeRecord();

private:
    QTemporaryDir m_dir;
    QString m_firmware;
    QByteArray m_path;
    QTemporaryDir m_echoToolDir;
    std::unique_ptr<SimDevice> m_device;
};

void TestFlashRun::initTestCase()
{
    qRegisterMetaType<QSerialPort::BaudRate>("QSerialPort::BaudRate");
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");

    // Run by hand, the stand-in is not on PATH yet; a real tool must never be reached.
    m_path = qgetenv("PATH");
    if (QStandardPaths::findExecutable(QStringLiteral("esptool")) != kStandIn) {
        m_path = QByteArray(QUORBEL_STANDIN_DIR) + ':' + m_path;
        qputenv("PATH", m_path);
    }
    QCOMPARE(QStandardPaths::findExecutable(QStringLiteral("esptool")), kStandIn);
    m_device.reset(
        new SimDevice({"--sn", "QB-REC-0000007", "--version", "13", "--mac", "24:58:7c:d1:0a:3e"}));
    QVERIFY2(m_device->start(), qPrintable(m_device->errorString()));
    kPort = m_device->portPath();

    // Incompressible, so the stand-in prints a progress line per 16 KiB: about twenty of them,
    // with fractions such as 10.7 among the percentages.
    QVERIFY(m_dir.isValid());
    m_firmware = m_dir.filePath(QStringLiteral("fw_V13_release.bin"));
    QFile file(m_firmware);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QRandomGenerator random(13);
    QByteArray image(300 * 1024, '\0');
    for (char &byte : image)
        byte = char(random.bounded(256));
    QCOMPARE(file.write(image), qint64(image.size()));

    // A tool that prints exactly the pieces the test writes to its standard input, one line
    // each, escapes such as \n interpreted: the chunks the window reads are then the test's.
    QVERIFY(m_echoToolDir.isValid());
    QFile echo(m_echoToolDir.filePath(QStringLiteral("esptool")));
    QVERIFY(echo.open(QIODevice::WriteOnly));
    echo.write("#!/bin/sh\nwhile IFS= read -r piece; do printf '%b' \"$piece\"; done\n");
    echo.close();
    QVERIFY(echo.setPermissions(echo.permissions() | QFileDevice::ExeOwner));
}

void TestFlashRun::init()
{
    qputenv("PATH", m_path);
    for (const char *name : {"ESPTOOL_STANDIN_CONTROL", "ESPTOOL_STANDIN_SCENARIO",
                             "ESPTOOL_STANDIN_DEAD_PORTS", "TERM", "NO_COLOR"})
        qunsetenv(name);
    qputenv("SIMDEVICE_STATE", QFile::encodeName(m_device->stateFile()));
    QVERIFY(m_device->setState("fault", "none"));
    qputenv("ESPTOOL_STANDIN_PAUSE_MS", "1");
    qputenv("ESPTOOL_STANDIN_PORT", kPort.toUtf8());
    // A hanging stand-in left behind by a failed test goes away by itself.
    qputenv("ESPTOOL_STANDIN_HANG_MS", "120000");
}

void TestFlashRun::burnRun_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("readMac"); // of the chip the probe found; empty: none known
    QTest::addColumn<int>("outcome");

    // clang-format off
    QTest::newRow("success") << "ok" << "" << int(Succeeded);
    QTest::newRow("write stopped midway") << "burn-fail" << "" << int(Failed);
    // Nothing confirmed the write: the user must burn again.
    QTest::newRow("written, but no reset: no verdict") << "no-reset" << "" << int(Failed);
    QTest::newRow("another chip on the port than the one read") << "ok" << "aa:bb:cc:dd:ee:ff" << int(Failed);
    // clang-format on
}

void TestFlashRun::burnRun()
{
    QFETCH(QString, scenario);
    QFETCH(QString, readMac);
    QFETCH(int, outcome);
    qputenv("ESPTOOL_STANDIN_SCENARIO", scenario.toUtf8());

    Bench bench;
    Ui_MainWindow *ui = bench.ui;
    const QString startFormat = ui->progressBar->format();
    QSignalSpy values(ui->progressBar, &QProgressBar::valueChanged);

    WindowInspector::setChipMac(*bench.w, readMac);
    bench.pressBurn(m_firmware);
    QCOMPARE(bench.mode(), 1);
    QCOMPARE(stateOf(ui->progressBar), QStringLiteral("burning"));
    QVERIFY(!ui->pushButton->isEnabled()); // from the press on, while the image is hashed
    // The tool starts once the image has been hashed for the upgrade record.
    QTRY_VERIFY_WITH_TIMEOUT(!bench.log.linesStartingWith(QStringLiteral("args[")).isEmpty(),
                             kRunMs);
    const QStringList args = bench.log.linesStartingWith(QStringLiteral("args["));
    QCOMPARE(args.size(), 1);
    QVERIFY2(args.first().startsWith(
                 QStringLiteral("args[ (\"--chip\", \"esp32s3\", \"--port\", \"%1\", \"-b\"")
                     .arg(kPort)) &&
                 args.first().endsWith(QStringLiteral("\"%1\") ]").arg(m_firmware)),
             qPrintable(args.first()));

    QTRY_COMPARE_WITH_TIMEOUT(bench.boxes.count(), 1, kRunMs);

    // While the tool printed: every chunk moved the bar exactly as its text asks, with the bar
    // and the button marked as burning.
    QVERIFY(!bench.chunks.isEmpty());
    QStringList shown, wanted;
    describeBurnChunks(bench.chunks, 0, startFormat, &shown, &wanted);
    QCOMPARE(shown, wanted);
    const int lastValue = bench.chunks.last().value;
    const QString lastFormat = bench.chunks.last().format;

    // Never backwards, never outside the bar's range.
    int previous = 0;
    for (const QList<QVariant> &changed : values) {
        const int value = changed.first().toInt();
        QVERIFY2(value >= previous && value <= 100,
                 qPrintable(QStringLiteral("%1 after %2").arg(value).arg(previous)));
        previous = value;
    }

    // The end: the buttons are usable again whatever the outcome.
    QCOMPARE(stateOf(ui->pushButton_Burn), QString());
    QVERIFY(ui->pushButton_Burn->isEnabled());
    QVERIFY(ui->pushButton->isEnabled());
    QCOMPARE(bench.log.linesStartingWith(QStringLiteral("left:")).size(), 1);
    const QStringList infoLines = bench.log.linesStartingWith(QStringLiteral("m_strInfo:"));
    QCOMPARE(infoLines.size(), 1);
    QVERIFY(bench.runText().contains(QLatin1String("Writing at")));

    switch (outcome) {
    case Succeeded:
        QVERIFY(bench.runText().contains(QLatin1String("Hard resetting")));
        QCOMPARE(
            describeBoxes(bench.boxes),
            QStringList{QStringLiteral("提示|升级成功|%1|OK").arg(int(QMessageBox::Information))});
        QCOMPARE(ui->progressBar->value(), 100);
        QCOMPARE(ui->progressBar->format(), kDone);
        QVERIFY(ui->progressBar->isTextVisible());
        QCOMPARE(stateOf(ui->progressBar), QStringLiteral("burning"));
        break;
    case Failed:
        QVERIFY(bench.runText().contains(QLatin1String("A fatal error occurred")) ||
                bench.process->exitStatus() == QProcess::CrashExit ||
                bench.runText().contains(QLatin1String("Staying in bootloader.")) ||
                !readMac.isEmpty());
        QCOMPARE(describeBoxes(bench.boxes),
                 QStringList{QStringLiteral("提示|升级失败|%1|OK").arg(int(QMessageBox::Warning))});
        QCOMPARE(ui->progressBar->value(), 100);
        QCOMPARE(ui->progressBar->format(), lastFormat);
        QCOMPARE(stateOf(ui->progressBar), QStringLiteral("error"));
        break;
    case Silent:
        QCOMPARE(bench.process->exitStatus(), QProcess::CrashExit);
        QCOMPARE(describeBoxes(bench.boxes), QStringList());
        QCOMPARE(ui->progressBar->value(), lastValue);
        QVERIFY(lastValue < 100);
        QCOMPARE(ui->progressBar->format(), lastFormat);
        QCOMPARE(stateOf(ui->progressBar), QStringLiteral("burning"));
        break;
    }
}

// The window's reading of single chunks, each handed over whole: which of them move the bar,
// and how the text of the whole run is judged at the end. A run whose text names no verdict is
// shown as failed.
void TestFlashRun::chunkRules_data()
{
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<int>("value");      // after the last chunk
    QTest::addColumn<QString>("format"); // after the last chunk
    QTest::addColumn<int>("outcome");

    const QString plain = QStringLiteral("%p%");
    // clang-format off
    QTest::newRow("fraction truncated") << QStringList{"Writing at 0x10000  45.9% 1/2\n"} << 45 << kProgress << int(Failed);
    QTest::newRow("just below a whole number") << QStringList{" 99.9%"} << 99 << kProgress << int(Failed);
    QTest::newRow("white space before the percent sign") << QStringList{"\t7 %"} << 7 << kProgress << int(Failed);
    QTest::newRow("number after a parenthesis ignored") << QStringList{"(45%)", "x(12 %)"} << 0 << plain << int(Failed);
    QTest::newRow("first of two percentages") << QStringList{" 10% then 20%"} << 10 << kProgress << int(Failed);
    QTest::newRow("above 100: format only") << QStringList{" 30%", " 150%"} << 30 << kProgress << int(Failed);
    QTest::newRow("percentage split across chunks") << QStringList{"at 4", "5%\n"} << 0 << plain << int(Failed);
    QTest::newRow("Found and a percentage in one chunk") << QStringList{"Found 1 serial ports\r 3%"} << 3 << kProgress << int(Failed);
    QTest::newRow("Found alone keeps the value") << QStringList{" 20%", "Found 2 serial ports\n"} << 20 << kSearching << int(Failed);
    QTest::newRow("100.0% without the reset line") << QStringList{" 100.0%\n"} << 100 << kProgress << int(Failed);
    QTest::newRow("success texts in separate chunks")
        << QStringList{" 50.0%\r", " 100.0%\n", "Hard resetting via RTS pin...\n"} << 100 << kProgress << int(Succeeded);
    QTest::newRow("ERROR of newer releases fails")
        << QStringList{" 100.0%\n", "ERROR: Serial data stream stopped\nHard resetting via RTS pin...\n"} << 100 << kProgress << int(Failed);
    QTest::newRow("No such option fails") << QStringList{"No such option: --flash-freq\n"} << 0 << plain << int(Failed);
    QTest::newRow("Error fails even after the success texts")
        << QStringList{" 100.0%\nHard resetting via RTS pin...\n", "Error: timed out\n"} << 100 << kProgress << int(Failed);
    // clang-format on
}

void TestFlashRun::chunkRules()
{
    QFETCH(QStringList, pieces);
    QFETCH(int, value);
    QFETCH(QString, format);
    QFETCH(int, outcome);
    qputenv("PATH", m_echoToolDir.path().toLocal8Bit() + ':' + m_path);

    Bench bench;
    Ui_MainWindow *ui = bench.ui;
    bench.pressBurn(m_firmware);
    QTRY_COMPARE_WITH_TIMEOUT(bench.process->state(), QProcess::Running, kRunMs);
    QString written;
    for (const QString &piece : pieces) {
        QString line = piece;
        line.replace('\\', QLatin1String("\\\\"))
            .replace('\n', QLatin1String("\\n"))
            .replace('\r', QLatin1String("\\r"))
            .replace('\t', QLatin1String("\\t"));
        bench.process->write(line.toLocal8Bit() + '\n');
        written += piece;
        // One chunk at a time: the next piece goes out once the window has read this one.
        QTRY_COMPARE_WITH_TIMEOUT(bench.runText(), written, kRunMs);
    }
    QCOMPARE(bench.chunks.size(), pieces.size());
    QCOMPARE(stateOf(ui->progressBar), QStringLiteral("burning"));
    QCOMPARE(bench.chunks.last().value, value);
    QCOMPARE(bench.chunks.last().format, format);
    bench.process->closeWriteChannel();
    QTRY_COMPARE_WITH_TIMEOUT(bench.boxes.count(), 1, kRunMs);

    QCOMPARE(ui->progressBar->value(), 100);
    QCOMPARE(ui->progressBar->format(), outcome == Succeeded ? kDone : format);
    QCOMPARE(stateOf(ui->pushButton_Burn), QString());
    QVERIFY(ui->pushButton_Burn->isEnabled());
    QCOMPARE(bench.boxes.lastText(),
             outcome == Succeeded ? QStringLiteral("升级成功") : QStringLiteral("升级失败"));
    QCOMPARE(stateOf(ui->progressBar),
             outcome == Succeeded ? QStringLiteral("burning") : QStringLiteral("error"));
}

// A new run starts from 0 under the previous run's format; after a failure the bar leaves
// "error" for "burning" at once.
void TestFlashRun::nextBurn_data()
{
    QTest::addColumn<QString>("firstScenario");
    QTest::addColumn<QString>("formatAfterFirst");
    QTest::addColumn<QString>("stateAfterFirst");

    QTest::newRow("after a success") << "ok" << kDone << "burning";
    QTest::newRow("after a failure") << "burn-fail" << kProgress << "error";
}

void TestFlashRun::nextBurn()
{
    QFETCH(QString, firstScenario);
    QFETCH(QString, formatAfterFirst);
    QFETCH(QString, stateAfterFirst);

    QStringList formatsAtValue; // outlives the window that fills it
    Bench bench;
    Ui_MainWindow *ui = bench.ui;
    qputenv("ESPTOOL_STANDIN_SCENARIO", firstScenario.toUtf8());
    bench.pressBurn(m_firmware);
    QTRY_COMPARE_WITH_TIMEOUT(bench.boxes.count(), 1, kRunMs);
    QCOMPARE(ui->progressBar->value(), 100);
    QCOMPARE(ui->progressBar->format(), formatAfterFirst);
    QCOMPARE(stateOf(ui->progressBar), stateAfterFirst);

    qputenv("ESPTOOL_STANDIN_SCENARIO", "ok");
    QObject::connect(ui->progressBar, &QProgressBar::valueChanged, ui->progressBar, [&](int value) {
        formatsAtValue << QStringLiteral("%1 %2").arg(value).arg(ui->progressBar->format());
    });
    bench.boxes.clear();
    bench.pressBurn(m_firmware);
    QCOMPARE(ui->progressBar->value(), 0);
    QCOMPARE(ui->progressBar->format(), formatAfterFirst);
    QCOMPARE(stateOf(ui->progressBar), QStringLiteral("burning"));
    QCOMPARE(stateOf(ui->pushButton_Burn), QStringLiteral("burning"));
    QVERIFY(!ui->pushButton_Burn->isEnabled());

    QTRY_COMPARE_WITH_TIMEOUT(bench.boxes.count(), 1, kRunMs);
    QVERIFY(!formatsAtValue.isEmpty());
    QCOMPARE(formatsAtValue.first(), QStringLiteral("0 ") + formatAfterFirst);
    QCOMPARE(bench.boxes.lastText(), QStringLiteral("升级成功"));
    QCOMPARE(ui->progressBar->format(), kDone);
    QCOMPARE(stateOf(ui->progressBar), QStringLiteral("burning"));
}

// The gate has marked and disabled the button; a run that does not start gives it back.
void TestFlashRun::refusedStart_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("withFile");
    QTest::addColumn<bool>("probeRunning");

    QTest::newRow("no port name") << QString() << true << false;
    QTest::newRow("no firmware file") << kPort << false << false;
    QTest::newRow("a probe still running") << kPort << true << true;
}

void TestFlashRun::refusedStart()
{
    QFETCH(QString, port);
    QFETCH(bool, withFile);
    QFETCH(bool, probeRunning);

    Bench bench;
    Ui_MainWindow *ui = bench.ui;
    qint64 probePid = 0;
    if (probeRunning) {
        qputenv("ESPTOOL_STANDIN_SCENARIO", "hang");
        bench.pressGetInfo();
        QTRY_COMPARE_WITH_TIMEOUT(bench.process->state(), QProcess::Running, kRunMs);
        probePid = bench.process->processId();
    }

    bench.pressBurn(withFile ? m_firmware : QString(), port);

    QCOMPARE(stateOf(ui->pushButton_Burn), QString());
    QVERIFY(ui->pushButton_Burn->isEnabled());
    // Nothing of a burn began: the bar, the run mode and the process are as they were.
    QCOMPARE(stateOf(ui->progressBar), QString());
    QCOMPARE(bench.mode(), 0);
    QCOMPARE(bench.log.linesStartingWith(QStringLiteral("startTest")).size(), probeRunning ? 0 : 1);
    for (const QString &line : bench.log.linesStartingWith(QStringLiteral("args[")))
        QVERIFY2(!line.contains(QLatin1String("write-flash")), qPrintable(line));
    QCOMPARE(describeBoxes(bench.boxes), QStringList());
    if (probeRunning) {
        QCOMPARE(bench.process->state(), QProcess::Running);
        QCOMPARE(bench.process->processId(), probePid);
        bench.process->kill();
        QTRY_COMPARE_WITH_TIMEOUT(bench.ends->count(), 1, kRunMs);
    } else {
        QCOMPARE(bench.process->state(), QProcess::NotRunning);
    }
}

void TestFlashRun::toolMissing_data()
{
    QTest::addColumn<bool>("burn");

    QTest::newRow("burn") << true;
    QTest::newRow("probe") << false;
}

void TestFlashRun::toolMissing()
{
    QFETCH(bool, burn);

    Bench bench;
    Ui_MainWindow *ui = bench.ui;
    qputenv("PATH", "/nonexistent");
    if (burn)
        bench.pressBurn(m_firmware);
    else
        bench.pressGetInfo();
    QTRY_COMPARE_WITH_TIMEOUT(bench.boxes.count(), 1, kRunMs);
    qputenv("PATH", m_path);

    QCOMPARE(describeBoxes(bench.boxes),
             QStringList{warningBox(QStringLiteral("未找到 esptool，请确认已安装并在 PATH 中"))});
    QCOMPARE(bench.process->state(), QProcess::NotRunning);
    QCOMPARE(bench.ends->count(), 0);
    if (burn) {
        QCOMPARE(stateOf(ui->pushButton_Burn), QString());
        QVERIFY(ui->pushButton_Burn->isEnabled());
        QCOMPARE(stateOf(ui->progressBar), QStringLiteral("error"));
    } else {
        QVERIFY(!bench.timer().isActive());
        QCOMPARE(ui->m_pGetInfo->text(), QStringLiteral("获取信息"));
    }

    // Nothing is left stuck: with the tool back on PATH the same action runs it.
    bench.boxes.clear();
    if (burn)
        bench.pressBurn(m_firmware);
    else
        bench.pressGetInfo();
    QTRY_COMPARE_WITH_TIMEOUT(bench.ends->count(), 1, kRunMs);
    QVERIFY(bench.runText().contains(QLatin1String("Connected to ESP32-S3")));
}

// Closing the window while the tool hangs. During a burn the user is asked first: No keeps the
// window and the tool; otherwise the tool is killed and reaped before the window goes, and the
// end of the run still reaches the handlers once, without a verdict box over a window that is
// no longer there. A tool that ends while the question is open takes the question with it. A
// probe asks nothing.
void TestFlashRun::closedDuringRun_data()
{
    QTest::addColumn<bool>("burn");
    QTest::addColumn<QString>("reached");
    QTest::addColumn<int>("answer"); // to the question on closing; NoButton: not closed, deleted;
                                     // Ignore: none, the tool ends first

    // clang-format off
    QTest::newRow("burn, window deleted") << true << "Writing at" << int(QMessageBox::NoButton);
    QTest::newRow("burn, closing asked: No keeps it") << true << "Writing at" << int(QMessageBox::No);
    QTest::newRow("burn, closing asked: Yes ends it") << true << "Writing at" << int(QMessageBox::Yes);
    QTest::newRow("burn ends while asked: the question goes away") << true << "Writing at" << int(QMessageBox::Ignore);
    QTest::newRow("probe, closing asks nothing") << false << "Connecting" << int(QMessageBox::No);
    // clang-format on
}

void TestFlashRun::closedDuringRun()
{
    QFETCH(bool, burn);
    QFETCH(QString, reached);
    QFETCH(int, answer);
    const bool endsFirst = answer == QMessageBox::Ignore;
    qputenv("ESPTOOL_STANDIN_SCENARIO", "hang");
    if (endsFirst)
        qputenv("ESPTOOL_STANDIN_HANG_MS", "3000");

    Bench bench;
    if (burn)
        bench.pressBurn(m_firmware);
    else
        bench.pressGetInfo();
    QTRY_VERIFY_WITH_TIMEOUT(bench.runText().contains(reached), kRunMs);
    const qint64 pid = bench.process->processId();
    QVERIFY(pid > 0);
    QVERIFY(!processGone(pid));
    QCOMPARE(bench.log.linesStartingWith(QStringLiteral("m_strInfo:")).size(), 0);

    QStringList asked;
    if (answer != QMessageBox::NoButton) {
        bench.boxes.answer(QMessageBox::StandardButton(answer));
        bench.boxes.holdQuestions(endsFirst ? kRunMs : 0);
        QCOMPARE(bench.w->close(), !burn || answer == QMessageBox::Yes);
        if (burn)
            asked << QStringLiteral(
                         "警告|正在升级，关闭窗口将中断升级，设备可能无法启动。确定关闭吗？|%1|"
                         "Yes,No default No")
                         .arg(int(QMessageBox::Question));
        if (endsFirst)
            asked << QStringLiteral("提示|升级失败|%1|OK").arg(int(QMessageBox::Warning));
        QCOMPARE(describeBoxes(bench.boxes), asked);
        QVERIFY(!endsFirst || !bench.boxes.boxes().first().answered);
        QCOMPARE(bench.process->processId(), endsFirst ? 0 : pid);
        QCOMPARE(bench.process->state(), endsFirst ? QProcess::NotRunning : QProcess::Running);
    }
    bench.destroyWindow();

    QVERIFY(processGone(pid));
    QCOMPARE(bench.log.linesStartingWith(QStringLiteral("left:")).size(), 1);
    const QStringList infoLines = bench.log.linesStartingWith(QStringLiteral("m_strInfo:"));
    QCOMPARE(infoLines.size(), 1);
    QVERIFY2(infoLines.first().contains(reached), qPrintable(infoLines.first()));
    QCOMPARE(describeBoxes(bench.boxes), asked);
}

void TestFlashRun::probe_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("deadPorts");
    QTest::addColumn<QString>("foundPort");
    QTest::addColumn<bool>("noDeviceLogged");

    QTest::newRow("no device answers") << "no-device"
                                       << ""
                                       << "" << true;
    QTest::newRow("device on the only port") << "ok"
                                             << "" << kPort << false;
    // Ports are tried in reverse sorted order: both dead ones fail before the device answers.
    QTest::newRow("dead ports tried first") << "dead-port-first"
                                            << "/dev/ttyUSB9" << kPort << false;
    QTest::newRow("closing lines in one piece") << "late-success"
                                                << "" << kPort << false;
    QTest::newRow("success with a non-zero exit") << "exit-nonzero"
                                                  << "" << kPort << false;
    QTest::newRow("tool killed before naming a chip") << "crash"
                                                      << ""
                                                      << "" << false;
    // clang-format off
    QTest::newRow("a probe that hangs is stopped at the limit of the settings file") << "hang" << "" << "" << false;
    QTest::newRow("a probe stopped at its limit after naming a chip found none") << "hang-connected" << "" << "" << false;
    // clang-format on
}

void TestFlashRun::probe()
{
    QFETCH(QString, scenario);
    QFETCH(QString, deadPorts);
    QFETCH(QString, foundPort);
    QFETCH(bool, noDeviceLogged);
    qputenv("ESPTOOL_STANDIN_SCENARIO", scenario.toUtf8());
    qputenv("ESPTOOL_STANDIN_DEAD_PORTS", deadPorts.toUtf8());
    QSettings(QStringLiteral("CONFIG/config.ini"), QSettings::IniFormat)
        .setValue(QStringLiteral("Limits/ProbeSeconds"), scenario.startsWith("hang") ? "1" : "");

    Bench bench;
    Ui_MainWindow *ui = bench.ui;
    const QString previousPort = QStringLiteral("/dev/previous");
    WindowInspector::setPortName(*bench.w, previousPort);
    WindowInspector::setProcessMode(*bench.w, 1);
    const QString barFormat = ui->progressBar->format();
    QSignalSpy barValues(ui->progressBar, &QProgressBar::valueChanged);

    bench.pressGetInfo();
    QCOMPARE(bench.mode(), 0);
    QVERIFY(bench.timer().isActive());
    QCOMPARE(bench.timer().interval(), 300);
    QCOMPARE(bench.log.linesStartingWith(QStringLiteral("args[")),
             QStringList{QStringLiteral("args[ (\"chip-id\") ]")});
    QTRY_COMPARE_WITH_TIMEOUT(bench.ends->count(), 1, kRunMs);

    // The chunks were collected ("Found" among them) but never reached the bar.
    QVERIFY(bench.runText().contains(QLatin1String("Found")));
    QCOMPARE(barValues.count(), 0);
    QCOMPARE(ui->progressBar->format(), barFormat);
    QCOMPARE(stateOf(ui->progressBar), QString());
    QCOMPARE(bench.log.linesStartingWith(QStringLiteral("串口连接失败")).size(),
             noDeviceLogged ? 1 : 0);
    QCOMPARE(bench.log.linesStartingWith("probe stopped after 1 s").size(),
             int(scenario.startsWith("hang")));

    if (!foundPort.isEmpty()) {
        for (const QString &dead : deadPorts.split(',')) {
            if (dead.isEmpty())
                continue;
            QVERIFY2(bench.runText().indexOf(dead + QStringLiteral(" failed to connect")) <
                         bench.runText().indexOf(QStringLiteral("Connected to ESP32-S3")),
                     qPrintable(dead));
        }
        QCOMPARE(WindowInspector::portName(*bench.w), foundPort);
        QCOMPARE(WindowInspector::chipMac(*bench.w), QStringLiteral("24:58:7c:d1:0a:3e"));
        QCOMPARE(bench.log.linesStartingWith(QStringLiteral("COM:")),
                 QStringList{QStringLiteral("COM: \"%1\"").arg(foundPort)});
        QCOMPARE(bench.opens->count(), 1);
        QCOMPARE(bench.opens->first().at(0).toString(), foundPort);
        QCOMPARE(bench.opens->first().at(1).value<QSerialPort::BaudRate>(),
                 QSerialPort::Baud115200);
        // The device's answer ends the animation, not the probe.
        QVERIFY(bench.timer().isActive());
        QCOMPARE(describeBoxes(bench.boxes), QStringList());
    } else {
        QCOMPARE(WindowInspector::portName(*bench.w), previousPort);
        QCOMPARE(bench.log.linesStartingWith(QStringLiteral("COM:")), QStringList());
        QCOMPARE(bench.opens->count(), 0);
        QVERIFY(!bench.timer().isActive());
        QCOMPARE(ui->m_pGetInfo->text(), QStringLiteral("获取信息"));
        QCOMPARE(describeBoxes(bench.boxes),
                 QStringList{warningBox(QStringLiteral("未检测到设备！"))});
    }
}

// Pressing "获取信息" while the tool runs only says so in the log: the run goes on untouched.
void TestFlashRun::pressedDuringRun_data()
{
    QTest::addColumn<bool>("burn");
    QTest::addColumn<QString>("reached");

    QTest::newRow("a burn runs") << true << "Writing at";
    QTest::newRow("a probe runs") << false << "Connecting";
}

void TestFlashRun::pressedDuringRun()
{
    QFETCH(bool, burn);
    QFETCH(QString, reached);
    qputenv("ESPTOOL_STANDIN_SCENARIO", "hang");

    Bench bench;
    Ui_MainWindow *ui = bench.ui;
    if (burn)
        bench.pressBurn(m_firmware);
    else
        bench.pressGetInfo();
    QTRY_VERIFY_WITH_TIMEOUT(bench.runText().contains(reached), kRunMs);
    const QString textBefore = bench.runText();
    const qint64 pid = bench.process->processId();
    const bool animating = bench.timer().isActive();
    QCOMPARE(animating, !burn);
    const QString buttonText = ui->m_pGetInfo->text();

    ui->m_pGetInfo->click();

    QCOMPARE(bench.log.linesStartingWith(QStringLiteral("Process is Running")).size(), 1);
    QCOMPARE(bench.log.linesStartingWith(QStringLiteral("args[")).size(), 1);
    QCOMPARE(bench.mode(), burn ? 1 : 0);
    QCOMPARE(bench.timer().isActive(), animating);
    if (burn)
        QCOMPARE(ui->m_pGetInfo->text(), buttonText);
    QVERIFY(bench.runText().startsWith(textBefore));
    QCOMPARE(bench.process->processId(), pid);
    QCOMPARE(bench.process->state(), QProcess::Running);
    QCOMPARE(describeBoxes(bench.boxes), QStringList());

    bench.process->kill();
    QTRY_COMPARE_WITH_TIMEOUT(bench.ends->count(), 1, kRunMs);
}

// A TERM inherited from a terminal would switch the tool to its terminal form (cursor movement,
// colours, progress without line ends); the tool is always asked for the plain one.
void TestFlashRun::plainOutput_data()
{
    QTest::addColumn<QByteArray>("term");
    QTest::addColumn<bool>("noColorEmpty");

    QTest::newRow("xterm, NO_COLOR unset") << QByteArray("xterm") << false;
    QTest::newRow("xterm-256color, NO_COLOR empty") << QByteArray("xterm-256color") << true;
}

void TestFlashRun::plainOutput()
{
    QFETCH(QByteArray, term);
    QFETCH(bool, noColorEmpty);
    qputenv("TERM", term);
    if (noColorEmpty)
        qputenv("NO_COLOR", "");
    qputenv("ESPTOOL_STANDIN_SCENARIO", "ok");

    // Started with this process's environment as it is, the tool does use its terminal form.
    QProcess direct;
    direct.setProcessChannelMode(QProcess::MergedChannels);
    direct.start(kStandIn, {QStringLiteral("chip-id")});
    QVERIFY(direct.waitForFinished(kRunMs));
    QVERIFY(direct.readAll().contains("\x1b["));

    Bench bench;
    bench.pressBurn(m_firmware);
    QTRY_COMPARE_WITH_TIMEOUT(bench.boxes.count(), 1, kRunMs);

    QVERIFY2(!bench.runText().contains(QChar(0x1b)), qPrintable(bench.runText().left(400)));
    QStringList shown, wanted;
    describeBurnChunks(bench.chunks, 0, QStringLiteral("%p%"), &shown, &wanted);
    QCOMPARE(shown, wanted);
    QCOMPARE(bench.boxes.lastText(), QStringLiteral("升级成功"));
    QCOMPARE(bench.ui->progressBar->format(), kDone);
}

void TestFlashRun::upgradeRecord_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("exitCode");

    QTest::addColumn<QString>("verify");

    // clang-format off
    QTest::newRow("success") << "ok" << "success" << "0" << "ok";
    QTest::newRow("window closed during the run") << "hang" << "interrupted" << QString() << "";
    QTest::newRow("window closed during the read-back: nothing asked") << "ok" << "interrupted" << "0" << "stopped";
    // clang-format on
}

// The window's burns leave their rows with what the window knows of them (the run's own endings
// are tst_burnrun's): the serial and version read, the port, and a close during the run.
void TestFlashRun::upgradeRecord()
{
    QFETCH(QString, scenario);
    QFETCH(QString, result);
    QFETCH(QString, exitCode);
    QFETCH(QString, verify);
    // A device that keeps quiet holds the read-back open.
    QVERIFY(verify != "stopped" || m_device->setState("fault", "silent"));
    const QString config = QDir::current().filePath(QStringLiteral("CONFIG"));
    const int rowsBefore = history::rows(config).size();
    qputenv("ESPTOOL_STANDIN_SCENARIO", scenario.toUtf8());

    Bench bench;
    bench.ui->lineEdit_Sn->setText(QStringLiteral("QB-REC-0000007")); // as a reading left it
    bench.pressBurn(m_firmware);
    if (scenario == QLatin1String("hang"))
        QTRY_VERIFY_WITH_TIMEOUT(bench.runText().contains(QLatin1String("Writing at")), kRunMs);
    else if (verify == "stopped")
        QTRY_VERIFY_WITH_TIMEOUT(bench.ui->progressBar->text() == "验证中..." && bench.w->close(),
                                 kRunMs);
    else
        QTRY_COMPARE_WITH_TIMEOUT(bench.boxes.count(), 1, kRunMs);
    const QString runText = bench.runText();
    bench.destroyWindow();

    const QString differs =
        history::lastRunDiffers(config, rowsBefore, m_firmware,
                                {{"program", "Quorbel"},
                                 {"serial", "QB-REC-0000007"},
                                 {"device_version", "10"},
                                 {"file_version", "13"},
                                 {"result", result},
                                 {"exit_code", exitCode},
                                 {"port", kPort},
                                 {"mac", scenario.isEmpty() ? "" : "24:58:7c:d1:0a:3e"},
                                 {"tool_version", scenario.isEmpty() ? "" : "5.3.1"},
                                 {"verify", verify},
                                 {"verified_version", verify == "ok" ? "13" : ""}},
                                runText);
    QVERIFY2(differs.isEmpty(), qPrintable(differs));
}

QTEST_MAIN(TestFlashRun)
#include "tst_flashrun.moc"
