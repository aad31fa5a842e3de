// A user's whole day with the two programs, in one process and in order: Quorbel's real window
// with the real worker thread, the simulated device on a pseudo-terminal and the esptool
// stand-in started through QProcess; then the burn tool. Every step is driven with mouse
// clicks on the visible buttons, every field, message and bar value is checked, and every
// step leaves a picture of the window (and of its message box) in the screenshot folder.
//
//   quorbel-walkthrough [QTest options] [<screenshot folder>]
//
// The folder is the last argument when it names no test function, else the environment
// variable QUORBEL_WALKTHROUGH_DIR, else screenshots/ in the working directory.

#include "boxcamera.h"
#include "firmwaretest.h"
#include "flasherinspector.h"
#include "historyfile.h"
#include "logcapture.h"
#include "simdevice.h"
#include "windowinspector.h"

#include "firmwarechoice.h"
#include "messages.h"
#include "serialinstance.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <cstdio>
#include <memory>
#include <vector>

namespace
{

// Generous: the suite also runs under AddressSanitizer on a loaded two-core machine.
const int kWaitMs = 60000;

const QString kStandIn = QStringLiteral(QUORBEL_STANDIN_DIR "/esptool");

const QString kSn = QStringLiteral("QB-DAY-0000042");
const int kSoc = 76;

// Some hundred KiB: the stand-in prints one progress line per 16 KiB, so the bar takes a few
// dozen steps; with a short pause between lines the steps reach the window one by one.
const int kFirmwareBytes = 512 * 1024;
const char *const kPauseMs = "10";

const QString kIdle = QStringLiteral("获取信息");

// The worker's open and close reports, and its port lists, in the order the GUI thread gets
// them. Both arrive through the GUI thread's one queue, so a port list asked for after some
// request is seen after that request's report: a barrier for checking that nothing was sent.
class WorkerEvents : public QObject
{
public:
    WorkerEvents()
    {
        SerialInstance *worker = SerialInstance::GetInstance();
        connect(
            worker, &SerialInstance::SigConnectState, this,
            [this](int mode, bool state) {
                states << QStringLiteral("%1,%2").arg(mode).arg(state ? "true" : "false");
            },
            Qt::QueuedConnection);
        connect(
            worker, &SerialInstance::SigGetPortInfoList, this, [this] { ++portLists; },
            Qt::QueuedConnection);
    }

    // Asks the worker for a port list and gives the number of lists seen before: once more
    // have arrived, everything queued to the worker earlier has been handled and answered.
    int askPortList()
    {
        const int before = portLists;
        QMetaObject::invokeMethod(SerialInstance::GetInstance(),
                                  &SerialInstance::slotSetPortInfoList, Qt::QueuedConnection);
        return before;
    }

    QStringList states;
    int portLists = 0;
};

// Every value a progress bar takes, with the format it showed then; optionally a picture of
// the window the first time the bar stands somewhere in the middle.
class BarRecorder : public QObject
{
public:
    struct Step {
        int value;
        QString format;
    };

    BarRecorder(QProgressBar *bar, const QString &folder) : m_folder(folder)
    {
        connect(bar, &QProgressBar::valueChanged, this, [this, bar](int value) {
            m_steps.append({value, bar->format()});
            if (!m_midShot.isEmpty() && value >= 40 && value < 100) {
                m_midShotSaved = bar->window()->grab().save(QDir(m_folder).filePath(m_midShot));
                m_midShot.clear();
            }
        });
    }

    void restart(const QString &midShot)
    {
        m_steps.clear();
        m_midShot = midShot;
        m_midShotSaved = false;
    }
    QList<Step> steps() const { return m_steps; }
    QList<int> values() const
    {
        QList<int> values;
        for (const Step &step : m_steps)
            values << step.value;
        return values;
    }
    bool midShotSaved() const { return m_midShotSaved; }

private:
    QString m_folder;
    QList<Step> m_steps;
    QString m_midShot;
    bool m_midShotSaved = false;
};

bool strictlyIncreasing(const QList<int> &values)
{
    for (int i = 1; i < values.size(); ++i)
        if (values.at(i) <= values.at(i - 1))
            return false;
    return true;
}

// The whole percentages the tool printed ("  45.9% 7340/16384 bytes" gives 45).
QSet<int> printedPercentages(const QString &runText)
{
    static const QRegularExpression re(QStringLiteral("(\\d+)\\.\\d%"));
    QSet<int> found;
    auto it = re.globalMatch(runText);
    while (it.hasNext())
        found.insert(it.next().captured(1).toInt());
    return found;
}

QString values(const QList<int> &list)
{
    QStringList texts;
    for (int v : list)
        texts << QString::number(v);
    return texts.join(QLatin1Char(' '));
}

// The offscreen platform says this at every window shown; it is no fault of ours and would
// bury the report.
QtMessageHandler g_nextHandler = nullptr;
void dropPlatformChatter(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    if (g_nextHandler)
        g_nextHandler(type, context, text);
}

bool clickable(QAbstractButton *button)
{
    return button->isVisible() && button->isEnabled();
}

} // namespace

