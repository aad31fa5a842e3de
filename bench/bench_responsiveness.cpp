// Responsiveness during a burn: how late a 1 ms repeating timer on the GUI thread fires while
// the esptool stand-in prints a burn as fast as it can, from the first progress chunk until the
// verdict box is up (the handling of the tool's end is part of the burn). The reference is the
// same probe in a bare main-window program reading a process that prints the same bytes (cat
// of a recording of that very burn) and throws them away: the cost of merely receiving them.
//
// Without arguments this program is the driver: it writes the image, records the burn and
// runs the two children alternately, one burn per child process, so that every burn starts
// from a fresh program as a user's first one does. The children are this program again:
//   --child quorbel <image>      the real window burns <image>
//   --child bare <recording>     a bare window reads cat <recording>

#include "benchsupport.h"
#include "latenessprobe.h"

#include "esptool.h"
#include "mainwindow.h"
#include "messages.h"
#include "serialinstance.h"
#include "ui_mainwindow.h"
#include "windowinspector.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMainWindow>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>

namespace
{

const char kPort[] = "/dev/ttyACM0";

void dropDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

void report(const LatenessProbe &probe)
{
    std::printf("lateness_ms");
    for (double ms : probe.latenessMs())
        std::printf(" %.4f", ms);
    std::printf("\n");
    std::fflush(stdout);
}

// Lets start-up work (first paint, the worker's first port list) finish before measuring.
void settle()
{
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
}

int childQuorbel(const QString &image)
{
    qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");
    SerialInstance::GetInstance()->Init();
    int exitCode = 1;
    {
        MainWindow w;
        w.show();
        settle();
        // Past the version gate as a user would be: device version read, newer file chosen.
        WindowInspector::setFilePath(w, image);
        WindowInspector::setFirmwareVersion(
            w, WindowInspector::getFileVersion(w, QFileInfo(image).fileName()));
        WindowInspector::setDeviceVersion(w, 10);
        WindowInspector::setPortName(w, QString::fromLatin1(kPort));

        // Recording starts with the first progress chunk (the window has just switched the
        // bar to its progress format): the tool's header lines come before a pause in which it
        // compresses the image, and quiet firings there would flatter the percentile.
        LatenessProbe probe;
        QProgressBar *bar = WindowInspector::ui(w)->progressBar;
        probe.onTick = [&] {
            // The tool's text is judged a success once the bar reads "验证中...": what follows is
            // the device's read-back, which prints nothing, and no device answers here.
            const bool judged = bar->format().startsWith(QStringLiteral("验证中"));
            QWidget *box = QApplication::activeModalWidget();
            if (!box && !judged)
                return;
            probe.stop();
            auto *messageBox = qobject_cast<QMessageBox *>(box);
            const QString text = messageBox ? messageBox->text() : QString();
            if (box)
                box->close();
            if (judged || text == QStringLiteral("升级成功")) {
                report(probe);
                exitCode = 0;
            } else {
                std::fprintf(stderr, "responsiveness: the burn ended with \"%s\"\n",
                             qPrintable(text));
            }
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        };
        probe.start();
        QTimer::singleShot(60000, qApp, &QCoreApplication::quit);
        WindowInspector::ui(w)->pushButton_Burn->click();
        QObject::connect(WindowInspector::burnProcess(w), &QProcess::readyReadStandardOutput,
                         [&probe, bar] {
                             if (bar->format().startsWith(QStringLiteral("升级中")))
                                 probe.record();
                         });
        qApp->exec();
    }
    SerialInstance::ShutdownInstance();
    return exitCode;
}

int childBare(const QString &recording)
{
    QMainWindow w;
    w.show();
    settle();

    LatenessProbe probe;
    QProcess cat;
    cat.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&cat, &QProcess::readyReadStandardOutput, [&] {
        probe.record();
        cat.readAllStandardOutput();
    });
    // The firing after the end is still counted: its lateness holds the handling of the end,
    // as the firing that finds Quorbel's verdict box holds the window's.
    int exitCode = 1;
    bool ended = false;
    QObject::connect(&cat, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                     [&](int code, QProcess::ExitStatus status) {
                         ended = code == 0 && status == QProcess::NormalExit;
                         if (!ended)
                             QTimer::singleShot(0, qApp, &QCoreApplication::quit);
                     });
    probe.onTick = [&] {
        if (!ended || !probe.recording())
            return;
        probe.stop();
        report(probe);
        exitCode = 0;
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    };
    probe.start();
    QTimer::singleShot(60000, qApp, &QCoreApplication::quit);
    cat.start(QStringLiteral("cat"), {recording});
    qApp->exec();
    return exitCode;
}

// ---------------------------------------------------------------------------------------------
// Driver

QProcessEnvironment burnEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("PATH"),
               QStringLiteral(QUORBEL_STANDIN_DIR ":") + env.value(QStringLiteral("PATH")));
    env.insert(QStringLiteral("ESPTOOL_STANDIN_PAUSE_MS"), QStringLiteral("0"));
    env.insert(QStringLiteral("ESPTOOL_STANDIN_SCENARIO"), QStringLiteral("ok"));
    env.insert(QStringLiteral("ESPTOOL_STANDIN_PORT"), QString::fromLatin1(kPort));
    for (const char *name : {"ESPTOOL_STANDIN_CONTROL", "ESPTOOL_STANDIN_DEAD_PORTS",
                             "SIMDEVICE_STATE", "QUORBEL_SIMULATED_PORT"})
        env.remove(QString::fromLatin1(name));
    return env;
}

