// One burn from the request to its row, through the esptool stand-in in a real process: the
// outcome and the record of every ending, a stop that leaves nothing of the tool's tree
// behind, record folders that cannot be written, and the simulated device read back after its
// burn, as it restarts with the new image or fails to.

#include "burnrun.h"
#include "historyfile.h"
#include "logcapture.h"
#include "processcheck.h"
#include "serialinstance.h"
#include "writeblock.h"
#ifdef QUORBEL_HAVE_SIMDEVICE
#include "serialinspector.h"
#include "simdevice.h"
#endif

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace
{

// Generous: the suite also runs under AddressSanitizer on a loaded two-core machine.
const int kRunMs = 60000;
const QString kPort = QStringLiteral("COM7");
const QString kMac = QStringLiteral("24:58:7c:d1:0a:3e"); // the stand-in's chip

// "verdict result exit code", then what a read-back confirmed, with its version and its reason
// text, as the rows below name them.
QString describe(const burn::Outcome &outcome)
{
    static const char *const verdicts[] = {"failed", "succeeded", "undecided"};
    static const char *const results[] = {"success",     "failure",     "undecided",
                                          "interrupted", "not-started", "timed-out"};
    QString text =
        QStringLiteral("%1 %2 %3")
            .arg(QLatin1String(verdicts[int(outcome.verdict)]),
                 QLatin1String(results[int(outcome.result)]),
                 outcome.exitCode ? QString::number(*outcome.exitCode) : QStringLiteral("none"));
    if (outcome.verify != burn::Verify::None)
        text += QStringLiteral(" %1 %2 %3")
                    .arg(burn::verifyName(outcome.verify))
                    .arg(outcome.verifiedVersion)
                    .arg(burn::failureReason(outcome));
    return text.trimmed();
}

} // namespace

class TestBurnRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void burn_data();
    void burn();

private:
    QByteArray m_path;
    QTemporaryDir m_wrapperDir;
};

void TestBurnRun::initTestCase()
{
    qputenv("PATH",
            QByteArray(QUORBEL_STANDIN_DIR) + QDir::listSeparator().toLatin1() + qgetenv("PATH"));
    m_path = qgetenv("PATH");
    for (const char *name :
         {"ESPTOOL_STANDIN_CONTROL", "ESPTOOL_STANDIN_DEAD_PORTS", "SIMDEVICE_STATE", "TERM"})
        qunsetenv(name);
    qputenv("ESPTOOL_STANDIN_PAUSE_MS", "1");
    qputenv("ESPTOOL_STANDIN_PORT", kPort.toUtf8());
    // A hanging stand-in left behind by a failed test goes away by itself.
    qputenv("ESPTOOL_STANDIN_HANG_MS", "120000");

#ifndef Q_OS_WIN
    // As a tool that unpacks itself runs: the tool proper two processes down, under a shell
    // that does not watch its parent, so only a stop of the whole tree ends it.
    QVERIFY(m_wrapperDir.isValid());
    QFile wrapper(m_wrapperDir.filePath("esptool"));
    QVERIFY(wrapper.open(QIODevice::WriteOnly));
    wrapper.write(
        "#!/bin/sh\nsh -c '\"$0\" \"$@\" & echo \"wrapped $$ $!\"; wait' '" QUORBEL_STANDIN
        "' \"$@\" &\nwait\n");
    wrapper.close();
    QVERIFY(wrapper.setPermissions(wrapper.permissions() | QFileDevice::ExeOwner));
#endif
}

