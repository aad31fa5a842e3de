// Get-info overhead: what the program adds between the end of the probe and the three filled
// fields, with a device that answers at once. The real window, the real worker thread, the
// esptool stand-in found through PATH and the simulated device on a pseudo-terminal; the
// harness only presses the button and watches. The clock starts when the window's process
// object notices the tool's end (its state change, emitted right before the finished signal
// the window acts on) and stops when the last of serial number, version and charge changes.
// The reference is the physical floor: the request and its answer on a 115200-baud line.

#include "benchsupport.h"

#include "mainwindow.h"
#include "messages.h"
#include "serialinstance.h"
#include "simdevice.h"
#include "ui_mainwindow.h"
#include "windowinspector.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace
{

// Request 9 (one payload byte) and its answer (23 payload bytes), 8 bytes of frame each, 10
// bits per byte on the line.
constexpr double kFloorMs = (1 + 8 + 23 + 8) * 10 * 1000.0 / 115200.0;

// The window's debug lines are still formatted; only their printing is left out, so a terminal
// does not take part in the figure.
void dropDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// Runs the event loop until a condition holds, woken by poke() from the events that may make it
// hold. No sleeping between checks: the loop must stay free to deliver what is being timed.
class Waiter
{
public:
    bool until(const std::function<bool()> &done, int timeoutMs)
    {
        if (done())
            return true;
        QEventLoop loop;
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
        // A message box runs a loop of its own; a slower look-out finds it, reports and closes it.
        // It also catches a condition that came true without a poke, such as a signal emitted
        // before the harness connected to it.
        QTimer lookout;
        QObject::connect(&lookout, &QTimer::timeout, &loop, [&loop, &done] {
            if (done())
                loop.quit();
            if (QWidget *box = QApplication::activeModalWidget()) {
                if (auto *messageBox = qobject_cast<QMessageBox *>(box))
                    std::fprintf(stderr, "getinfo: the window said \"%s\"\n",
                                 qPrintable(messageBox->text()));
                box->close();
                loop.quit();
            }
        });
        m_loop = &loop;
        m_done = done;
        timeout.start(timeoutMs);
        lookout.start(100);
        loop.exec();
        m_loop = nullptr;
        m_done = nullptr;
        return done();
    }

    void poke()
    {
        if (m_loop && m_done && m_done())
            m_loop->quit();
    }

private:
    QEventLoop *m_loop = nullptr;
    std::function<bool()> m_done;
};

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler(dropDebug);
    const int runs = bench::envCount("QUORBEL_BENCH_GETINFO_RUNS", 30);

    // The settings file goes where the window is started.
    QTemporaryDir work;
    if (!work.isValid() || !QDir::setCurrent(work.path())) {
        std::fprintf(stderr, "getinfo: no temporary folder\n");
        return 1;
    }
    SimDevice device({"--sn", "QB-BENCH-0000001", "--version", "12", "--soc", "80"});
    if (!device.start()) {
        std::fprintf(stderr, "getinfo: %s\n", qPrintable(device.errorString()));
        return 1;
    }
    qputenv("QUORBEL_SIMULATED_PORT", device.portPath().toLocal8Bit());
    qputenv("SIMDEVICE_STATE", device.stateFile().toLocal8Bit());
    qputenv("ESPTOOL_STANDIN_PAUSE_MS", "0");
    qputenv("PATH", QUORBEL_STANDIN_DIR ":" + qgetenv("PATH"));
    for (const char *name : {"ESPTOOL_STANDIN_CONTROL", "ESPTOOL_STANDIN_SCENARIO",
                             "ESPTOOL_STANDIN_DEAD_PORTS", "ESPTOOL_STANDIN_PORT"})
        qunsetenv(name);

    qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");
    SerialInstance *worker = SerialInstance::GetInstance();
    worker->Init();

    int exitCode = 0;
    {
        MainWindow w;
        w.show();
        Ui_MainWindow *ui = WindowInspector::ui(w);
        QProcess *process = WindowInspector::process(w);

        // Context of the harness's connections, and the waiting loop they wake.
        QObject notifier;
        Waiter waiter;
        auto poke = [&waiter] { waiter.poke(); };
        QObject::connect(worker, &SerialInstance::SigGetPortInfoList, &notifier, poke);

        bool armed = false;
        int filled = 0;
        bool portClosed = false;
        std::int64_t exitNs = 0, filledNs = 0;
        auto mark = [&](int field) {
            if (!armed)
                return;
            filled |= field;
            if (filled == 7 && !filledNs) {
                filledNs = bench::nowNs();
                poke();
            }
        };
        QObject::connect(ui->lineEdit_Sn, &QLineEdit::textChanged, &notifier, [&] { mark(1); });
        QObject::connect(ui->lineEdit_Vesion, &QLineEdit::textChanged, &notifier, [&] { mark(2); });
        QObject::connect(ui->progressBar_BatteryInfo, &QProgressBar::valueChanged, &notifier,
                         [&] { mark(4); });
        QObject::connect(process, &QProcess::stateChanged, &notifier,
                         [&](QProcess::ProcessState state) {
                             if (armed && state == QProcess::NotRunning)
                                 exitNs = bench::nowNs();
                         });
        QObject::connect(worker, &SerialInstance::SigConnectState, &notifier, [&](int mode, bool) {
            if (mode == 0) {
                portClosed = true;
                poke();
            }
        });

        const bool listed = waiter.until(
            [&] { return ui->m_pcomboBoxPortName->findText(device.portPath()) >= 0; }, 10000);
        if (!listed) {
            std::fprintf(stderr, "getinfo: the window never listed the simulated port\n");
            exitCode = 1;
        }

        std::vector<double> overheadMs;
        for (int i = -2; i < runs && exitCode == 0; ++i) {
            armed = false;
            ui->lineEdit_Sn->clear();
            ui->lineEdit_Vesion->clear();
            ui->progressBar_BatteryInfo->reset();
            filled = 0;
            exitNs = filledNs = 0;
            portClosed = false;
            armed = true;
            ui->m_pGetInfo->click();
            // Done once the fields are filled and the window has closed the port again, so the
            // next run finds it as the first one did.
            if (!waiter.until([&] { return filledNs && portClosed; }, 15000) || !exitNs ||
                exitNs > filledNs) {
                std::fprintf(stderr, "getinfo: run %d did not complete\n", i + 1);
                exitCode = 1;
                break;
            }
            // The first two runs load what the later ones find ready; not counted.
            if (i >= 0)
                overheadMs.push_back(double(filledNs - exitNs) / 1e6);
        }
        if (exitCode == 0) {
            std::fprintf(stderr, "getinfo: runs %zu  median %.3f ms  min %.3f  max %.3f\n",
                         overheadMs.size(), bench::median(overheadMs),
                         *std::min_element(overheadMs.begin(), overheadMs.end()),
                         bench::maximum(overheadMs));
            const double m = bench::median(overheadMs);
            bench::row("get-info, tool exit to 3 fields filled, ms (median of " +
                           std::to_string(runs) + ")",
                       bench::number(m, 2), bench::number(kFloorMs, 2) + " (40 bytes at 115200)",
                       bench::ratio(m, kFloorMs));
        }
    }
    SerialInstance::ShutdownInstance();
    return exitCode;
}
