// The burn tool: its window as built, the burn button and the bar through real runs of the
// esptool stand-in, its file choice, and the settings file it shares with the upgrade tool.

#include "flasherinspector.h"

#include "boxcatcher.h"
#include "firmwaretest.h"
#include "historyfile.h"
#include "logcapture.h"
#include "widgetlook.h"
#include "windowinspector.h"

#include "messages.h"

#include <QGridLayout>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

#include <csignal>
#include <sys/types.h>

using flasher::FlasherInspector;

namespace
{

void setScenario(const char *scenario)
{
    qputenv("ESPTOOL_STANDIN_SCENARIO", scenario);
    // A run that hangs is watched through its progress, which must reach the window in
    // separate chunks: only a chunk's first percentage counts, and 0% changes nothing.
    qputenv("ESPTOOL_STANDIN_PAUSE_MS", qstrcmp(scenario, "hang") == 0 ? "100" : "1");
}

// The chunk colour of a full bar, away from its centred text.
QColor fullBarColour(QProgressBar *bar)
{
    return pixel(bar, 0.25, 0.5);
}

const QColor kGreen("#00ff00");
const QString kMac = QStringLiteral("24:58:7c:d1:0a:3e"); // the stand-in's chip
const QColor kRed("#ff0c30");

} // namespace

class TestFlasher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void widgetTree_data();
    void widgetTree();
    void windowForm();
    void controlsStayPutOnResize_data();
    void controlsStayPutOnResize();

    void runVerdict_data();
    void runVerdict();
    void outputTailCounts();
    void failedBarTurnsGreenOnNextStart();
    void twoQuickPressesStartOneRun();
    void closingDuringRunKillsTool();
    void burnWithoutFileDoesNothing();
    void missingToolWarns();
    void upgradeRecord_data();
    void upgradeRecord();

    void fileChoice();
    void settingsSharedWithUpgradeTool_data();
    void settingsSharedWithUpgradeTool();
    void terminationClosesTheWindow_data();
    void terminationClosesTheWindow();

private:
    // Chooses images/<fileName> (40 KiB) in the window and returns its path.
    QString chooseFile(flasher::MainWindow &w, const QString &fileName = "fw_V12_release.bin");

    std::unique_ptr<WorkDir> m_work;
    std::unique_ptr<DialogScript> m_dialog;
    QByteArray m_path;
};

void TestFlasher::initTestCase()
{
    qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");
    qunsetenv("SIMDEVICE_STATE");
    qputenv("ESPTOOL_STANDIN_PAUSE_MS", "1");
    m_path = qgetenv("PATH");
}

void TestFlasher::init()
{
    m_work.reset(new WorkDir);
    QVERIFY(m_work->isValid());
    m_dialog.reset(new DialogScript);
    setScenario("ok");
}

void TestFlasher::cleanup()
{
    QCoreApplication::sendPostedEvents();
    m_dialog.reset();
    m_work.reset();
    qputenv("PATH", m_path);
    qunsetenv("ESPTOOL_STANDIN_SCENARIO");
}

QString TestFlasher::chooseFile(flasher::MainWindow &w, const QString &fileName)
{
    const QString path = m_work->path("images/" + fileName);
    if (!makeFile(path, 40 * 1024))
        return QString();
    m_dialog->answer(path);
    FlasherInspector::ui(w)->pushButton->click();
    return path;
}

void TestFlasher::widgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("text");

    QTest::newRow("path field") << "lineEdit"
                                << "QLineEdit" << 0 << 0 << "";
    QTest::newRow("choose file") << "pushButton"
                                 << "QPushButton" << 0 << 1 << "选择文件";
    QTest::newRow("bar") << "progressBar"
                         << "QProgressBar" << 1 << 0 << "";
    QTest::newRow("burn") << "pushButton_Burn"
                          << "QPushButton" << 1 << 1 << "烧录";
}