class Walkthrough : public QObject
{
    Q_OBJECT

public:
    explicit Walkthrough(const QString &folder) : m_folder(folder) {}

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void start();
    void readDevice();
    void upgrade();
    void readAgain();
    void sameVersionRefused();
    void failingBurn();
    void silentDevice();
    void noDevice();
    void flasherBurn();
    void upgradeRecord();

private:
    bool save(QWidget *window, const QString &name);
    QString firmwareFile(int version) const;
    void click(QAbstractButton *button);
    QString deviceVersion() const;

    QString m_folder;
    bool m_dayBroken = false;
    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<WorkDir> m_demo;
    std::unique_ptr<SimDevice> m_device;
    std::unique_ptr<DialogScript> m_dialog;
    std::unique_ptr<BoxCamera> m_camera;
    std::unique_ptr<WorkerEvents> m_worker;
    std::unique_ptr<MainWindow> m_window;
    Ui_MainWindow *m_ui = nullptr;
    QProcess *m_process = nullptr;
    std::unique_ptr<QSignalSpy> m_runStarts;
    std::unique_ptr<QSignalSpy> m_runEnds;
    std::unique_ptr<BarRecorder> m_bar;
    std::unique_ptr<flasher::MainWindow> m_flasher;
};

bool Walkthrough::save(QWidget *window, const QString &name)
{
    return window->grab().save(QDir(m_folder).filePath(name));
}

QString Walkthrough::firmwareFile(int version) const
{
    return m_demo->path(QStringLiteral("firmware/fw_V%1_release.bin").arg(version));
}

void Walkthrough::click(QAbstractButton *button)
{
    QVERIFY2(clickable(button), qPrintable(button->objectName() + " is hidden or disabled"));
    QTest::mouseClick(button, Qt::LeftButton);
}

QString Walkthrough::deviceVersion() const
{
    return m_device->state().value(QStringLiteral("version"));
}

void Walkthrough::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");
    // The windows' debug chatter is kept out of the report; warnings still show.
    m_log.reset(new LogCapture);
    g_nextHandler = qInstallMessageHandler(dropPlatformChatter);

    // Run by hand, the stand-in may not be on PATH; a real tool must never be reached.
    if (QStandardPaths::findExecutable(QStringLiteral("esptool")) != kStandIn)
        qputenv("PATH", QByteArray(QUORBEL_STANDIN_DIR) + ':' + qgetenv("PATH"));
    QCOMPARE(QStandardPaths::findExecutable(QStringLiteral("esptool")), kStandIn);
    for (const char *name :
         {"ESPTOOL_STANDIN_CONTROL", "ESPTOOL_STANDIN_DEAD_PORTS", "ESPTOOL_STANDIN_PORT", "TERM"})
        qunsetenv(name);
    qputenv("ESPTOOL_STANDIN_SCENARIO", "ok");
    qputenv("ESPTOOL_STANDIN_PAUSE_MS", kPauseMs);

    // The day's own folder: the settings file and the firmware images live there.
    m_demo.reset(new WorkDir);
    QVERIFY(m_demo->isValid());
    for (int version : {13, 14, 15})
        QVERIFY(makeFile(firmwareFile(version), kFirmwareBytes));

    m_device.reset(new SimDevice({"--sn", kSn, "--version", "12", "--soc", QString::number(kSoc)}));
    QVERIFY2(m_device->start(), qPrintable(m_device->errorString()));
    qputenv("SIMDEVICE_STATE", m_device->stateFile().toLocal8Bit());
    qputenv("QUORBEL_SIMULATED_PORT", m_device->portPath().toLocal8Bit());

    m_dialog.reset(new DialogScript);
    m_camera.reset(new BoxCamera(m_folder));

    // As main does it: the worker runs in its own thread before the window exists.
    SerialInstance::GetInstance()->Init();
    m_worker.reset(new WorkerEvents);

    m_window.reset(new MainWindow);
    m_ui = WindowInspector::ui(*m_window);
    m_process = WindowInspector::process(*m_window);
    m_runStarts.reset(new QSignalSpy(m_process, &QProcess::started));
    m_runEnds.reset(
        new QSignalSpy(m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished)));
    m_bar.reset(new BarRecorder(m_ui->progressBar, m_folder));
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void Walkthrough::init()
{
    // Each step starts where the last one left the device and the windows.
    if (m_dayBroken)
        QSKIP("an earlier step failed; the rest of the day builds on it");
}

