// The upgrade record around a burn: how late a 1 ms GUI timer fires from a run's start (pruning
// a full logs folder, hashing the image in the run's thread) to its written transcript and row.
// No tool is on the path, so the run ends as soon as the hash is done. The reference hashes the
// same image on the GUI thread itself, which is what the thread is there to avoid.

#include "benchsupport.h"
#include "latenessprobe.h"

#include "burnrun.h"

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
    for (int i = 0; prepared && i < burn::BurnRun::kKeptTranscripts; ++i)
        prepared = QFile(config + "/logs/" +
                         record::transcriptName(QDateTime::currentDateTime().addDays(-1 - i),
                                                QStringLiteral("SN")))
                       .open(QIODevice::WriteOnly);
    if (!prepared) {
        std::fprintf(stderr, "record: could not prepare the image and the logs folder\n");
        return 1;
    }
    QTemporaryDir noTool;
    qputenv("PATH", QFile::encodeName(noTool.path()));

    QMainWindow window;
    window.show();
    QEventLoop settle;
    QTimer::singleShot(300, &settle, &QEventLoop::quit);
    settle.exec();

    burn::RecordFolder folder(config);
    const burn::Request request{QStringLiteral("Quorbel"), image, QString(), QString(),
                                QStringLiteral("SN0042"),  10};
    std::vector<double> threaded, onGui;
    for (int i = 0; i < runs; ++i) {
        const double t = longestStall([&](std::function<void()> done) {
            auto *run = new burn::BurnRun(request, &folder, &window);
            QObject::connect(run, &burn::BurnRun::ended, run, [run, done] {
                run->deleteLater();
                done();
            });
            run->start();
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
    bench::row("longest GUI stall, run start to written row, " + what + ", ms (median of " +
                   std::to_string(runs) + " runs)",
               bench::number(mt, 2), bench::number(mg, 2) + " (hash on the GUI thread)",
               bench::ratio(mt, mg));
    const double wt = bench::maximum(threaded), wg = bench::maximum(onGui);
    bench::row("longest GUI stall, record, worst of " + std::to_string(runs) + " runs, ms",
               bench::number(wt, 2), bench::number(wg, 2), bench::ratio(wt, wg));
    return 0;
}