void TestFlasher::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(QString, text);

    flasher::MainWindow w;
    auto *widget = w.findChild<QWidget *>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(QString(widget->metaObject()->className()), className);
    QCOMPARE(widget->parentWidget()->objectName(), QString("widget"));

    auto *grid = w.findChild<QGridLayout *>("gridLayout");
    QVERIFY(grid);
    const int index = grid->indexOf(widget);
    QVERIFY2(index >= 0, "not in gridLayout");
    int r, c, rowSpan, columnSpan;
    grid->getItemPosition(index, &r, &c, &rowSpan, &columnSpan);
    QCOMPARE(r, row);
    QCOMPARE(c, column);
    QCOMPARE(rowSpan, 1);
    QCOMPARE(columnSpan, 1);
    QCOMPARE(grid->itemAt(index)->alignment(), Qt::Alignment());
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        QCOMPARE(button->text(), text);
}

void TestFlasher::windowForm()
{
    flasher::MainWindow w;
    flasher::Ui_MainWindow *ui = FlasherInspector::ui(w);

    QCOMPARE(w.objectName(), QString("MainWindow"));
    QCOMPARE(w.size(), QSize(658, 567));
    QCOMPARE(w.windowTitle(), QString("MainWindow"));
    QVERIFY(!w.testAttribute(Qt::WA_SetWindowIcon));
    QVERIFY(w.styleSheet().isEmpty());
    QVERIFY(qApp->styleSheet().isEmpty());

    QCOMPARE(w.centralWidget(), ui->centralwidget);
    QCOMPARE(ui->centralwidget->objectName(), QString("centralwidget"));
    QVERIFY(!ui->centralwidget->layout());
    QCOMPARE(ui->widget->objectName(), QString("widget"));
    QCOMPARE(ui->widget->parentWidget(), ui->centralwidget);
    QCOMPARE(ui->widget->geometry(), QRect(60, 40, 511, 171));
    QCOMPARE(ui->widget->layout(), static_cast<QLayout *>(ui->gridLayout));

    QCOMPARE(w.menuBar(), ui->menubar);
    QCOMPARE(ui->menubar->objectName(), QString("menubar"));
    QCOMPARE(ui->menubar->geometry(), QRect(0, 0, 658, 23));
    QVERIFY(ui->menubar->actions().isEmpty());
    QCOMPARE(w.statusBar(), ui->statusbar);
    QCOMPARE(ui->statusbar->objectName(), QString("statusbar"));
    QVERIFY(ui->statusbar->currentMessage().isEmpty());

    QVERIFY(!ui->lineEdit->isReadOnly());
    QVERIFY(ui->lineEdit->text().isEmpty());
    QCOMPARE(ui->progressBar->value(), 0);
    QCOMPARE(ui->progressBar->textDirection(), QProgressBar::TopToBottom);
    QCOMPARE(ui->progressBar->styleSheet(), QString(flasher::kGreenBarStyle));

    QCOMPARE(focusablesInChain(&w), (QStringList{"lineEdit", "pushButton", "pushButton_Burn"}));

    // A full green bar really is green: the sheet is the one the bar paints with.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    ui->progressBar->setValue(100);
    QVERIFY(near(fullBarColour(ui->progressBar), kGreen));
}

void TestFlasher::controlsStayPutOnResize_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("larger") << QSize(1200, 900);
    QTest::newRow("smaller") << QSize(400, 300);
    QTest::newRow("narrow and tall") << QSize(200, 1000);
}

void TestFlasher::controlsStayPutOnResize()
{
    QFETCH(QSize, size);
    flasher::MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    flasher::Ui_MainWindow *ui = FlasherInspector::ui(w);
    const QRect burnBefore = ui->pushButton_Burn->geometry();

    w.resize(size);
    QTRY_COMPARE(w.size(), size);
    QCOMPARE(ui->widget->geometry(), QRect(60, 40, 511, 171));
    QCOMPARE(ui->pushButton_Burn->geometry(), burnBefore);
}

void TestFlasher::runVerdict_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<QString>("text"); // box titled "提示"; empty: no box
    QTest::addColumn<int>("icon");
    QTest::addColumn<bool>("red");

    const int info = QMessageBox::Information, warning = QMessageBox::Warning;
    QTest::newRow("success") << QByteArray("ok") << "烧录成功" << info << false;
    QTest::newRow("failure midway") << QByteArray("burn-fail") << "烧录失败" << warning << true;
    // clang-format off
    QTest::newRow("written, but no reset: no verdict, burn again") << QByteArray("no-reset") << "烧录失败" << warning << true;
    // clang-format on
}