void TestBurnRun::burn_data()
{
    QTest::addColumn<QString>("scenario"); // of the stand-in; empty: no tool on PATH
    QTest::addColumn<bool>("flasher");     // flasher's request: no port, no device read
    QTest::addColumn<QString>("readMac");
    // A plain file (a folder, ending in /) at that place; or "device <boot mode> [<boot ms>]", the
    // simulated device on the burn's port, read back after the burn.
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("stopAt"); // the text after which the run is stopped
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("logLines"); // of the record

    // clang-format off
    QTest::newRow("success") << "ok" << false << "" << "" << "" << "succeeded success 0" << 0;
    QTest::newRow("success printed in the last bytes") << "late-success" << false << "" << "" << "" << "succeeded success 0" << 0;
    QTest::newRow("success texts with a non-zero exit") << "exit-nonzero" << false << "" << "" << "" << "succeeded success 1" << 0;
    QTest::newRow("reset with the watchdog over the chip's own USB") << "watchdog-reset" << false << "" << "" << "" << "succeeded success 0" << 0;
    QTest::newRow("the chip that was read") << "ok" << false << "24:58:7C:D1:0A:3E" << "" << "" << "succeeded success 0" << 0;
    QTest::newRow("another chip on the port than the one read") << "ok" << false << "aa:bb:cc:dd:ee:ff" << "" << "" << "failed failure 0" << 0;
    QTest::newRow("write stopped midway") << "burn-fail" << false << "" << "" << "" << "failed failure 2" << 0;
    QTest::newRow("verification failed after 100%") << "hash-mismatch" << false << "" << "" << "" << "failed failure 2" << 0;
    // The device may hold half an image: that is a failure, not silence.
    QTest::newRow("tool killed before any verdict") << "crash" << false << "" << "" << "" << "failed failure none" << 0;
    QTest::newRow("written, but no reset: no verdict") << "no-reset" << false << "" << "" << "" << "undecided undecided 0" << 0;
    QTest::newRow("tool not started") << "" << false << "" << "" << "" << "undecided not-started none" << 0;
    QTest::newRow("flasher's burn: no port, its own transcript") << "ok" << true << "" << "" << "" << "succeeded success 0" << 0;
    QTest::newRow("stopped while writing") << "hang" << false << "" << "" << "Writing at" << "undecided interrupted none" << 0;
    QTest::newRow("a tool that stops printing is stopped at the limit") << "hang" << false << "" << "silent tool" << "Writing at" << "failed timed-out none" << 0;
#ifdef QUORBEL_HAVE_SIMDEVICE
    QTest::newRow("the device restarts with the new version") << "ok" << false << "" << "device none" << "" << "succeeded success 0 ok 13" << 0;
    QTest::newRow("the device keeps the old version") << "ok" << false << "" << "device rollback" << "" << "succeeded failure 0 other-version 12 设备重启后报告版本 12，应为 13" << 0;
    QTest::newRow("another device answers") << "ok" << false << "" << "device other-sn" << "" << "succeeded failure 0 other-device 13 应答的是另一台设备 QB-SIM-OTHER" << 0;
    QTest::newRow("a device too late for one request answers the next") << "ok" << false << "" << "device late 3500" << "" << "succeeded success 0 ok 13" << 0;
    QTest::newRow("a device that never answers") << "ok" << false << "" << "device mute" << "" << "succeeded failure 0 no-answer -1 设备重启后未应答" << 0;
    QTest::newRow("a port missing for 3 s after the burn") << "ok" << false << "" << "device absent 3000" << "" << "succeeded success 0 ok 13" << 0;
    QTest::newRow("a burn the tool failed is not read back") << "burn-fail" << false << "" << "device none" << "" << "failed failure 2" << 0;
#endif
#ifndef Q_OS_WIN
    QTest::newRow("stopped: a wrapper's child goes with it") << "wrapper" << false << "" << "" << "Writing at" << "undecided interrupted none" << 0;
    QTest::newRow("disk full at the end: no transcript, the row goes in at the close") << "ok" << false << "" << "full disk" << "" << "succeeded success 0" << 2;
#endif
    // Closing never waits for a hash, nor does the tool wait longer than its limit.
    QTest::newRow("stopped while hashing") << "ok" << false << "" << "64 MiB image" << "hashing" << "undecided interrupted none" << 0;
    QTest::newRow("a hash not done in time: the tool starts without it") << "ok" << false << "" << "64 MiB image, no time" << "" << "succeeded success 0" << 1;
    QTest::newRow("a file named logs: the row still comes") << "ok" << false << "" << "CONFIG/logs" << "" << "succeeded success 0" << 1;
    QTest::newRow("a file named CONFIG: nothing written") << "ok" << false << "" << "CONFIG" << "" << "succeeded success 0" << 4;
    QTest::newRow("a folder named history.csv: the row waits for the next start") << "ok" << false << "" << "CONFIG/history.csv/" << "" << "succeeded success 0" << 3;
    // clang-format on
}