void Walkthrough::cleanup()
{
    if (QTest::currentTestFailed())
        m_dayBroken = true;
}

void Walkthrough::cleanupTestCase()
{
    m_flasher.reset();
    m_bar.reset();
    m_runEnds.reset();
    m_runStarts.reset();
    m_window.reset();
    m_worker.reset();
    SerialInstance::ShutdownInstance();
    m_camera.reset();
    m_dialog.reset();
    m_device.reset();
    m_demo.reset();
    qInstallMessageHandler(g_nextHandler);
    m_log.reset();
}

// The window as first shown: nothing read, nothing chosen, both bars empty.
void Walkthrough::start()
{
    // The first port list, asked for by the constructor, already names the device.
    QTRY_VERIFY_WITH_TIMEOUT(m_ui->m_pcomboBoxPortName->findText(m_device->portPath()) > 0,
                             kWaitMs);
    QVERIFY(save(m_window.get(), "01-start.png"));

    QCOMPARE(m_window->windowTitle(), QStringLiteral("Quorbel升级工具_V:0.00.01"));
    QCOMPARE(m_ui->lineEdit_Sn->text(), QString());
    QCOMPARE(m_ui->lineEdit_Vesion->text(), QString());
    QCOMPARE(m_ui->lineEdit->text(), QString());
    for (QProgressBar *bar : {m_ui->progressBar_BatteryInfo, m_ui->progressBar}) {
        QCOMPARE(bar->value(), 0);
        QCOMPARE(bar->text(), QStringLiteral("0%"));
        QCOMPARE(bar->property("state").toString(), QString());
    }
    QCOMPARE(m_ui->m_pGetInfo->text(), kIdle);
    QCOMPARE(m_ui->pushButton->text(), QStringLiteral("选择文件"));
    QCOMPARE(m_ui->pushButton_Burn->text(), QStringLiteral("升级"));
    for (QAbstractButton *button : {m_ui->m_pGetInfo, m_ui->pushButton, m_ui->pushButton_Burn})
        QVERIFY2(clickable(button), qPrintable(button->objectName()));
    for (QWidget *hidden :
         {static_cast<QWidget *>(m_ui->m_wgtSerial), static_cast<QWidget *>(m_ui->m_pBtnGetSn),
          static_cast<QWidget *>(m_ui->m_pBtnGetVesion),
          static_cast<QWidget *>(m_ui->m_pBtnGetBatteryInfo)})
        QVERIFY2(!hidden->isVisible(), qPrintable(hidden->objectName()));
    QCOMPARE(m_ui->m_pbtnConnect->text(), QStringLiteral("连接"));
    QCOMPARE(WindowInspector::deviceVersion(*m_window), -1);
    QCOMPARE(m_camera->count(), 0);
}

// "获取信息": the tool finds the port, the worker opens it, asks once, and closes it again.
void Walkthrough::readDevice()
{
    click(m_ui->m_pGetInfo);
    QVERIFY(WindowInspector::getInfoTimer(*m_window).isActive());
    QTRY_COMPARE_WITH_TIMEOUT(m_ui->lineEdit_Sn->text(), kSn, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_worker->states, (QStringList{"1,true", "0,true"}), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_ui->m_pbtnConnect->text(), QStringLiteral("连接"), kWaitMs);
    QVERIFY(save(m_window.get(), "02-read.png"));

    QCOMPARE(m_ui->lineEdit_Vesion->text(), QStringLiteral("12"));
    QCOMPARE(m_ui->progressBar_BatteryInfo->value(), kSoc);
    QCOMPARE(m_ui->progressBar_BatteryInfo->text(), QStringLiteral("76%"));
    QCOMPARE(m_ui->progressBar_BatteryInfo->property("state").toString(), QString());
    QCOMPARE(WindowInspector::deviceVersion(*m_window), 12);
    QCOMPARE(m_ui->m_pGetInfo->text(), kIdle);
    QVERIFY(!WindowInspector::getInfoTimer(*m_window).isActive());
    QCOMPARE(WindowInspector::portName(*m_window), m_device->portPath());
    QCOMPARE(m_log->linesStartingWith(QStringLiteral("COM:")),
             QStringList{QStringLiteral("COM: \"%1\"").arg(m_device->portPath())});
    QCOMPARE(m_process->state(), QProcess::NotRunning);
    QCOMPARE(m_runStarts->count(), 1);
    // One request, answered at its first transmission.
    QCOMPARE(m_device->receivedFrames().size(), 1);
    // The firmware side is untouched by a reading.
    QCOMPARE(m_ui->progressBar->value(), 0);
    QCOMPARE(m_camera->count(), 0);
}