void TestFlasher::runVerdict()
{
    QFETCH(QByteArray, scenario);
    QFETCH(QString, text);
    QFETCH(int, icon);
    QFETCH(bool, red);
    setScenario(scenario.constData());

    BoxCatcher boxes;
    flasher::MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    flasher::Ui_MainWindow *ui = FlasherInspector::ui(w);
    QVERIFY(!chooseFile(w).isEmpty());

    QElapsedTimer clock;
    clock.start();
    ui->pushButton_Burn->click();
    // The window's own handler runs before the spy sees the end of the run.
    QSignalSpy finished(FlasherInspector::process(w),
                        QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    QVERIFY(ui->pushButton_Burn->isEnabled());
    QVERIFY(!ui->pushButton->isEnabled()); // the file shown stays the file burnt
    QVERIFY(finished.wait(30000));
    QVERIFY(ui->pushButton->isEnabled());
    // The tool is given a second to settle before the run is judged.
    QVERIFY(clock.elapsed() >= 1000);

    QCOMPARE(ui->progressBar->styleSheet(),
             QString(red ? flasher::kRedBarStyle : flasher::kGreenBarStyle));
    QVERIFY(ui->pushButton_Burn->isEnabled());
    if (text.isEmpty()) {
        QCOMPARE(boxes.count(), 0);
        QVERIFY(ui->progressBar->value() < 100);
        return;
    }
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.lastTitle(), QString("提示"));
    QCOMPARE(boxes.lastText(), text);
    QCOMPARE(int(boxes.boxes().first().icon), icon);
    QCOMPARE(ui->progressBar->value(), 100);
    const QColor chunk = fullBarColour(ui->progressBar);
    QVERIFY2(near(chunk, red ? kRed : kGreen), qPrintable(chunk.name()));
}

void TestFlasher::outputTailCounts()
{
    BoxCatcher boxes;
    LogCapture log;
    flasher::MainWindow w;
    QVERIFY(!chooseFile(w).isEmpty());
    FlasherInspector::ui(w)->pushButton_Burn->click();
    // Nothing reads the output while the tool runs, so all of it is still unread at the end.
    QVERIFY(QObject::disconnect(FlasherInspector::process(w), &QProcess::readyReadStandardOutput,
                                nullptr, nullptr));
    QTRY_COMPARE_WITH_TIMEOUT(boxes.count(), 1, 30000);
    QVERIFY(log.linesStartingWith("readIperfOutput:").isEmpty());
    QVERIFY(FlasherInspector::runText(w).contains("Hard resetting via RTS pin"));
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.lastText(), QString("烧录成功"));
    QCOMPARE(FlasherInspector::ui(w)->progressBar->value(), 100);
}

