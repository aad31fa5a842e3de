// The station's bench: eight lanes burning eight simulated devices at once, against one lane
// alone, with an esptool stand-in that takes a fixed time per burn (its pause per 16 KiB block
// of the image); and the GUI's longest stall from the press of "全部升级" to the last verdict,
// while the eight tools print their progress. The real window (offscreen), the real lanes,
// workers, tools and record; the harness only chooses the file and presses the button. The two
// kinds of run alternate, each in a window of its own, and medians are reported.

#include "benchsupport.h"
#include "latenessprobe.h"

#include "firmwarechoice.h"
#include "lane.h"
#include "simdevice.h"
#include "station.h"
#include "stationwindow.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <vector>

namespace
{

constexpr int kLanes = 8;
constexpr int kImageBytes = 1 << 20; // 64 blocks of the stand-in's progress
constexpr char kPauseMs[] = "25";    // per block: about 1.6 s of writing per burn
constexpr double kFrameMs = 16.0;

void dropDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// Runs the event loop until done() holds, looking every few milliseconds; false at the limit.
bool until(const std::function<bool()> &done, int timeoutMs)
{
    QEventLoop loop;
    QTimer look, limit;
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    look.start(5);
    limit.start(timeoutMs);
    if (!done())
        loop.exec();
    return done();
}

bool allIn(const station::Station &station, int lanes, station::Lane::State state)
{
    const auto &all = station.lanes();
    return all.size() == lanes && std::all_of(all.cbegin(), all.cend(), [state](auto *lane) {
               return lane->state() == state;
           });
}

struct Run {
    double seconds = 0;
    double longestStallMs = 0;
};

// One window over the first `lanes` devices: the file chosen, every lane pressed into its burn,
// timed to the last verdict. False when a lane does not succeed.
bool burnAll(const std::vector<std::unique_ptr<SimDevice>> &devices, int lanes,
             const QString &image, Run *run)
{
    QStringList ports;
    for (int i = 0; i < lanes; ++i)
        ports << devices[size_t(i)]->portPath();
    qputenv("QUORBEL_SIMULATED_PORT", ports.join(QDir::listSeparator()).toUtf8());
    firmware::setFileDialog([image](QWidget *, const QString &, const QString &, const QString &,
                                    QFileDialog::Options) { return image; });
    station::StationWindow window;
    window.show();
    station::Station &station = *window.station();
    if (!until([&] { return allIn(station, lanes, station::Lane::State::NoFile); }, 60000))
        return false;
    window.findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
    if (!allIn(station, lanes, station::Lane::State::Ready))
        return false;

    LatenessProbe probe;
    probe.start();
    probe.record();
    const std::int64_t start = bench::nowNs();
    window.findChild<QPushButton *>(QStringLiteral("pushButton_Burn"))->click();
    const bool ended = until(
        [&] {
            const auto &all = station.lanes();
            return std::none_of(all.cbegin(), all.cend(),
                                [](auto *lane) { return lane->isRunning(); });
        },
        120000);
    run->seconds = double(bench::nowNs() - start) / 1e9;
    probe.stop();
    run->longestStallMs = bench::maximum(probe.latenessMs());
    return ended && allIn(station, lanes, station::Lane::State::Succeeded);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler(dropDebug);
    const int runs = bench::envCount("QUORBEL_BENCH_STATION_RUNS", 5);

    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()))
        return 1;
    qputenv("PATH", QByteArray(QUORBEL_STANDIN_DIR) + ':' + qgetenv("PATH"));
    for (const char *name : {"ESPTOOL_STANDIN_CONTROL", "ESPTOOL_STANDIN_SCENARIO",
                             "ESPTOOL_STANDIN_DEAD_PORTS", "ESPTOOL_STANDIN_PORT", "TERM"})
        qunsetenv(name);
    qputenv("ESPTOOL_STANDIN_PAUSE_MS", kPauseMs);

    std::vector<std::unique_ptr<SimDevice>> devices;
    QStringList states;
    for (int i = 0; i < kLanes; ++i) {
        devices.emplace_back(
            new SimDevice({QStringLiteral("--sn"), QStringLiteral("QB-BENCH-%1").arg(i)}));
        if (!devices.back()->start()) {
            std::fprintf(stderr, "station: %s\n", qPrintable(devices.back()->errorString()));
            return 1;
        }
        states << devices.back()->stateFile();
    }
    qputenv("SIMDEVICE_STATE", states.join(QDir::listSeparator()).toUtf8());

    QByteArray bytes(kImageBytes, '\0');
    std::mt19937 random(7);
    for (char &b : bytes)
        b = char(random());
    std::vector<double> one, eight, stalls;
    for (int i = 0; i < runs; ++i) {
        for (const int lanes : {1, kLanes}) {
            // A version of its own for every run, so the gate never skips a device.
            const QString image =
                dir.filePath(QStringLiteral("fw_V%1_bench.bin").arg(100 + 2 * i + (lanes > 1)));
            QFile file(image);
            if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
                return 1;
            file.close();
            Run run;
            if (!burnAll(devices, lanes, image, &run)) {
                std::fprintf(stderr, "station: run %d with %d lanes did not succeed\n", i + 1,
                             lanes);
                return 1;
            }
            std::fprintf(stderr, "station: run %d, %d lanes: %.3f s, longest stall %.2f ms\n",
                         i + 1, lanes, run.seconds, run.longestStallMs);
            (lanes > 1 ? eight : one).push_back(run.seconds);
            if (lanes > 1)
                stalls.push_back(run.longestStallMs);
        }
    }
    const std::string of = " (median of " + std::to_string(runs) + ")";
    bench::row("station, eight lanes to the last verdict" + of,
               bench::number(bench::median(eight), 2) + " s",
               bench::number(bench::median(one), 2) + " s (one lane alone)",
               bench::ratio(bench::median(eight), bench::median(one)));
    bench::row("longest GUI stall, eight tools printing, press to last verdict" + of,
               bench::number(bench::median(stalls), 2) + " ms",
               bench::number(kFrameMs, 0) + " ms (one frame at 60 Hz)",
               bench::ratio(bench::median(stalls), kFrameMs));
    bench::row("the same, worst of " + std::to_string(runs) + " runs",
               bench::number(bench::maximum(stalls), 2) + " ms", bench::number(kFrameMs, 0) + " ms",
               bench::ratio(bench::maximum(stalls), kFrameMs));
    return 0;
}
