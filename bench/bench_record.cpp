// The upgrade record around a burn: how late a 1 ms GUI timer fires from a run's start (pruning
// a full logs folder, hashing the image in the run's thread) to its written transcript and row.
// No tool is on the path, so the run ends as soon as the hash is done. The reference hashes the
// same image on the GUI thread itself, which is what the thread is there to avoid. Then one
// append into a history of 300,000 rows against one into a history of 1,000: a year of a busy
// line against a first week.

#include "benchsupport.h"
#include "latenessprobe.h"

#include "burnrun.h"
#include "durable.h"

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

// A row of 257 bytes, about what a burn of a file in a deep folder leaves.
QByteArray benchRow(record::Row *row)
{
    *row = record::Row{QDateTime::currentDateTime(),
                       QStringLiteral("Quorbel"),
                       QStringLiteral("SN0042"),
                       12,
                       QString(),
                       13,
                       1048576,
                       QByteArray(64, 'a'),
                       record::Result::Success,
                       12345,
                       0,
                       QStringLiteral("x.txt"),
                       QStringLiteral("COM7"),
                       QStringLiteral("24:58:7c:d1:0a:3e"),
                       QStringLiteral("5.3.1"),
                       QStringLiteral("ok"),
                       13};
    row->file = QString(257 - record::csvRow(*row).size(), QLatin1Char('f'));
    return record::csvRow(*row);
}

bool makeHistory(const QString &path, int rows, const QByteArray &line)
{
    QFile file(path);
    bool ok =
        file.open(QIODevice::WriteOnly) && file.write("\xEF\xBB\xBF" + record::csvHeader()) > 0;
    const QByteArray block = line.repeated(1000);
    for (int done = 0; ok && done < rows; done += 1000)
        ok = file.write(block) == block.size();
    // Or the first timed append would pay for bringing the whole new file to the disk.
    return ok && file.flush() && record::syncToDisk(file);
}

// Each append is timed alone, the two histories taking turns.
void appendCost(const QString &folder, int runs)
{
    record::Row row;
    const QByteArray line = benchRow(&row);
    const QString small = folder + "/small.csv", large = folder + "/large.csv";
    if (!makeHistory(small, 1000, line) || !makeHistory(large, 300000, line)) {
        bench::row("history append", "could not make the histories", "-", "-");
        return;
    }
    record::History smallHistory(small), largeHistory(large);
    std::vector<double> atSmall, atLarge;
    for (int i = 0; i < runs; ++i) {
        for (auto *history : {&smallHistory, &largeHistory}) {
            const std::int64_t start = bench::nowNs();
            if (!history->append(row)) {
                bench::row("history append", "failed (see the debug lines)", "-", "-");
                return;
            }
            (history == &smallHistory ? atSmall : atLarge)
                .push_back(double(bench::nowNs() - start) / 1e6);
        }
        std::fprintf(stderr, "record append %d: %.3f ms at 1,000 rows, %.3f ms at 300,000\n", i + 1,
                     atSmall.back(), atLarge.back());
    }
    const double ms = bench::median(atSmall), ml = bench::median(atLarge);
    bench::row(
        "history append at 300,000 rows of 257 bytes, ms (median of " + std::to_string(runs) + ")",
        bench::number(ml, 3), bench::number(ms, 3) + " (at 1,000 rows)", bench::ratio(ml, ms));
    const double ws = bench::maximum(atSmall), wl = bench::maximum(atLarge);
    bench::row("history append, worst of " + std::to_string(runs) + ", ms", bench::number(wl, 3),
               bench::number(ws, 3), bench::ratio(wl, ws));
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

    appendCost(work.path(), bench::envCount("QUORBEL_BENCH_RECORD_APPENDS", 15));
    return 0;
}
