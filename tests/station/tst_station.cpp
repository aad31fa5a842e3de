// The station's bench end to end: simulated devices each on a port of its own, the esptool
// stand-in choosing the device by --port, the real window. Each row is one bench: what every
// device does, how the burns are started, and what the lanes, the counts and the record say.

#include "boxcatcher.h"
#include "firmwaretest.h"
#include "historyfile.h"
#include "logcapture.h"
#include "simdevice.h"

#include "lane.h"
#include "portlist.h"
#include "station.h"
#include "stationwindow.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace
{

// Generous: the suite also runs under AddressSanitizer on a loaded two-core machine.
const int kWaitMs = 60000;

using Devices = std::vector<std::unique_ptr<SimDevice>>;

} // namespace

class TestStation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void bench_data();
    void bench();
};

void TestStation::initTestCase()
{
    qputenv("PATH", QByteArray(QUORBEL_STANDIN_DIR) + ':' + qgetenv("PATH"));
    for (const char *name :
         {"ESPTOOL_STANDIN_CONTROL", "ESPTOOL_STANDIN_DEAD_PORTS", "ESPTOOL_STANDIN_PORT", "TERM"})
        qunsetenv(name);
    // Long enough for the burns to overlap and for a unit to be pulled midway.
    qputenv("ESPTOOL_STANDIN_PAUSE_MS", "20");
    qputenv("ESPTOOL_STANDIN_HANG_MS", "120000");
}

void TestStation::bench_data()
{
    // Per device: its version, then "mute" (never answers after its burn), "rollback" (keeps its
    // old version), "pull" (pulled mid-burn), "late" (plugged in after the start), "slow" (answers
    // a second after its burn) or "restarts" (heard arriving again after its verdict, as a chip
    // on its own USB is). The file is version 13.
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QString>("scenario"); // of the stand-in
    QTest::addColumn<int>("maxParallel");
    QTest::addColumn<bool>("autoStart");  // "插入即升级" instead of "全部升级"
    QTest::addColumn<bool>("close");      // the window is closed once every tool writes
    QTest::addColumn<QString>("atPress"); // the lanes' states right after, sorted
    QTest::addColumn<int>("mostAtOnce");  // runs active at once; -1: not looked at
    QTest::addColumn<QString>("lanes");   // per device, at the end
    QTest::addColumn<QString>("counts");
    QTest::addColumn<QString>("rows"); // per device: its row's result, "-" for none
    QTest::addColumn<QString>("boxes");
    QTest::addColumn<QString>("order"); // the devices by their lanes' verdicts; "": not looked at

    const QString asked =
        "警告|正在升级 4 台设备，关闭窗口将中断升级，设备可能无法启动。确定关闭吗？|4|Yes,No "
        "default No";
    // clang-format off
    QTest::newRow("four lanes upgraded at once") << QStringList{"12", "12", "11", "14"} << "ok" << 8 << false << false << "升级中...,升级中...,升级中...,升级中..." << 4 << "成功 V13,成功 V13,成功 V13,成功 V13" << "成功 4  失败 0  跳过 0" << "success,success,success,success" << "" << "";
    QTest::newRow("the same version is skipped") << QStringList{"12", "13", "12"} << "ok" << 8 << false << false << "升级中...,升级中...,已是该版本" << 2 << "成功 V13,已是该版本,成功 V13" << "成功 2  失败 0  跳过 1" << "success,-,success" << "" << "";
    QTest::newRow("a device that never answers after its burn") << QStringList{"12", "12 mute"} << "ok" << 8 << false << false << "升级中...,升级中..." << 2 << "成功 V13,设备重启后未应答" << "成功 1  失败 1  跳过 0" << "success,failure" << "" << "";
    QTest::newRow("a device that keeps its old version") << QStringList{"12 rollback", "12"} << "ok" << 8 << false << false << "升级中...,升级中..." << 2 << "设备重启后报告版本 12，应为 13,成功 V13" << "成功 1  失败 1  跳过 0" << "failure,success" << "" << "";
    QTest::newRow("a unit pulled mid-burn fails its own lane") << QStringList{"12", "12 pull", "12"} << "ok" << 8 << false << false << "升级中...,升级中...,升级中..." << 3 << "成功 V13,升级失败,成功 V13" << "成功 2  失败 1  跳过 0" << "success,failure,success" << "" << "";
    QTest::newRow("插入即升级 on a device plugged in later") << QStringList{"12", "11 late"} << "ok" << 8 << true << false << "升级中..." << -1 << "成功 V13,成功 V13" << "成功 2  失败 0  跳过 0" << "success,success" << "" << "";
    QTest::newRow("MaxParallel 2 with four lanes") << QStringList{"12", "12", "12", "12"} << "ok" << 2 << false << false << "升级中...,升级中...,排队中,排队中" << 2 << "成功 V13,成功 V13,成功 V13,成功 V13" << "成功 4  失败 0  跳过 0" << "success,success,success,success" << "" << "";
    QTest::newRow("a read-back holds no place: the queued lane starts as one frees") << QStringList{"12 slow", "12 mute", "12"} << "ok" << 2 << false << false << "升级中...,升级中...,排队中" << 2 << "成功 V13,设备重启后未应答,成功 V13" << "成功 2  失败 1  跳过 0" << "success,failure,success" << "" << "0,2,1";
    QTest::newRow("a unit's own restart after its verdict keeps the verdict") << QStringList{"12 restarts", "12"} << "ok" << 8 << false << false << "升级中...,升级中..." << 2 << "成功 V13,成功 V13" << "成功 2  失败 0  跳过 0" << "success,success" << "" << "";
    QTest::newRow("closing during the writes asks, Yes interrupts each") << QStringList{"12", "12", "12", "12"} << "hang" << 8 << false << true << "升级中...,升级中...,升级中...,升级中..." << 4 << "升级失败,升级失败,升级失败,升级失败" << "成功 0  失败 4  跳过 0" << "interrupted,interrupted,interrupted,interrupted" << asked << "";
    // clang-format on
}