// A newer image: the burn runs, the bar follows the tool's percentages, the box reports it.
void Walkthrough::upgrade()
{
    const QString file = firmwareFile(13);
    m_dialog->answer(file);
    click(m_ui->pushButton);
    QCOMPARE(m_dialog->calls().size(), 1);
    QCOMPARE(m_dialog->calls().last().caption, QStringLiteral("选择文件"));
    QCOMPARE(m_dialog->calls().last().filter, QStringLiteral("Files(*.bin)"));
    QCOMPARE(m_ui->lineEdit->text(), file);
    QCOMPARE(WindowInspector::firmwareVersion(*m_window), 13);
    QVERIFY(save(m_window.get(), "03-chosen.png"));

    m_bar->restart(QStringLiteral("03-upgrading.png"));
    m_camera->expect(QStringLiteral("03-upgraded-box.png"));
    click(m_ui->pushButton_Burn);
    // Marked before the tool has printed anything.
    QVERIFY(!m_ui->pushButton_Burn->isEnabled());
    QCOMPARE(m_ui->pushButton_Burn->property("state").toString(), QStringLiteral("burning"));
    QCOMPARE(m_ui->progressBar->property("state").toString(), QStringLiteral("burning"));
    QCOMPARE(m_ui->progressBar->value(), 0);
    // The tool starts once the image has been hashed for the upgrade record.
    QProcess *burn = WindowInspector::burnProcess(*m_window);
    QTRY_VERIFY_WITH_TIMEOUT(burn->state() != QProcess::NotRunning, kWaitMs);

    QTRY_COMPARE_WITH_TIMEOUT(m_camera->count(), 1, kWaitMs);
    QVERIFY(save(m_window.get(), "03-upgraded.png"));
    const BoxCamera::Box box = m_camera->last();
    QCOMPARE(box.title, QStringLiteral("提示"));
    QCOMPARE(box.text, QStringLiteral("升级成功"));
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
    QCOMPARE(box.picture, QStringLiteral("03-upgraded-box.png"));

    // The bar climbed through the tool's own percentages to 100.
    const QList<int> seen = m_bar->values();
    QVERIFY2(strictlyIncreasing(seen), qPrintable(values(seen)));
    QVERIFY2(!seen.isEmpty() && seen.last() == 100, qPrintable(values(seen)));
    const QSet<int> printed = printedPercentages(WindowInspector::runText(*m_window));
    int between = 0;
    for (const BarRecorder::Step &step : m_bar->steps()) {
        QVERIFY2(printed.contains(step.value), qPrintable(QString::number(step.value)));
        QCOMPARE(step.format, QStringLiteral("升级中... %p%"));
        if (step.value > 0 && step.value < 100)
            ++between;
    }
    QVERIFY2(between >= 3, qPrintable(values(seen)));
    QVERIFY(m_bar->midShotSaved());

    QCOMPARE(m_ui->progressBar->value(), 100);
    QCOMPARE(m_ui->progressBar->format(), QStringLiteral("升级完成...%p%"));
    QCOMPARE(m_ui->progressBar->text(), QStringLiteral("升级完成...100%"));
    QVERIFY(m_ui->progressBar->isTextVisible());
    QCOMPARE(m_ui->progressBar->property("state").toString(), QStringLiteral("burning"));
    QVERIFY(m_ui->pushButton_Burn->isEnabled());
    QCOMPARE(m_ui->pushButton_Burn->property("state").toString(), QString());
    QCOMPARE(burn->state(), QProcess::NotRunning);
    QCOMPARE(m_runEnds->count(), 1); // the reading's; the burn's tool is its run's own
    QCOMPARE(deviceVersion(), QStringLiteral("13"));
    // The device's answer to the read-back is on show, and the gate goes by it.
    QCOMPARE(m_ui->lineEdit_Vesion->text(), QStringLiteral("13"));
    QCOMPARE(WindowInspector::deviceVersion(*m_window), 13);
}