void TestFlasher::failedBarTurnsGreenOnNextStart()
{
#ifdef Q_OS_WIN
    QSKIP("under Wine the stand-in's 0.0% and 40.0% lines can come as one chunk, of which the "
          "window reads the first percentage only, so the bar need not move; the Linux rounds "
          "run it");
#endif
    setScenario("burn-fail");
    BoxCatcher boxes; // outlives the window, whose end kills the second run
    flasher::MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    flasher::Ui_MainWindow *ui = FlasherInspector::ui(w);
    QVERIFY(!chooseFile(w).isEmpty());
    ui->pushButton_Burn->click();
    QSignalSpy finished(FlasherInspector::process(w),
                        QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    QVERIFY(finished.wait(30000));
    QCOMPARE(boxes.lastText(), QString("烧录失败"));
    QVERIFY(near(fullBarColour(ui->progressBar), kRed));

    setScenario("hang");
    ui->pushButton_Burn->click();
    QCOMPARE(ui->progressBar->value(), 0);
    QCOMPARE(ui->progressBar->styleSheet(), QString(flasher::kGreenBarStyle));
    // The stand-in reports progress before it hangs; the bar follows it in green.
    QTRY_VERIFY_WITH_TIMEOUT(ui->progressBar->value() > 0, 30000);
    QVERIFY(FlasherInspector::process(w)->state() != QProcess::NotRunning);
    QVERIFY(near(pixel(ui->progressBar, 0.01 + ui->progressBar->value() / 200.0, 0.5), kGreen));
}

void TestFlasher::twoQuickPressesStartOneRun()
{
    BoxCatcher boxes;
    flasher::MainWindow w;
    flasher::Ui_MainWindow *ui = FlasherInspector::ui(w);
    QVERIFY(!chooseFile(w).isEmpty());

    LogCapture log;
    ui->pushButton_Burn->click();
    QProcess *process = FlasherInspector::process(w);
    QSignalSpy started(process, &QProcess::started);
    QSignalSpy finished(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    ui->pushButton_Burn->click();
    QCOMPARE(FlasherInspector::process(w), process);
    QVERIFY(finished.wait(30000));

    QCOMPARE(started.count(), 1);
    QCOMPARE(log.linesStartingWith("startTest").size(), 1);
    QCOMPARE(log.linesStartingWith("args[").size(), 1);
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.lastText(), QString("烧录成功"));
}

void TestFlasher::closingDuringRunKillsTool()
{
#ifdef Q_OS_WIN
    QSKIP("looks for the killed tool with POSIX kill(); the Linux rounds run it");
#else
    setScenario("hang");
    BoxCatcher boxes;
    LogCapture log;
    auto *w = new flasher::MainWindow;
    flasher::Ui_MainWindow *ui = FlasherInspector::ui(*w);
    QVERIFY(!chooseFile(*w).isEmpty());
    QSignalSpy progress(ui->progressBar, &QProgressBar::valueChanged);
    ui->pushButton_Burn->click();
    QProcess *process = FlasherInspector::process(*w);
    // Progress from the tool (the press itself sets the bar to 0, which is no change here).
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty(), 30000);
    QCOMPARE(process->state(), QProcess::Running);
    const qint64 pid = process->processId();

    // The user is asked first; No keeps the window and the run, Yes lets the window go.
    for (const QMessageBox::StandardButton answer : {QMessageBox::No, QMessageBox::Yes}) {
        boxes.answer(answer);
        QCOMPARE(w->close(), answer == QMessageBox::Yes);
        QCOMPARE(process->state(), QProcess::Running);
    }
    const QString asked = QStringLiteral("警告|正在烧录，关闭窗口将中断烧录，设备可能无法启动。确定关闭吗？|%1|"
                                         "Yes,No default No")
                              .arg(int(QMessageBox::Question));
    QCOMPARE(describeBoxes(boxes), (QStringList{asked, asked}));

    // Closing is immediate: no pause before a verdict, and no verdict box for a run cut short.
    QElapsedTimer closing;
    closing.start();
    delete w;
    QVERIFY2(closing.elapsed() < 900, qPrintable(QString::number(closing.elapsed())));
    QCOMPARE(::kill(pid_t(pid), 0), -1);
    QCOMPARE(errno, ESRCH);
    QCoreApplication::processEvents();
    QCOMPARE(boxes.count(), 2);
    // The run's end is logged, as in the upgrade tool; the window's verdict never ran.
    QCOMPARE(log.linesStartingWith("m_strInfo:").size(), 1);
#endif
}

void TestFlasher::burnWithoutFileDoesNothing()
{
    BoxCatcher boxes;
    flasher::MainWindow w;
    flasher::Ui_MainWindow *ui = FlasherInspector::ui(w);
    ui->progressBar->setValue(37);
    const QString sheet = ui->progressBar->styleSheet();

    LogCapture log;
    ui->pushButton_Burn->click();
    QCoreApplication::processEvents();

    QCOMPARE(boxes.count(), 0);
    QVERIFY(log.linesStartingWith("args[").isEmpty());
    QVERIFY(!FlasherInspector::process(w));
    QCOMPARE(ui->progressBar->value(), 37);
    QCOMPARE(ui->progressBar->styleSheet(), sheet);
    QVERIFY(ui->pushButton_Burn->isEnabled());
}