bool writeImage(const QString &path, int mebibytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Random bytes do not compress, so the tool reports one progress line per 16 KiB of image.
    std::mt19937_64 rng(20240611);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < mebibytes; ++i) {
        for (int k = 0; k < block.size(); k += 8) {
            const std::uint64_t value = rng();
            std::memcpy(block.data() + k, &value, 8);
        }
        if (file.write(block) != block.size())
            return false;
    }
    return true;
}

// The burn as the window starts it, its output kept as the window reads it.
bool recordBurn(const QString &image, const QString &recording)
{
    QProcess tool;
    QProcessEnvironment env = burnEnvironment();
    env.insert(QStringLiteral("NO_COLOR"), QStringLiteral("1"));
    tool.setProcessEnvironment(env);
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.setStandardOutputFile(recording);
    // The program is looked up on this process's PATH, which does not lead to the stand-in.
    tool.start(QStringLiteral(QUORBEL_STANDIN_DIR "/") + esptool::program(),
               esptool::burnArguments(image));
    if (!tool.waitForFinished(60000))
        return false;
    QFile file(recording);
    return file.open(QIODevice::ReadOnly) && file.readAll().contains("Hard resetting via RTS pin");
}

bool runChild(const QString &mode, const QString &file, std::vector<double> *latenessMs)
{
    QProcess child;
    child.setProcessEnvironment(burnEnvironment());
    child.setWorkingDirectory(QFileInfo(file).absolutePath());
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), mode, file});
    if (!child.waitForFinished(90000)) {
        child.kill();
        child.waitForFinished(5000);
        return false;
    }
    const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
    if (child.exitCode() != 0 || fields.value(0) != "lateness_ms")
        return false;
    for (int i = 1; i < fields.size(); ++i)
        latenessMs->push_back(fields.at(i).toDouble());
    return latenessMs->size() > 0;
}

int driver()
{
    const int runs = bench::envCount("QUORBEL_BENCH_BURN_RUNS", 10);
    const int mebibytes = bench::envCount("QUORBEL_BENCH_IMAGE_MIB", 32);
    QTemporaryDir work;
    const QString image = work.filePath(QStringLiteral("fw_V12_bench.bin"));
    const QString recording = work.filePath(QStringLiteral("burn.txt"));
    if (!work.isValid() || !writeImage(image, mebibytes) || !recordBurn(image, recording)) {
        std::fprintf(stderr, "responsiveness: could not prepare the image and its recording\n");
        return 1;
    }
    std::fprintf(stderr, "responsiveness: %d MiB image, %lld bytes of burn output\n", mebibytes,
                 static_cast<long long>(QFileInfo(recording).size()));

    std::vector<double> pooledQ, pooledB, maxQ, maxB;
    for (int i = 0; i < runs; ++i) {
        const bool quorbelFirst = (i % 2) == 0;
        for (int k = 0; k < 2; ++k) {
            const bool isQuorbel = (k == 0) == quorbelFirst;
            std::vector<double> lateness;
            if (!runChild(isQuorbel ? QStringLiteral("quorbel") : QStringLiteral("bare"),
                          isQuorbel ? image : recording, &lateness)) {
                std::fprintf(stderr, "responsiveness: the %s burn failed\n",
                             isQuorbel ? "Quorbel" : "bare");
                return 1;
            }
            std::vector<double> &pooled = isQuorbel ? pooledQ : pooledB;
            pooled.insert(pooled.end(), lateness.begin(), lateness.end());
            (isQuorbel ? maxQ : maxB).push_back(bench::maximum(lateness));
            std::fprintf(stderr, "responsiveness run %d %-7s: %zu firings, longest %.2f ms\n",
                         i + 1, isQuorbel ? "Quorbel" : "bare", lateness.size(),
                         bench::maximum(lateness));
        }
    }

    const std::string what = "burn output (" + std::to_string(mebibytes) + " MiB image)";
    const double mq = bench::median(maxQ), mb = bench::median(maxB);
    bench::row("longest GUI stall during " + what + ", ms (median of " + std::to_string(runs) +
                   " runs)",
               bench::number(mq, 2), bench::number(mb, 2) + " (bare window, cat of the output)",
               bench::ratio(mq, mb));
    const double wq = bench::maximum(maxQ), wb = bench::maximum(maxB);
    bench::row("longest GUI stall, worst of " + std::to_string(runs) + " runs, ms",
               bench::number(wq, 2), bench::number(wb, 2), bench::ratio(wq, wb));
    const double pq = bench::percentile(pooledQ, 99), pb = bench::percentile(pooledB, 99);
    bench::row("99th percentile timer lateness, ms (firings of all runs pooled: " +
                   std::to_string(pooledQ.size()) + " and " + std::to_string(pooledB.size()) + ")",
               bench::number(pq, 3), bench::number(pb, 3), bench::ratio(pq, pb));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 4 && qstrcmp(argv[1], "--child") == 0) {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        qInstallMessageHandler(dropDebug);
        const QString file = QString::fromLocal8Bit(argv[3]);
        if (qstrcmp(argv[2], "quorbel") == 0)
            return childQuorbel(file);
        if (qstrcmp(argv[2], "bare") == 0)
            return childBare(file);
        return 2;
    }
    QCoreApplication app(argc, argv);
    return driver();
}