void TestBurnRun::burn()
{
    QFETCH(QString, scenario);
    QFETCH(bool, flasher);
    QFETCH(QString, readMac);
    QFETCH(QString, obstacle);
    QFETCH(QString, stopAt);
    QFETCH(QString, outcome);
    QFETCH(int, logLines);

    QTemporaryDir dir, emptyPath;
    const QString config = dir.filePath("CONFIG"), firmware = dir.filePath("fw_V13_rc 1,a.bin");
    QFile image(firmware);
    QVERIFY(image.open(QIODevice::WriteOnly) && image.write(QByteArray(300000, 'q')) == 300000);
    QVERIFY(!obstacle.startsWith("64 MiB") || image.resize(64 << 20));
    image.close();
    QVERIFY(QDir().mkpath(obstacle == "CONFIG" ? dir.path() : config));
    if (obstacle.endsWith('/'))
        QVERIFY(QDir().mkpath(dir.filePath(obstacle)));
    else if (obstacle.startsWith("CONFIG"))
        QVERIFY(QFile(dir.filePath(obstacle)).open(QIODevice::WriteOnly));
    const QByteArray wrapped = m_wrapperDir.path().toUtf8() + ':' + m_path;
    qputenv("PATH", scenario.isEmpty()      ? QFile::encodeName(emptyPath.path())
                    : scenario == "wrapper" ? wrapped
                                            : m_path);
    qputenv("ESPTOOL_STANDIN_SCENARIO", scenario == "wrapper" ? "hang" : scenario.toUtf8());
    qunsetenv("SIMDEVICE_STATE");

    LogCapture log;
    QString port = kPort;
    SerialInstance worker; // of the read-back, which closes its port at the end
    const QStringList device = obstacle.startsWith("device") ? obstacle.split(' ') : QStringList();
#ifdef QUORBEL_HAVE_SIMDEVICE
    SimDevice sim({"--sn", "SN/../1", "--version", "12", "--mac", kMac, "--boot",
                   device.value(1, "none"), "--boot-ms", device.value(2, "3000")},
                  SimDevice::Port::Link);
    if (!device.isEmpty()) {
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        qputenv("SIMDEVICE_STATE", QFile::encodeName(sim.stateFile()));
        port = sim.portPath();
        worker.Init();
    }
#endif
    auto folder = std::make_unique<burn::RecordFolder>(config);
    const burn::Request request =
        flasher ? burn::Request{"flasher", firmware, "", "", "", -1}
                : burn::Request{"Quorbel", firmware, port, readMac, "SN/../1", 12};
    auto run = std::make_unique<burn::BurnRun>(request, folder.get());
    run->setHashLimit(obstacle.endsWith("no time") ? 0 : burn::BurnRun::kHashLimitMs);
    if (!device.isEmpty())
        run->setReadBack(&worker, 10000);
    if (obstacle == "silent tool")
        run->setSilenceLimit(1000);
    QSignalSpy ends(run.get(), &burn::BurnRun::ended);
    QList<qint64> tree; // the tool's processes, when it is stopped while writing
    {
        const std::unique_ptr<WriteBlock> full(
            obstacle == "full disk" ? new WriteBlock(config + "/history.csv") : nullptr);
        run->start();
        if (stopAt == "hashing")
            run->stop();
        if (!stopAt.isEmpty() && stopAt != "hashing") {
            QTRY_VERIFY_WITH_TIMEOUT(run->text().contains(stopAt), kRunMs);
            tree << run->process()->processId();
            const QRegularExpressionMatch more =
                QRegularExpression("wrapped (\\d+) (\\d+)").match(run->text());
            for (int i = 1; i <= more.lastCapturedIndex(); ++i)
                tree << more.captured(i).toLongLong();
            QCOMPARE(tree.size(), scenario == "wrapper" ? 3 : 1);
            if (obstacle != "silent tool")
                run->stop();
        }
        QTRY_COMPARE_WITH_TIMEOUT(ends.size(), 1, kRunMs);
    }
    for (const qint64 pid : tree)
        QTRY_VERIFY2_WITH_TIMEOUT(processEnded(pid), qPrintable(QString::number(pid)), 5000);
    QCOMPARE(describe(ends.first().first().value<burn::Outcome>()), outcome);
    QCOMPARE(log.linesStartingWith("burn stopped: no output for 1 s").size(),
             int(obstacle == "silent tool"));
#ifdef QUORBEL_HAVE_SIMDEVICE
    QVERIFY(device.isEmpty() || !SerialInstanceInspector::portOpen(&worker));
#endif
    // On Windows the tree is held by a job, which takes a system that allows it.
    QVERIFY(log.linesStartingWith("esptool process tree not held").isEmpty());
    QVERIFY(!run->isActive() && !run->isWriting());
    const QDateTime started = run->startTime();
    const QString runText = run->text();
    run.reset();
    // Closing writes a row that waited, or keeps it for the next start.
    folder.reset();
    const QString pending = config + "/history.pending.csv";
    if (obstacle.endsWith('/')) {
        QVERIFY(QFile::exists(pending));
        QVERIFY(QDir(dir.filePath(obstacle)).removeRecursively());
        burn::RecordFolder next(config);
    }
    QVERIFY(!QFile::exists(pending));
    QCOMPARE(log.linesStartingWith("record ").size(), logLines);
    if (obstacle == "CONFIG") {
        QCOMPARE(history::rows(config).size(), 0);
        return;
    }

    const QStringList parts = outcome.split(' ');
    const bool ran = !scenario.isEmpty() && stopAt != "hashing";
    const bool transcribed = obstacle != "CONFIG/logs" && obstacle != "full disk";
    QMap<QString, QString> expected{{"program", request.program},
                                    {"serial", request.serial},
                                    {"device_version", flasher ? "" : "12"},
                                    {"file_version", "13"},
                                    {"result", parts.at(1)},
                                    {"exit_code", parts.at(2) == "none" ? "" : parts.at(2)},
                                    {"port", request.port},
                                    {"mac", ran ? kMac : ""},
                                    {"tool_version", ran ? "5.3.1" : ""},
                                    {"verify", parts.value(3)},
                                    {"verified_version", parts.value(4).remove("-1")}};
    if (obstacle.startsWith("64 MiB")) {
        expected.insert("bytes", "");
        expected.insert("sha256", "");
    }
    const QString label = flasher ? "flasher" : request.serial;
    const QString name =
        started.toString("yyyyMMdd-HHmmss") + (flasher ? "-flasher.txt" : "-SN_.._1.txt");
    expected.insert("transcript", transcribed ? name : "");
    const QString differs = history::lastRunDiffers(config, 0, firmware, expected, runText);
    QVERIFY2(differs.isEmpty(), qPrintable(differs));
    // The local offset is written out even where it is zero.
    const QString time = history::rows(config).last().value("time");
    QVERIFY2(QRegularExpression("T\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$").match(time).hasMatch(),
             qPrintable(time));
    QCOMPARE(QDateTime::fromString(time, Qt::ISODate).toSecsSinceEpoch(),
             started.toSecsSinceEpoch());
    // Another run in the same second keeps the first one's transcript.
    if (transcribed)
        QCOMPARE(record::writeTranscript(config + "/logs", started, label, "", ""),
                 name.chopped(4) + "-2.txt");
}

QTEST_GUILESS_MAIN(TestBurnRun)
#include "tst_burnrun.moc"
