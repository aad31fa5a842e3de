// The upgrade record before a burn: how late a 1 ms GUI timer fires from begin() (pruning a
// full logs folder, hashing the image in the record's thread) through ready() to the written
// transcript and row. The reference hashes the same image on the GUI thread itself, which is
// what the thread is there to avoid.

#include "benchsupport.h"
#include "latenessprobe.h"

#include "burnrecord.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QMainWindow>
#include <QTemporaryDir>

#include <cstdio>

namespace
{

// Runs the event loop with the probe recording until work() has called its done(); the firing
// after that still counts, since it holds the end of the work. Returns the longest lateness.
double longestStall(const std::function<void(std::function<void()> done)> &work)
{
    LatenessProbe probe;
    QEventLoop loop;
    bool ended = false;
    probe.onTick = [&] {
        if (ended) {
            probe.stop();
            loop.quit();
        }
    };
    probe.start();
    QTimer::singleShot(20, &loop, [&] {
        probe.record();
        work([&] { ended = true; });
    });
    loop.exec();
    return bench::maximum(probe.latenessMs());
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int runs = bench::envCount("QUORBEL_BENCH_RECORD_RUNS", 10);
    const int mebibytes = bench::envCount("QUORBEL_BENCH_RECORD_MIB", 16);

    QTemporaryDir work;
    const QString image = work.filePath(QStringLiteral("fw_V12_bench.bin"));
    const QString config = work.filePath(QStringLiteral("CONFIG"));
    QFile file(image);
    // A full logs folder, so that every begin() scans 500 names and deletes one.
    bool prepared = work.isValid() && QDir().mkpath(config + "/logs") &&
                    file.open(QIODevice::WriteOnly) &&
                    file.write(QByteArray(mebibytes << 20, 'q')) == qint64(mebibytes) << 20;
    file.close();
    for (int i = 0; prepared && i < record::BurnRecord::kKeptTranscripts; ++i)
        prepared = QFile(config + "/logs/" +
                         record::transcriptName(QDateTime::currentDateTime().addDays(-1 - i),
                                                QStringLiteral("SN")))
                       .open(QIODevice::WriteOnly);
    if (!prepared) {
        std::fprintf(stderr, "record: could not prepare the image and the logs folder\n");
        return 1;
    }
    // About what a burn of this image prints: one progress line per 16 KiB.
    QString runText;
    for (int i = 0; i < mebibytes * 64; ++i)
        runText += QStringLiteral("\rWriting at 0x%1 [=====>    ]  %2% 16384/16384 bytes... ")
                       .arg(0x10000 + i * 16384, 8, 16, QLatin1Char('0'))
                       .arg(i * 100.0 / (mebibytes * 64), 0, 'f', 1);

    QMainWindow window;
    window.show();
    QEventLoop settle;
    QTimer::singleShot(300, &settle, &QEventLoop::quit);
    settle.exec();

    record::BurnRecord burn(QStringLiteral("Quorbel"), config, &window);
    const record::RunInfo run{QStringLiteral("SN0042"), 10, image, QString()};
    std::function<void()> onReady;
    QObject::connect(&burn, &record::BurnRecord::ready, &window, [&] {
        burn.finish(record::Result::Success, 0, runText);
        onReady();
    });
    std::vector<double> threaded, onGui;
    for (int i = 0; i < runs; ++i) {
        const double t = longestStall([&](std::function<void()> done) {
            onReady = std::move(done);
            burn.begin(run);
        });
        const double g = longestStall([&](std::function<void()> done) {
            const std::atomic<bool> never{false};
            record::hashFile(image, never);
            done();
        });
        threaded.push_back(t);
        onGui.push_back(g);
        std::fprintf(stderr,
                     "record run %d: longest stall %.2f ms, hashing on the GUI thread %.2f ms\n",
                     i + 1, t, g);
    }

    const std::string what = std::to_string(mebibytes) + " MiB image";
    const double mt = bench::median(threaded), mg = bench::median(onGui);
    bench::row("longest GUI stall, record begin to written row, " + what + ", ms (median of " +
                   std::to_string(runs) + " runs)",
               bench::number(mt, 2), bench::number(mg, 2) + " (hash on the GUI thread)",
               bench::ratio(mt, mg));
    const double wt = bench::maximum(threaded), wg = bench::maximum(onGui);
    bench::row("longest GUI stall, record, worst of " + std::to_string(runs) + " runs, ms",
               bench::number(wt, 2), bench::number(wg, 2), bench::ratio(wt, wg));
    return 0;
}
