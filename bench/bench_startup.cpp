// Start-up: from the launcher's stamp, taken right before the process is started, to the first
// frame of the window, for Quorbel's start-up and for a bare main-window program built the same
// way. The two are started alternately (ABBA, so that neither always runs on a cache the other
// just warmed) and their medians compared.

#include "benchsupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace
{

// Milliseconds to the first frame, or a negative value when the program gave no stamp.
double launch(const QString &program, const QString &workDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess process;
    process.setWorkingDirectory(workDir);
    // Both programs may log; a terminal between them and us would be measured too.
    process.setStandardErrorFile(QProcess::nullDevice());
    env.insert(QStringLiteral("QUORBEL_BENCH_T0_NS"), QString::number(bench::nowNs()));
    process.setProcessEnvironment(env);
    process.start(program, QStringList());
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        return -1;
    }
    bool ok = false;
    const qint64 ns = process.readAllStandardOutput().trimmed().toLongLong(&ok);
    return ok && process.exitCode() == 0 ? double(ns) / 1e6 : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int pairs = bench::envCount("QUORBEL_BENCH_STARTUP_RUNS", 30);
    const QString quorbel = QStringLiteral(QUORBEL_BENCH_START_QUORBEL);
    const QString bare = QStringLiteral(QUORBEL_BENCH_START_BARE);
    // Quorbel writes its settings file under the working directory.
    QTemporaryDir work;
    if (!work.isValid()) {
        std::fprintf(stderr, "startup: no temporary folder\n");
        return 1;
    }

    // Loads both programs and their libraries into the page cache; not counted.
    for (int i = 0; i < 2; ++i) {
        launch(quorbel, work.path());
        launch(bare, work.path());
    }

    std::vector<double> quorbelMs, bareMs;
    for (int i = 0; i < pairs; ++i) {
        const bool quorbelFirst = (i % 2) == 0;
        for (int k = 0; k < 2; ++k) {
            const bool isQuorbel = (k == 0) == quorbelFirst;
            const double ms = launch(isQuorbel ? quorbel : bare, work.path());
            if (ms < 0) {
                std::fprintf(stderr, "startup: %s gave no first-frame stamp\n",
                             qPrintable(isQuorbel ? quorbel : bare));
                return 1;
            }
            (isQuorbel ? quorbelMs : bareMs).push_back(ms);
        }
    }

    for (const auto &set : {std::make_pair("Quorbel", &quorbelMs), std::make_pair("bare", &bareMs)})
        std::fprintf(stderr, "startup %-8s runs %zu  median %.2f ms  min %.2f  max %.2f\n",
                     set.first, set.second->size(), bench::median(*set.second),
                     *std::min_element(set.second->begin(), set.second->end()),
                     bench::maximum(*set.second));

    const double q = bench::median(quorbelMs);
    const double b = bench::median(bareMs);
    bench::row("start-up to first frame, ms (median of " + std::to_string(pairs) + ")",
               bench::number(q, 1), bench::number(b, 1) + " (bare QMainWindow)",
               bench::ratio(q, b));
    return 0;
}