void Walkthrough::readAgain()
{
    click(m_ui->m_pGetInfo);
    QTRY_COMPARE_WITH_TIMEOUT(m_ui->lineEdit_Vesion->text(), QStringLiteral("13"), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_worker->states,
                              (QStringList{"1,true", "0,true", "1,true", "0,true"}), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_ui->m_pbtnConnect->text(), QStringLiteral("连接"), kWaitMs);
    QVERIFY(save(m_window.get(), "04-read-again.png"));

    QCOMPARE(WindowInspector::deviceVersion(*m_window), 13);
    QCOMPARE(m_ui->lineEdit_Sn->text(), kSn);
    QCOMPARE(m_ui->progressBar_BatteryInfo->value(), kSoc);
    QCOMPARE(m_ui->m_pGetInfo->text(), kIdle);
    QVERIFY(!WindowInspector::getInfoTimer(*m_window).isActive());
    QCOMPARE(m_device->receivedFrames().size(), 3); // the read-back's request among them
    // A reading leaves the last run's bar alone.
    QCOMPARE(m_ui->progressBar->text(), QStringLiteral("升级完成...100%"));
    QCOMPARE(m_camera->count(), 1);
}

// The device now runs the chosen image: refused, and no tool is started.
void Walkthrough::sameVersionRefused()
{
    QCOMPARE(WindowInspector::firmwareVersion(*m_window), 13);
    const int starts = m_runStarts->count();
    const QProcess *lastBurn = WindowInspector::burnProcess(*m_window);
    m_camera->expect(QStringLiteral("05-same-version-box.png"));
    click(m_ui->pushButton_Burn);
    QTRY_COMPARE_WITH_TIMEOUT(m_camera->count(), 2, kWaitMs);
    QVERIFY(save(m_window.get(), "05-same-version.png"));

    const BoxCamera::Box box = m_camera->last();
    QCOMPARE(box.title, QStringLiteral("警告"));
    QCOMPARE(box.text, QStringLiteral("相同版本不可升级！"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.picture, QStringLiteral("05-same-version-box.png"));
    QCOMPARE(m_process->state(), QProcess::NotRunning);
    QCOMPARE(m_runStarts->count(), starts);
    QCOMPARE(WindowInspector::burnProcess(*m_window), lastBurn);
    QVERIFY(m_ui->pushButton_Burn->isEnabled());
    QCOMPARE(m_ui->pushButton_Burn->property("state").toString(), QString());
    QCOMPARE(m_ui->progressBar->value(), 100);
    QCOMPARE(m_ui->progressBar->text(), QStringLiteral("升级完成...100%"));
    QCOMPARE(deviceVersion(), QStringLiteral("13"));
}

// Another image, and the tool gives up halfway: the bar turns to the error look at 100.
void Walkthrough::failingBurn()
{
    qputenv("ESPTOOL_STANDIN_SCENARIO", "burn-fail");
    const QString file = firmwareFile(14);
    m_dialog->answer(file);
    click(m_ui->pushButton);
    QCOMPARE(m_ui->lineEdit->text(), file);
    QCOMPARE(WindowInspector::firmwareVersion(*m_window), 14);

    m_bar->restart(QString());
    m_camera->expect(QStringLiteral("06-burn-failed-box.png"));
    click(m_ui->pushButton_Burn);
    QVERIFY(!m_ui->pushButton_Burn->isEnabled());
    QCOMPARE(m_ui->pushButton_Burn->property("state").toString(), QStringLiteral("burning"));
    QCOMPARE(m_ui->progressBar->property("state").toString(), QStringLiteral("burning"));
    QCOMPARE(m_ui->progressBar->value(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(m_camera->count(), 3, kWaitMs);
    QVERIFY(save(m_window.get(), "06-burn-failed.png"));
    qputenv("ESPTOOL_STANDIN_SCENARIO", "ok");

    const BoxCamera::Box box = m_camera->last();
    QCOMPARE(box.title, QStringLiteral("提示"));
    QCOMPARE(box.text, QStringLiteral("升级失败"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.picture, QStringLiteral("06-burn-failed-box.png"));

    // From the last run's 100 down to 0 under that run's format, up through the percentages
    // until the tool stopped, then straight to 100 for the verdict.
    const QList<BarRecorder::Step> steps = m_bar->steps();
    QVERIFY2(steps.size() >= 3, qPrintable(values(m_bar->values())));
    QCOMPARE(steps.first().value, 0);
    QCOMPARE(steps.first().format, QStringLiteral("升级完成...%p%"));
    QCOMPARE(steps.last().value, 100);
    const QList<int> climb = m_bar->values().mid(1, steps.size() - 2);
    QVERIFY2(strictlyIncreasing(climb) && climb.first() > 0 && climb.last() < 100,
             qPrintable(values(m_bar->values())));
    const QSet<int> printed = printedPercentages(WindowInspector::runText(*m_window));
    QVERIFY(!printed.contains(100));
    for (int value : climb)
        QVERIFY2(printed.contains(value), qPrintable(QString::number(value)));

    QCOMPARE(m_ui->progressBar->value(), 100);
    QCOMPARE(m_ui->progressBar->property("state").toString(), QStringLiteral("error"));
    QCOMPARE(m_ui->progressBar->format(), QStringLiteral("升级中... %p%"));
    QVERIFY(m_ui->pushButton_Burn->isEnabled());
    QCOMPARE(m_ui->pushButton_Burn->property("state").toString(), QString());
    QCOMPARE(m_process->state(), QProcess::NotRunning);
    QCOMPARE(deviceVersion(), QStringLiteral("13"));
}

// The device stops answering: three transmissions a second apart, then the warning; the
// waiting ends and the port is closed again.
void Walkthrough::silentDevice()
{
    QVERIFY(m_device->setState(QStringLiteral("fault"), QStringLiteral("silent")));
    const int framesBefore = m_device->receivedFrames().size();
    const QStringList statesBefore = m_worker->states;
    m_camera->expect(QStringLiteral("07-silent-device-box.png"));

    QElapsedTimer clock;
    clock.start();
    click(m_ui->m_pGetInfo);
    // While the device keeps quiet the button counts the wait and the port stays open.
    QTRY_VERIFY_WITH_TIMEOUT(m_ui->m_pGetInfo->text().startsWith(QStringLiteral("获取中.")),
                             kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_ui->m_pbtnConnect->text(), QStringLiteral("断开连接"), kWaitMs);
    QVERIFY(save(m_window.get(), "07-waiting.png"));
    const QStringList animation{QStringLiteral("获取中."), QStringLiteral("获取中.."),
                                QStringLiteral("获取中...")};
    QVERIFY2(animation.contains(m_ui->m_pGetInfo->text()), qPrintable(m_ui->m_pGetInfo->text()));

    QTRY_COMPARE_WITH_TIMEOUT(m_camera->count(), 4, kWaitMs);
    const qint64 waited = clock.elapsed();
    QTRY_COMPARE_WITH_TIMEOUT(m_ui->m_pbtnConnect->text(), QStringLiteral("连接"), kWaitMs);
    QVERIFY(save(m_window.get(), "07-silent-device.png"));
    QVERIFY(m_device->setState(QStringLiteral("fault"), QStringLiteral("none")));

    const BoxCamera::Box box = m_camera->last();
    QCOMPARE(box.title, QStringLiteral("警告"));
    QCOMPARE(box.text, QStringLiteral("通信失败"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.picture, QStringLiteral("07-silent-device-box.png"));
    QVERIFY2(waited >= 2800, qPrintable(QString::number(waited)));

    const QList<SimDevice::Frame> frames = m_device->receivedFrames();
    QCOMPARE(frames.size(), framesBefore + 3);
    for (int i = framesBefore; i < frames.size(); ++i) {
        QCOMPARE(frames.at(i).bytes, frames.first().bytes); // the same information request
        if (i > framesBefore)
            QVERIFY2(frames.at(i).ms - frames.at(i - 1).ms >= 900,
                     qPrintable(QString::number(frames.at(i).ms - frames.at(i - 1).ms)));
    }

    QCOMPARE(m_ui->m_pGetInfo->text(), kIdle);
    QVERIFY(!WindowInspector::getInfoTimer(*m_window).isActive());
    QStringList states = statesBefore;
    states << QStringLiteral("1,true") << QStringLiteral("0,true");
    QCOMPARE(m_worker->states, states);
    // What was read before stays on show, but the gate no longer trusts it.
    QCOMPARE(m_ui->lineEdit_Sn->text(), kSn);
    QCOMPARE(m_ui->lineEdit_Vesion->text(), QStringLiteral("13"));
    QCOMPARE(m_ui->progressBar_BatteryInfo->value(), kSoc);
    QCOMPARE(WindowInspector::deviceVersion(*m_window), -1);
}

// The tool finds no device: warned, the waiting ends, and no port is opened.
void Walkthrough::noDevice()
{
    qputenv("ESPTOOL_STANDIN_SCENARIO", "no-device");
    const int framesBefore = m_device->receivedFrames().size();
    const QStringList statesBefore = m_worker->states;
    m_camera->expect(QStringLiteral("08-no-device-box.png"));
    click(m_ui->m_pGetInfo);
    QTRY_COMPARE_WITH_TIMEOUT(m_camera->count(), 5, kWaitMs);
    QVERIFY(save(m_window.get(), "08-no-device.png"));
    qputenv("ESPTOOL_STANDIN_SCENARIO", "ok");

    const BoxCamera::Box box = m_camera->last();
    QCOMPARE(box.title, QStringLiteral("警告"));
    QCOMPARE(box.text, QStringLiteral("未检测到设备！"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.picture, QStringLiteral("08-no-device-box.png"));
    QCOMPARE(m_log->linesStartingWith(QStringLiteral("串口连接失败")).size(), 1);

    QCOMPARE(m_ui->m_pGetInfo->text(), kIdle);
    QVERIFY(!WindowInspector::getInfoTimer(*m_window).isActive());
    const int lists = m_worker->askPortList();
    QTRY_VERIFY_WITH_TIMEOUT(m_worker->portLists > lists, kWaitMs);
    QCOMPARE(m_worker->states, statesBefore);
    QCOMPARE(m_device->receivedFrames().size(), framesBefore);
    QCOMPARE(WindowInspector::portName(*m_window), m_device->portPath());
    QCOMPARE(m_ui->lineEdit_Vesion->text(), QStringLiteral("13"));
}

// The bare burn tool, started from the same folder: it opens the dialog where Quorbel left
// off, burns, and its bar and box report success.
void Walkthrough::flasherBurn()
{
    m_bar.reset();
    m_runEnds.reset();
    m_runStarts.reset();
    m_window->close();
    m_window.reset();
    m_ui = nullptr;
    m_process = nullptr;
    // Each program runs in its own process: the burn tool has no application style sheet.
    qApp->setStyleSheet(QString());

    m_flasher.reset(new flasher::MainWindow);
    flasher::Ui_MainWindow *ui = flasher::FlasherInspector::ui(*m_flasher);
    m_flasher->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_flasher.get()));
    QVERIFY(save(m_flasher.get(), "09-flasher-start.png"));

    QCOMPARE(m_flasher->windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(ui->pushButton->text(), QStringLiteral("选择文件"));
    QCOMPARE(ui->pushButton_Burn->text(), QStringLiteral("烧录"));
    QCOMPARE(ui->lineEdit->text(), QString());
    QCOMPARE(ui->progressBar->value(), 0);
    QCOMPARE(ui->progressBar->styleSheet(), QString::fromLatin1(flasher::kGreenBarStyle));

    const QString folder = m_demo->path(QStringLiteral("firmware"));
    const QString file = firmwareFile(15);
    m_dialog->answer(file);
    const int dialogs = m_dialog->calls().size();
    click(ui->pushButton);
    QCOMPARE(m_dialog->calls().size(), dialogs + 1);
    // Both programs keep the folder in the same settings file.
    QCOMPARE(m_dialog->calls().last().dir, folder);
    QCOMPARE(ui->lineEdit->text(), file);

    BarRecorder bar(ui->progressBar, m_folder);
    bar.restart(QStringLiteral("09-flashing.png"));
    m_camera->expect(QStringLiteral("09-flashed-box.png"));
    click(ui->pushButton_Burn);
    QProcess *process = flasher::FlasherInspector::process(*m_flasher);
    QTRY_VERIFY_WITH_TIMEOUT(process->state() != QProcess::NotRunning, kWaitMs);
    // The burn tool never disables its button.
    QVERIFY(ui->pushButton_Burn->isEnabled());

    QTRY_COMPARE_WITH_TIMEOUT(m_camera->count(), 6, kWaitMs);
    QVERIFY(save(m_flasher.get(), "09-flashed.png"));

    const BoxCamera::Box box = m_camera->last();
    QCOMPARE(box.title, QStringLiteral("提示"));
    QCOMPARE(box.text, QStringLiteral("烧录成功"));
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.picture, QStringLiteral("09-flashed-box.png"));

    const QList<int> seen = bar.values();
    QVERIFY2(strictlyIncreasing(seen), qPrintable(values(seen)));
    QVERIFY2(!seen.isEmpty() && seen.last() == 100, qPrintable(values(seen)));
    const QSet<int> printed = printedPercentages(flasher::FlasherInspector::runText(*m_flasher));
    int between = 0;
    for (int value : seen) {
        QVERIFY2(printed.contains(value), qPrintable(QString::number(value)));
        if (value > 0 && value < 100)
            ++between;
    }
    QVERIFY2(between >= 3, qPrintable(values(seen)));
    QVERIFY(bar.midShotSaved());

    QCOMPARE(ui->progressBar->value(), 100);
    QCOMPARE(ui->progressBar->text(), QStringLiteral("100%"));
    QCOMPARE(ui->progressBar->styleSheet(), QString::fromLatin1(flasher::kGreenBarStyle));
    QCOMPARE(process->state(), QProcess::NotRunning);
    QCOMPARE(deviceVersion(), QStringLiteral("15"));
}

// The day's burns as the upgrade record keeps them: one row each, in order, each with its
// transcript. A copy goes beside the screenshots, for the reader to open.
void Walkthrough::upgradeRecord()
{
    const QString config = m_demo->path(QStringLiteral("CONFIG"));
    QStringList burns;
    const QList<QMap<QString, QString>> rows = history::rows(config);
    for (const QMap<QString, QString> &row : rows) {
        burns << QStringList{row.value("program"),        row.value("serial"),
                             row.value("device_version"), QFileInfo(row.value("file")).fileName(),
                             row.value("file_version"),   row.value("result"),
                             row.value("exit_code")}
                     .join('|');
        const QString transcript =
            QString::fromUtf8(history::readAll(config + "/logs/" + row.value("transcript")));
        QVERIFY2(transcript.startsWith(QStringLiteral("esptool --chip esp32s3 ")) &&
                     transcript.contains(QLatin1String("Writing at")),
                 qPrintable(row.value("transcript")));
        QCOMPARE(row.value("sha256").size(), 64);
    }
    QCOMPARE(burns, (QStringList{"Quorbel|" + kSn + "|12|fw_V13_release.bin|13|success|0",
                                 "Quorbel|" + kSn + "|13|fw_V14_release.bin|14|failure|2",
                                 "flasher|||fw_V15_release.bin|15|success|0"}));

    const QDir copy(QDir(m_folder).filePath(QStringLiteral("CONFIG")));
    QVERIFY(copy.mkpath(QStringLiteral("logs")));
    QFile::remove(copy.filePath(QStringLiteral("history.csv")));
    QVERIFY(QFile::copy(config + "/history.csv", copy.filePath(QStringLiteral("history.csv"))));
    for (const QMap<QString, QString> &row : rows) {
        const QString name = QStringLiteral("logs/") + row.value("transcript");
        QFile::remove(copy.filePath(name));
        QVERIFY(QFile::copy(config + "/" + name, copy.filePath(name)));
    }
}

namespace
{

// QTest options followed by a value of their own.
bool takesValue(const QByteArray &option)
{
    static const QList<QByteArray> options{
        "-o",          "-maxwarnings", "-eventdelay",   "-keydelay",     "-mousedelay",
        "-iterations", "-median",      "-minimumvalue", "-minimumtotal", "-perfcounter"};
    return options.contains(option);
}

bool namesTestFunction(const QByteArray &argument)
{
    QByteArray name = argument;
    const int tag = name.indexOf(':');
    if (tag >= 0)
        name.truncate(tag);
    name.replace("()", "");
    const QMetaObject &meta = Walkthrough::staticMetaObject;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        if (meta.method(i).name() == name)
            return true;
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    // Pictures need no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);

    // The application object has taken its own options; what is left is QTest's and ours.
    std::vector<char *> arguments(argv, argv + argc);
    QString folder = qEnvironmentVariable("QUORBEL_WALKTHROUGH_DIR");
    if (arguments.size() > 1) {
        const QByteArray last = arguments.back();
        const QByteArray before = arguments.size() > 2 ? arguments.at(arguments.size() - 2) : "";
        if (!last.startsWith('-') && !takesValue(before) && !namesTestFunction(last)) {
            folder = QString::fromLocal8Bit(last);
            arguments.pop_back();
        }
    }
    if (folder.isEmpty())
        folder = QStringLiteral("screenshots");
    // Taken before the day moves into a folder of its own.
    folder = QDir(folder).absolutePath();
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "cannot create the screenshot folder %s\n", qPrintable(folder));
        return 1;
    }

    int status = 0;
    {
        Walkthrough day(folder);
        status = QTest::qExec(&day, int(arguments.size()), arguments.data());
    }
    const int pictures = QDir(folder).entryList({QStringLiteral("*.png")}, QDir::Files).size();
    std::printf("%d screenshots in %s\n", pictures, qPrintable(folder));
    return status;
}

#include "tst_walkthrough.moc"