void TestFlasher::missingToolWarns()
{
    QTemporaryDir emptyPath;
    QVERIFY(emptyPath.isValid());
    BoxCatcher boxes;
    flasher::MainWindow w;
    flasher::Ui_MainWindow *ui = FlasherInspector::ui(w);
    QVERIFY(!chooseFile(w).isEmpty());

    qputenv("PATH", QFile::encodeName(emptyPath.path()));
    ui->pushButton_Burn->click();
    QTRY_COMPARE(boxes.count(), 1);
    QCOMPARE(boxes.lastTitle(), QString("警告"));
    QCOMPARE(boxes.lastText(), QString("未找到 esptool，请确认已安装并在 PATH 中"));
    QCOMPARE(boxes.boxes().first().icon, QMessageBox::Warning);
    QCOMPARE(FlasherInspector::process(w)->state(), QProcess::NotRunning);

    // Nothing is left stuck: with the tool back, the next press burns.
    qputenv("PATH", m_path);
    ui->pushButton_Burn->click();
    QSignalSpy finished(FlasherInspector::process(w),
                        QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    QVERIFY(finished.wait(30000));
    QCOMPARE(boxes.count(), 2);
    QCOMPARE(boxes.lastText(), QString("烧录成功"));
}

void TestFlasher::fileChoice()
{
    flasher::MainWindow w;
    flasher::Ui_MainWindow *ui = FlasherInspector::ui(w);

    LogCapture log;
    const QString path = chooseFile(w, "fw_V12_release.bin");
    const QString folder = m_work->path("images");
    QCOMPARE(FlasherInspector::filePath(w), path);
    QCOMPARE(ui->lineEdit->text(), path);
    QCOMPARE(FlasherInspector::lastDir(w), folder);
    // The burn tool takes no version from the name.
    QVERIFY(log.linesStartingWith("固件文件名：").isEmpty());
    QVERIFY(log.linesStartingWith("版本号:").isEmpty());
    QTRY_VERIFY(configText(m_work->configFile()).contains("LastDir=" + folder + "\n"));

    m_dialog->cancel();
    ui->pushButton->click();
    QCOMPARE(log.linesStartingWith("str_FilePath"), QStringList{"str_FilePath true"});
    QCOMPARE(FlasherInspector::filePath(w), path);
    QCOMPARE(ui->lineEdit->text(), path);
    QCOMPARE(FlasherInspector::lastDir(w), folder);

    QCOMPARE(m_dialog->calls().size(), 2);
    for (const DialogScript::Call &call : m_dialog->calls()) {
        QCOMPARE(call.parent.data(), static_cast<QWidget *>(&w));
        QCOMPARE(call.caption, QString("选择文件"));
        QCOMPARE(call.filter, QString("Files(*.bin)"));
        QVERIFY(call.options.testFlag(QFileDialog::DontResolveSymlinks));
    }
    QCOMPARE(m_dialog->calls().at(0).dir, QString());
    QCOMPARE(m_dialog->calls().at(1).dir, folder);
}

void TestFlasher::settingsSharedWithUpgradeTool_data()
{
    QTest::addColumn<bool>("flasherFirst");
    QTest::newRow("chosen in flasher, the upgrade tool starts there") << true;
    QTest::newRow("chosen in the upgrade tool, flasher starts there") << false;
}

void TestFlasher::settingsSharedWithUpgradeTool()
{
    QFETCH(bool, flasherFirst);
    const QString folder = m_work->path(flasherFirst ? "from flasher" : "from upgrade tool");
    m_dialog->answer(folder + "/fw_V3_x.bin");
    if (flasherFirst) {
        flasher::MainWindow first;
        FlasherInspector::ui(first)->pushButton->click();
    } else {
        MainWindow first;
        WindowInspector::ui(first)->pushButton->click();
    }
    QTRY_VERIFY(configText(m_work->configFile()).contains("LastDir=" + folder + "\n"));

    m_dialog->cancel();
    if (flasherFirst) {
        MainWindow next;
        QCOMPARE(WindowInspector::configFileName(next), m_work->configFile());
        WindowInspector::ui(next)->pushButton->click();
    } else {
        flasher::MainWindow next;
        QCOMPARE(FlasherInspector::configFileName(next), m_work->configFile());
        FlasherInspector::ui(next)->pushButton->click();
    }
    QCOMPARE(m_dialog->calls().size(), 2);
    QCOMPARE(m_dialog->calls().last().dir, folder);
}

// A logout or a shutdown must close the programs as the user would, so that the burn and the
// rows that wait are written down, rather than end them where they stand.
void TestFlasher::terminationClosesTheWindow_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<int>("signal");

    // clang-format off
    QTest::newRow("flasher, SIGTERM") << "flasher" << int(SIGTERM);
#ifndef Q_OS_WIN // Windows has no SIGHUP; the test skips there anyway
    QTest::newRow("flasher, SIGHUP") << "flasher" << int(SIGHUP);
#endif
    QTest::newRow("Quorbel, SIGTERM") << "Quorbel" << int(SIGTERM);
    QTest::newRow("Quorbel, SIGINT") << "Quorbel" << int(SIGINT);
    QTest::newRow("QuorbelStation, SIGTERM") << "QuorbelStation" << int(SIGTERM);
    // clang-format on
}