void TestStation::bench()
{
    QFETCH(QStringList, devices);
    QFETCH(QString, scenario);
    QFETCH(int, maxParallel);
    QFETCH(bool, autoStart);
    QFETCH(bool, close);
    QFETCH(QString, atPress);
    QFETCH(int, mostAtOnce);
    QFETCH(QString, lanes);
    QFETCH(QString, counts);
    QFETCH(QString, rows);
    QFETCH(QString, boxes);
    QFETCH(QString, order);

    WorkDir work;
    QVERIFY(makeFile(work.path("fw_V13_station.bin"), 256 * 1024));
    QVERIFY(makeFile(work.path("fw_V99_other.bin"), 1024));
    QVERIFY(QDir().mkpath(work.path("CONFIG")));
    QFile config(work.configFile());
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral("[Limits]\nVerifySeconds=3\n[Station]\nMaxParallel=%1\n")
                     .arg(maxParallel)
                     .toLatin1());
    config.close();
    qputenv("ESPTOOL_STANDIN_SCENARIO", "ok");

    Devices sims;
    for (int i = 0; i < devices.size(); ++i) {
        const QStringList traits = devices.at(i).split(' ');
        QStringList options{
            "--sn",      QStringLiteral("QB-STN-%1").arg(i),
            "--version", traits.first(),
            "--mac",     QStringLiteral("24:58:7c:00:00:%1").arg(i, 2, 10, QChar('0'))};
        if (traits.contains("mute") || traits.contains("rollback"))
            options << "--boot" << traits.last();
        if (traits.contains("slow"))
            options += QStringList{"--boot", "late", "--boot-ms", "1000"};
        sims.emplace_back(new SimDevice(options, SimDevice::Port::Link));
        QVERIFY2(sims.back()->start(), qPrintable(sims.back()->errorString()));
    }
    QStringList early; // the ports the system lists
    for (int i = 0; i < devices.size(); ++i)
        if (!devices.at(i).endsWith("late"))
            early << sims.at(size_t(i))->portPath();
    qputenv("QUORBEL_SIMULATED_PORT", early.join(':').toUtf8());
    QList<const SimDevice *> everyDevice;
    for (const auto &device : sims)
        everyDevice << device.get();
    qputenv("SIMDEVICE_STATE", SimDevice::stateList(everyDevice).toUtf8());

    LogCapture log;
    BoxCatcher catcher;
    catcher.answer(QMessageBox::Yes);
    DialogScript dialog;
    // An operator who changes the choice and comes back: a unit is skipped once, not per choice.
    for (const char *file : {"fw_V13_station.bin", "fw_V99_other.bin", "fw_V13_station.bin"})
        dialog.answer(work.path(file));
    auto window = std::make_unique<station::StationWindow>();
    station::Station *bench = window->station();
    auto *table = window->findChild<QTableWidget *>();
    // The state each device's lane shows, in the order of the devices.
    const auto shown = [&] {
        QStringList states;
        for (const auto &device : sims) {
            const auto found = table->findItems(device->portPath(), Qt::MatchExactly);
            states << (found.isEmpty() ? "-" : table->item(found.first()->row(), 5)->text());
        }
        return states.join(',');
    };
    QStringList verdicts;
    int most = 0;
    const auto count = [&] {
        const auto &all = bench->lanes();
        most = std::max(most, int(std::count_if(all.cbegin(), all.cend(),
                                                [](auto *lane) { return lane->isRunning(); })));
    };
    const auto watch = [&](int, station::Lane *lane) {
        QObject::connect(lane, &station::Lane::stateChanged, window.get(), count);
        QObject::connect(lane, &station::Lane::stateChanged, window.get(), [&, lane](auto state) {
            if (state == station::Lane::State::Succeeded || state == station::Lane::State::Failed)
                verdicts << QString::number(int(
                    std::find_if(sims.cbegin(), sims.cend(),
                                 [lane](auto &sim) { return sim->portPath() == lane->port(); }) -
                    sims.cbegin()));
        });
    };
    QObject::connect(bench, &station::Station::laneAdded, window.get(), watch);
    QTRY_COMPARE_WITH_TIMEOUT(bench->lanes().size(), early.size(), kWaitMs);
    for (station::Lane *lane : bench->lanes())
        watch(0, lane);
    QTRY_COMPARE_WITH_TIMEOUT(shown().count("请选择文件"), early.size(), kWaitMs);

    // The probes are done: the scenario is the burns'.
    qputenv("ESPTOOL_STANDIN_SCENARIO", scenario.toUtf8());
    for (int choice = 0; choice < 2; ++choice)
        window->findChild<QPushButton *>("pushButton")->click();
    window->findChild<QCheckBox *>()->setChecked(autoStart);
    window->findChild<QPushButton *>("pushButton")->click();
    if (!autoStart)
        window->findChild<QPushButton *>("pushButton_Burn")->click();
    // The starts follow each other, one per turn of the event loop.
    const auto sorted = [&shown] {
        QStringList states = shown().split(',');
        states.removeAll("-");
        std::sort(states.begin(), states.end());
        return states.join(',');
    };
    QTRY_COMPARE_WITH_TIMEOUT(sorted(), atPress, kWaitMs);

    // As the hot-plug sources would tell: no udev daemon runs here.
    for (int i = 0; i < devices.size(); ++i) {
        const QString port = sims.at(size_t(i))->portPath();
        if (devices.at(i).endsWith("pull")) {
            const auto &all = bench->lanes();
            station::Lane *lane = *std::find_if(
                all.cbegin(), all.cend(), [&port](auto *lane) { return lane->port() == port; });
            QTRY_VERIFY_WITH_TIMEOUT(lane->progress() > 0, kWaitMs);
            // The system lists the port as gone before the tool finds it so.
            early.removeAll(port);
            qputenv("QUORBEL_SIMULATED_PORT", early.join(':').toUtf8());
            QSignalSpy listed(bench->findChild<PortList *>(), &PortList::listed);
            bench->portRemoved(port);
            QVERIFY(listed.wait(kWaitMs));
            QVERIFY(sims.at(size_t(i))->pull());
        } else if (devices.at(i).endsWith("late")) {
            qputenv("QUORBEL_SIMULATED_PORT", (early << port).join(':').toUtf8());
            bench->portArrived(port);
        }
    }
    if (close) {
        const auto &all = bench->lanes();
        QTRY_VERIFY_WITH_TIMEOUT(
            std::all_of(all.cbegin(), all.cend(),
                        [](auto *lane) { return lane->run()->text().contains("Writing"); }),
            kWaitMs);
        QCOMPARE(bench->writingCount(), devices.size());
        QVERIFY(window->close());
    }
    // Every device has its lane with its verdict: the pulled one's waits for it to be seen.
    const auto settled = [bench, &devices] {
        const auto &all = bench->lanes();
        return all.size() == devices.size() &&
               std::none_of(all.cbegin(), all.cend(), [](station::Lane *lane) {
                   return lane->isBusy() || lane->state() == station::Lane::State::Queued;
               });
    };
    QTRY_VERIFY2_WITH_TIMEOUT(settled(), qPrintable(shown()), kWaitMs);
    for (int i = 0; i < devices.size(); ++i)
        if (devices.at(i).endsWith("restarts"))
            bench->portArrived(sims.at(size_t(i))->portPath());
    QTRY_VERIFY2_WITH_TIMEOUT(settled(), qPrintable(shown()), kWaitMs);
    QCOMPARE(shown(), lanes);
    // A lane present before the watch began is watched twice.
    verdicts.removeDuplicates();
    if (!order.isEmpty())
        QCOMPARE(verdicts.join(','), order);
    QCOMPARE(window->findChild<QLabel *>("counts")->text(), counts);
    QCOMPARE(mostAtOnce < 0 ? -1 : most, mostAtOnce);

    // One row per lane that burnt, with its own port, serial and MAC.
    QStringList results;
    const auto written = history::rows(work.path("CONFIG"));
    for (int i = 0; i < devices.size(); ++i) {
        QString result = "-";
        for (const auto &row : written) {
            if (row.value("port") != sims.at(size_t(i))->portPath())
                continue;
            const bool own =
                row.value("program") == "station" &&
                row.value("serial") == QStringLiteral("QB-STN-%1").arg(i) &&
                row.value("mac").endsWith(QStringLiteral(":%1").arg(i, 2, 10, QChar('0')));
            result = own ? row.value("result") : "wrong: " + row.values().join(' ');
        }
        results << result;
    }
    QCOMPARE(results.join(','), rows);
    QCOMPARE(describeBoxes(catcher).join('\n'), boxes);
    window.reset();
}

QTEST_MAIN(TestStation)
#include "tst_station.moc"
