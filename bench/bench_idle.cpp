// Idle cost: the real Quorbel executable and the bare main-window program, both offscreen and
// left alone side by side over the same windows of time. Counted per process, over all its
// threads: context switches (each voluntary one is a wake-up after sleeping, each involuntary
// one a preemption) and CPU time, both as the kernel's tick-based utime + stime and as the
// scheduler's nanosecond run time, since an idle program may well stay below one tick.

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace
{

struct ThreadUsage {
    double switches = 0; // voluntary + involuntary
    double runMs = 0;    // scheduler run time
};

struct Usage {
    QMap<QString, ThreadUsage> threads; // by thread id
    double ticksMs = 0;                 // utime + stime of the whole process
};

// Per thread, so that a thread ending within the window (a pool thread expiring) does not take
// its counts out of the sum; a thread started within it counts from zero.
ThreadUsage operator-(const Usage &after, const Usage &before)
{
    ThreadUsage delta;
    for (auto it = after.threads.cbegin(); it != after.threads.cend(); ++it) {
        const ThreadUsage was = before.threads.value(it.key());
        delta.switches += it->switches - was.switches;
        delta.runMs += it->runMs - was.runMs;
    }
    return delta;
}

QByteArray readProc(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

double statusField(const QByteArray &status, const QByteArray &key)
{
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().toDouble();
    }
    return 0;
}

Usage usageOf(qint64 pid)
{
    Usage usage;
    const QString proc = QStringLiteral("/proc/%1").arg(pid);
    const QStringList tasks =
        QDir(proc + QStringLiteral("/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        const QString base = proc + QStringLiteral("/task/") + task;
        const QByteArray status = readProc(base + QStringLiteral("/status"));
        ThreadUsage &thread = usage.threads[task];
        thread.switches = statusField(status, "voluntary_ctxt_switches:") +
                          statusField(status, "nonvoluntary_ctxt_switches:");
        const QByteArray schedstat = readProc(base + QStringLiteral("/schedstat"));
        thread.runMs = schedstat.split(' ').value(0).toDouble() / 1e6;
    }
    // The command name may hold spaces; the fields after its closing parenthesis do not.
    // utime and stime are the 14th and 15th fields, the 12th and 13th after the name.
    const QByteArray stat = readProc(proc + QStringLiteral("/stat"));
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const double tickMs = 1000.0 / double(sysconf(_SC_CLK_TCK));
    usage.ticksMs = (fields.value(11).toDouble() + fields.value(12).toDouble()) * tickMs;
    return usage;
}

bool startIdle(QProcess &process, const QString &program, const QString &workDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("QUORBEL_BENCH_T0_NS"));
    env.remove(QStringLiteral("QUORBEL_SIMULATED_PORT"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workDir);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, QStringList());
    return process.waitForStarted(10000);
}

void stop(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = bench::envCount("QUORBEL_BENCH_IDLE_ROUNDS", 3);
    const int seconds = 10;
    QTemporaryDir work;
    if (!work.isValid()) {
        std::fprintf(stderr, "idle: no temporary folder\n");
        return 1;
    }

    QProcess quorbel, bare;
    if (!startIdle(quorbel, QStringLiteral(QUORBEL_BENCH_QUORBEL), work.path()) ||
        !startIdle(bare, QStringLiteral(QUORBEL_BENCH_START_BARE), work.path())) {
        std::fprintf(stderr, "idle: a program did not start\n");
        stop(quorbel);
        stop(bare);
        return 1;
    }
    // Start-up is over well within this; its work is not idle cost.
    std::this_thread::sleep_for(std::chrono::seconds(3));

    for (const auto &program :
         {std::make_pair("Quorbel", &quorbel), std::make_pair("bare", &bare)}) {
        const Usage start = usageOf(program.second->processId());
        const ThreadUsage sinceStart = start - Usage();
        std::fprintf(stderr,
                     "idle %s: %d threads, %.0f context switches and %.1f ms CPU since start\n",
                     program.first, start.threads.size(), sinceStart.switches, sinceStart.runMs);
    }

    std::vector<double> wakeQ, wakeB, ticksQ, ticksB, runQ, runB;
    for (int round = 0; round < rounds; ++round) {
        const Usage q0 = usageOf(quorbel.processId());
        const Usage b0 = usageOf(bare.processId());
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const Usage q1 = usageOf(quorbel.processId());
        const Usage b1 = usageOf(bare.processId());
        if (quorbel.state() != QProcess::Running || bare.state() != QProcess::Running) {
            std::fprintf(stderr, "idle: a program ended while idle\n");
            stop(quorbel);
            stop(bare);
            return 1;
        }
        const ThreadUsage q = q1 - q0, b = b1 - b0;
        wakeQ.push_back(q.switches / seconds);
        wakeB.push_back(b.switches / seconds);
        ticksQ.push_back(q1.ticksMs - q0.ticksMs);
        ticksB.push_back(b1.ticksMs - b0.ticksMs);
        runQ.push_back(q.runMs);
        runB.push_back(b.runMs);
        std::fprintf(stderr,
                     "idle round %d: Quorbel %.1f wake-ups/s, %.0f ms utime+stime, %.2f ms run;"
                     " bare %.1f wake-ups/s, %.0f ms utime+stime, %.2f ms run\n",
                     round + 1, wakeQ.back(), ticksQ.back(), runQ.back(), wakeB.back(),
                     ticksB.back(), runB.back());
    }
    stop(quorbel);
    stop(bare);

    const std::string over =
        " per " + std::to_string(seconds) + " s (median of " + std::to_string(rounds) + " windows)";
    const double wq = bench::median(wakeQ), wb = bench::median(wakeB);
    bench::row("idle wake-ups/s, all threads (median of " + std::to_string(rounds) + " x " +
                   std::to_string(seconds) + " s)",
               bench::number(wq, 1), bench::number(wb, 1) + " (bare QMainWindow)",
               bench::ratio(wq, wb));
    const double tq = bench::median(ticksQ), tb = bench::median(ticksB);
    bench::row("idle CPU utime+stime, ms" + over, bench::number(tq, 0),
               bench::number(tb, 0) + " (bare QMainWindow)", bench::ratio(tq, tb));
    const double rq = bench::median(runQ), rb = bench::median(runB);
    bench::row("idle CPU run time (schedstat), ms" + over, bench::number(rq, 2),
               bench::number(rb, 2) + " (bare QMainWindow)", bench::ratio(rq, rb));
    return 0;
}