void TestFlasher::terminationClosesTheWindow()
{
#ifdef Q_OS_WIN
    QSKIP("POSIX signals");
#else
    QFETCH(QString, program);
    QFETCH(int, signal);
    QProcess process;
    process.setWorkingDirectory(m_work->path());
    process.start(QStringLiteral(QUORBEL_BIN_DIR "/") + program, QStringList());
    QVERIFY(process.waitForStarted());
    // The folder comes with the window, after the signals are taken over.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_work->path("CONFIG")), 10000);
    ::kill(pid_t(process.processId()), signal);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
#endif
}

QTEST_MAIN(TestFlasher)
void TestFlasher::upgradeRecord_data()
{
    QTest::addColumn<QByteArray>("scenario"); // empty: the tool cannot be started
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("exitCode");

    QTest::newRow("success") << QByteArray("ok") << "success"
                             << "0";
    QTest::newRow("window closed during the run") << QByteArray("hang") << "interrupted"
                                                  << QString();
    // A file where the folder should be: nothing can be recorded, and the burn does not care.
    QTest::newRow("CONFIG cannot be written") << QByteArray("ok") << QString() << "0";
}

// flasher's burns leave their rows as its own (the run's endings are tst_burnrun's), closed
// during the run too, and a record that cannot be written costs the burn nothing.
void TestFlasher::upgradeRecord()
{
    QFETCH(QByteArray, scenario);
    QFETCH(QString, result);
    QFETCH(QString, exitCode);
    const QString config = QDir::current().filePath(QStringLiteral("CONFIG"));
    if (result.isEmpty())
        QVERIFY(makeFile(config, 1));
    QTemporaryDir emptyPath;
    if (scenario.isEmpty())
        qputenv("PATH", QFile::encodeName(emptyPath.path()));
    else
        setScenario(scenario.constData());

    BoxCatcher boxes;
    LogCapture log;
    auto *w = new flasher::MainWindow;
    const QString file = chooseFile(*w);
    QVERIFY(!file.isEmpty());
    FlasherInspector::ui(*w)->pushButton_Burn->click();
    if (scenario == "hang")
        QTRY_VERIFY_WITH_TIMEOUT(FlasherInspector::runText(*w).contains("Writing at"), 30000);
    else
        QTRY_COMPARE_WITH_TIMEOUT(boxes.count(), 1, 30000);
    const QString runText = FlasherInspector::runText(*w);
    delete w;
    if (result.isEmpty()) {
        QCOMPARE(boxes.lastText(), QStringLiteral("烧录成功"));
        QVERIFY(QFileInfo(config).isFile());
        QVERIFY(!log.linesStartingWith("record").isEmpty());
        return;
    }

    const QString differs = history::lastRunDiffers(config, 0, file,
                                                    {{"program", "flasher"},
                                                     {"serial", ""},
                                                     {"device_version", ""},
                                                     {"file_version", "12"},
                                                     {"result", result},
                                                     {"exit_code", exitCode},
                                                     {"port", ""},
                                                     {"mac", scenario.isEmpty() ? "" : kMac},
                                                     {"tool_version", scenario.isEmpty() ? "" : "5.3.1"}},
                                                    runText);
    QVERIFY2(differs.isEmpty(), qPrintable(differs));
    QVERIFY(history::rows(config).last().value("transcript").endsWith("-flasher.txt"));
}

#include "tst_flasher.moc"
