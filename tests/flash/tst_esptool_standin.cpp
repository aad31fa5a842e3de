// The esptool stand-in, run as a real process: its command line, its scenarios, the device state
// it updates, the simulated devices it burns, and its terminal form.

#include "flashtext.h"

#ifdef QUORBEL_WITH_SIMDEVICE
#include "simdevice.h"

#include <QSerialPort>

#include <memory>
#include <vector>
#endif
#ifndef Q_OS_WIN
#include <csignal>
#include <unistd.h>
#endif

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(flashtext::BurnVerdict)
Q_DECLARE_METATYPE(flashtext::ProbeVerdict)

using flashtext::BurnVerdict;
using flashtext::ProbeVerdict;

namespace
{

const QString kStandIn = QStringLiteral(QUORBEL_STANDIN);

QStringList burnArgs(const QString &firmware)
{
    return {"--chip",  "esp32s3",      "-b",          "460800",       "--before", "default-reset",
            "--after", "hard-reset",   "write-flash", "--flash-mode", "dio",      "--flash-size",
            "8MB",     "--flash-freq", "80m",         "0x10000",      firmware};
}

struct Result {
    QByteArray out;
    QByteArray err;
    QList<QByteArray> outChunks;
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::NormalExit;
    bool finished = false;

    QString text() const { return QString::fromLocal8Bit(out + err); }
};

// As the products will start the tool when asked: in a process group of its own, which one
// signal ends.
class ToolProcess : public QProcess
{
public:
    bool ownGroup = false;

protected:
    void setupChildProcess() override
    {
#ifndef Q_OS_WIN
        if (ownGroup)
            ::setpgid(0, 0);
#endif
    }
};

class StandIn
{
public:
    explicit StandIn(bool ownGroup = false)
    {
        m_process.ownGroup = ownGroup;
        m_env = QProcessEnvironment::systemEnvironment();
        for (const QString &key : m_env.keys()) {
            if (key.startsWith("ESPTOOL_STANDIN_") || key == "TERM" || key == "NO_COLOR" ||
                key == "SIMDEVICE_STATE")
                m_env.remove(key);
        }
        m_env.insert("ESPTOOL_STANDIN_PAUSE_MS", "1");
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
            const QByteArray chunk = m_process.readAllStandardOutput();
            m_result.outChunks << chunk;
            m_result.out += chunk;
        });
        QObject::connect(&m_process, &QProcess::readyReadStandardError,
                         [this] { m_result.err += m_process.readAllStandardError(); });
    }

    // "NAME=value" sets, "NAME" alone removes.
    void setEnv(const QStringList &vars)
    {
        for (const QString &var : vars) {
            const int eq = var.indexOf('=');
            if (eq < 0)
                m_env.remove(var);
            else
                m_env.insert(var.left(eq), var.mid(eq + 1));
        }
    }

    void start(const QStringList &arguments)
    {
        m_process.setProcessEnvironment(m_env);
        m_process.start(kStandIn, arguments);
    }

    Result finish(int timeoutMs = 30000)
    {
        if (m_process.state() != QProcess::NotRunning) {
            QSignalSpy finished(&m_process,
                                QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
            m_result.finished = finished.wait(timeoutMs);
        } else {
            m_result.finished = true;
        }
        m_result.out += m_process.readAllStandardOutput();
        m_result.err += m_process.readAllStandardError();
        m_result.exitCode = m_process.exitCode();
        m_result.status = m_process.exitStatus();
        return m_result;
    }

    Result run(const QStringList &arguments)
    {
        start(arguments);
        return finish();
    }

    QProcess &process() { return m_process; }
    const Result &sofar() const { return m_result; }

private:
    QProcessEnvironment m_env;
    ToolProcess m_process;
    Result m_result;
};

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Bytes that compress poorly, so an image of some hundred KiB takes many 16 KiB blocks.
QByteArray noise(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 12345;
    for (int i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

// Fails with a message naming the first line missing or out of order.
QString missingInOrder(const QString &text, const QStringList &lines)
{
    int from = 0;
    for (const QString &line : lines) {
        const int at = text.indexOf(line, from);
        if (at < 0)
            return line;
        from = at + line.size();
    }
    return QString();
}

QList<double> percentages(const QString &text)
{
    QList<double> found;
    static const QRegularExpression re(QStringLiteral("\\] +(\\d+\\.\\d)% \\d+/\\d+ bytes"));
    auto it = re.globalMatch(text);
    while (it.hasNext())
        found << it.next().captured(1).toDouble();
    return found;
}

const QByteArray kState = "# simulated device\nport=/dev/pts/77\nversion=12\nname=电池\n";

#ifdef QUORBEL_WITH_SIMDEVICE
// The device's own answer to the information request, "serial,version"; empty when its port
// does not open or it does not answer within timeoutMs.
QString askInfo(const QString &port, int timeoutMs)
{
    QSerialPort serial(port);
    if (!serial.open(QIODevice::ReadWrite))
        return QString();
    serial.write(QByteArray::fromHex("A8E238200109A500AF"));
    QByteArray answer;
    const QDeadlineTimer deadline(timeoutMs);
    while (answer.size() < 31 && serial.waitForReadyRead(int(deadline.remainingTime())))
        answer += serial.readAll();
    if (answer.size() < 31)
        return QString();
    return QString::fromLatin1(answer.mid(7, 19)).section(QChar(0), 0, 0) + ',' +
           QString::number(quint8(answer[28]) + 256 * quint8(answer[29]));
}
#endif

} // namespace

class TestStandIn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void help();
    void usageError_data();
    void usageError();
    void probe_data();
    void probe();
    void burn_data();
    void burn();
    void lateSuccessComesInTheLastChunk();
    void onDevices_data();
    void onDevices();
    void hangsUntilKilled_data();
    void hangsUntilKilled();
    void terminalForm_data();
    void terminalForm();
    void recordingsAreCurrent();

private:
    QTemporaryDir m_dir;
    QString m_firmware;
    QString m_state;
};

void TestStandIn::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY(QFileInfo(kStandIn).isExecutable());
    QVERIFY(m_dir.isValid());
    m_firmware = m_dir.filePath("fw_V13_release.bin");
    QVERIFY(writeFile(m_firmware, noise(200 * 1024)));
    m_state = m_dir.filePath("state/device.txt");
    QVERIFY(QDir().mkpath(m_dir.filePath("state")));
}

void TestStandIn::help()
{
    const Result r = StandIn().run({"--help"});
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.err.isEmpty());
    for (const char *word :
         {"chip-id", "write-flash", "--port", "ok", "dead-port-first", "no-device", "burn-fail",
          "hash-mismatch", "hang", "crash", "late-success", "exit-nonzero", "SIMDEVICE_STATE",
          "ESPTOOL_STANDIN_SCENARIO", "ESPTOOL_STANDIN_CONTROL", "ESPTOOL_STANDIN_PAUSE_MS",
          "ESPTOOL_STANDIN_DEAD_PORTS", "NO_COLOR"})
        QVERIFY2(r.out.contains(word), word);
}

void TestStandIn::usageError_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reason");

    QStringList unknownWriteOption = burnArgs("FIRMWARE");
    unknownWriteOption.insert(9, "--verify");
    QTest::newRow("unknown global option")
        << QStringList{"--foo", "chip-id"} << "No such option: --foo";
    QTest::newRow("unknown write-flash option") << unknownWriteOption << "No such option: --verify";
    QTest::newRow("option after chip-id")
        << QStringList{"chip-id", "--flash-mode", "dio"} << "No such option: --flash-mode";
    QTest::newRow("older underscore spelling of the command")
        << QStringList{"write_flash", "0x10000", "FIRMWARE"} << "No such command 'write_flash'";
    QTest::newRow("no command") << QStringList{} << "Missing command";
    QTest::newRow("option without its value") << QStringList{"--port"} << "requires an argument";
    QTest::newRow("chip not simulated")
        << QStringList{"--chip", "esp8266", "chip-id"} << "Invalid value for '--chip'";
    QTest::newRow("baud rate not a number")
        << QStringList{"-b", "fast", "chip-id"} << "Invalid value for '-b'";
    QTest::newRow("firmware file missing")
        << burnArgs("/nonexistent/fw_V1_x.bin") << "File '/nonexistent/fw_V1_x.bin' does not exist";
    QTest::newRow("address without file")
        << QStringList{"write-flash", "0x10000"} << "Missing argument";
    QTest::newRow("address not a number")
        << QStringList{"write-flash", "here", "FIRMWARE"} << "not a valid address";
    QTest::newRow("extra argument to chip-id")
        << QStringList{"chip-id", "now"} << "unexpected extra argument";
}

void TestStandIn::usageError()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);
    arguments.replaceInStrings("FIRMWARE", m_firmware);

    StandIn standIn;
    standIn.setEnv({"SIMDEVICE_STATE=" + m_state});
    QVERIFY(writeFile(m_state, kState));
    const Result r = standIn.run(arguments);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.out.isEmpty(), r.out.constData());
    const QString err = QString::fromLocal8Bit(r.err);
    QVERIFY2(err.contains("Error"), qPrintable(err));
    // The panel wraps long reasons; read it as one line.
    QString flat = err;
    QVERIFY2(flat.remove('|').simplified().contains(reason), qPrintable(err));
    QCOMPARE(flashtext::burnVerdict(r.text()), BurnVerdict::Failed);
    QCOMPARE(readFile(m_state), kState);
}

void TestStandIn::probe_data()
{
    QTest::addColumn<QByteArray>("state");   // empty: no state file
    QTest::addColumn<QByteArray>("control"); // empty: no control file
    QTest::addColumn<QStringList>("env");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("outLines");
    QTest::addColumn<QStringList>("errLines");
    QTest::addColumn<ProbeVerdict>("verdict");

    const QStringList chipId{"chip-id"};
    const QString dead = QStringLiteral(
        "%1 failed to connect: Failed to connect to Espressif device: No serial data received.");
    const QStringList connected{"esptool v5.3.1",
                                "Found 1 serial ports...",
                                "Serial port /dev/pts/77:\nConnecting.",
                                "Detecting chip type... ESP32-S3",
                                "Connected to ESP32-S3 on /dev/pts/77:",
                                "Chip type:          ESP32-S3 (QFN56) (revision v0.2)",
                                "Crystal frequency:  40MHz",
                                "MAC:                24:58:7c:d1:0a:3e\n\n",
                                "Stub flasher running.\n\n",
                                "Warning: ESP32-S3 has no chip ID. Reading MAC address instead.",
                                "MAC:                24:58:7c:d1:0a:3e\n\n",
                                "Hard resetting via RTS pin...\n"};

    QTest::newRow("device from the state file")
        << kState << QByteArray() << QStringList() << chipId << 0 << connected << QStringList()
        << ProbeVerdict::Connected;
    QTest::newRow("dead port tried first")
        << kState << QByteArray() << QStringList{"ESPTOOL_STANDIN_SCENARIO=dead-port-first"}
        << chipId << 0
        << QStringList{"Found 2 serial ports...", "Serial port /dev/ttyS0:\nConnecting.......\n",
                       "Serial port /dev/pts/77:", "Connected to ESP32-S3 on /dev/pts/77:"}
        << QStringList{dead.arg("/dev/ttyS0"), "troubleshooting"} << ProbeVerdict::Connected;
    QTest::newRow("extra dead ports, reverse sorted")
        << kState << QByteArray()
        << QStringList{"ESPTOOL_STANDIN_DEAD_PORTS=/dev/ttyAMA0,/dev/ttyUSB1"} << chipId << 0
        << QStringList{"Found 3 serial ports...",
                       "Serial port /dev/ttyUSB1:", "Serial port /dev/ttyAMA0:",
                       "Serial port /dev/pts/77:", "Connected to ESP32-S3 on /dev/pts/77:"}
        << QStringList{dead.arg("/dev/ttyUSB1"), dead.arg("/dev/ttyAMA0")}
        << ProbeVerdict::Connected;
    QTest::newRow("no state file") << QByteArray() << QByteArray() << QStringList() << chipId << 2
                                   << QStringList{"esptool v5.3.1", "Found 0 serial ports..."}
                                   << QStringList{"A fatal error occurred: Could not connect to "
                                                  "an Espressif device on any of the 0 "
                                                  "available serial ports."}
                                   << ProbeVerdict::NoDevice;
    QTest::newRow("state file without a port")
        << QByteArray("version=3\n") << QByteArray() << QStringList() << chipId << 2
        << QStringList{"Found 0 serial ports..."} << QStringList{"Could not connect"}
        << ProbeVerdict::NoDevice;
    QTest::newRow("no-device scenario with a device present")
        << kState << QByteArray() << QStringList{"ESPTOOL_STANDIN_SCENARIO=no-device"} << chipId
        << 2 << QStringList{"Found 1 serial ports...", "Serial port /dev/pts/77:"}
        << QStringList{dead.arg("/dev/pts/77"), "on any of the 1 available serial ports."}
        << ProbeVerdict::NoDevice;
    QTest::newRow("scenario from the control file")
        << kState << QByteArray("scenario=no-device\npause_ms=0\n") << QStringList() << chipId << 2
        << QStringList{"Serial port /dev/pts/77:"} << QStringList{"Could not connect"}
        << ProbeVerdict::NoDevice;
    QTest::newRow("environment wins over the control file")
        << kState << QByteArray("scenario=no-device\n")
        << QStringList{"ESPTOOL_STANDIN_SCENARIO=ok"} << chipId << 0 << connected << QStringList()
        << ProbeVerdict::Connected;
    QTest::newRow("port on the command line")
        << kState << QByteArray() << QStringList{"ESPTOOL_STANDIN_DEAD_PORTS=/dev/ttyUSB1"}
        << QStringList{"--port", "/dev/pts/77", "chip-id"} << 0
        << QStringList{"esptool v5.3.1\nSerial port /dev/pts/77:",
                       "Connected to ESP32-S3 on /dev/pts/77:"}
        << QStringList() << ProbeVerdict::Connected;
    QTest::newRow("unknown scenario")
        << kState << QByteArray() << QStringList{"ESPTOOL_STANDIN_SCENARIO=sometimes"} << chipId
        << 2 << QStringList() << QStringList{"error: unknown scenario 'sometimes'"}
        << ProbeVerdict::NoDevice;
}

void TestStandIn::probe()
{
    QFETCH(QByteArray, state);
    QFETCH(QByteArray, control);
    QFETCH(QStringList, env);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QStringList, outLines);
    QFETCH(QStringList, errLines);
    QFETCH(ProbeVerdict, verdict);

    QFile::remove(m_state);
    if (!state.isEmpty())
        QVERIFY(writeFile(m_state, state));
    const QString controlPath = m_dir.filePath("control.txt");
    QFile::remove(controlPath);
    if (!control.isEmpty())
        QVERIFY(writeFile(controlPath, control));

    StandIn standIn;
    standIn.setEnv({"SIMDEVICE_STATE=" + m_state, "ESPTOOL_STANDIN_CONTROL=" + controlPath});
    standIn.setEnv(env);
    const Result r = standIn.run(arguments);
    QVERIFY(r.finished);
    QCOMPARE(r.status, QProcess::NormalExit);
    QCOMPARE(r.exitCode, exitCode);
    const QString out = QString::fromLocal8Bit(r.out);
    const QString err = QString::fromLocal8Bit(r.err);
    QVERIFY2(missingInOrder(out, outLines).isEmpty(),
             qPrintable(missingInOrder(out, outLines) + " not in:\n" + out));
    QVERIFY2(missingInOrder(err, errLines).isEmpty(),
             qPrintable(missingInOrder(err, errLines) + " not in:\n" + err));
    if (errLines.isEmpty())
        QVERIFY2(err.isEmpty(), qPrintable(err));
    // The rows name POSIX ports, whatever system reads them.
    QCOMPARE(flashtext::probeVerdict(r.text(), flashtext::PortNaming::DevicePath), verdict);
    if (verdict == ProbeVerdict::Connected)
        QCOMPARE(flashtext::probePortName(r.text(), flashtext::PortNaming::DevicePath),
                 QString("/dev/pts/77"));
    // A probe never changes the device.
    if (!state.isEmpty())
        QCOMPARE(readFile(m_state), state);
}

void TestStandIn::burn_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("crashes");
    QTest::addColumn<BurnVerdict>("verdict");
    QTest::addColumn<QString>("versionLine");
    QTest::addColumn<bool>("complete"); // progress reached 100.0%

    QTest::newRow("ok") << "ok"
                        << "fw_V13_release.bin" << 0 << false << BurnVerdict::Succeeded
                        << "version=13" << true;
    QTest::newRow("ok, leading zeros in the name")
        << "ok"
        << "fw_V0007_x.bin" << 0 << false << BurnVerdict::Succeeded << "version=7" << true;
    QTest::newRow("ok, no version in the name")
        << "ok"
        << "firmware.bin" << 0 << false << BurnVerdict::Succeeded << "version=12" << true;
    QTest::newRow("failing midway")
        << "burn-fail"
        << "fw_V13_release.bin" << 2 << false << BurnVerdict::Failed << "version=12" << false;
    QTest::newRow("hash mismatch after 100.0%")
        << "hash-mismatch"
        << "fw_V13_release.bin" << 2 << false << BurnVerdict::Failed << "version=12" << true;
    QTest::newRow("non-zero exit with the success texts")
        << "exit-nonzero"
        << "fw_V13_release.bin" << 1 << false << BurnVerdict::Succeeded << "version=13" << true;
    QTest::newRow("late success") << "late-success"
                                  << "fw_V13_release.bin" << 0 << false << BurnVerdict::Succeeded
                                  << "version=13" << true;
    QTest::newRow("crash after partial output")
        << "crash"
        << "fw_V13_release.bin" << -1 << true << BurnVerdict::Undecided << "version=12" << false;
    QTest::newRow("no device") << "no-device"
                               << "fw_V13_release.bin" << 2 << false << BurnVerdict::Failed
                               << "version=12" << false;
    // clang-format off
    QTest::newRow("reset with the watchdog") << "watchdog-reset" << "fw_V13_release.bin" << 0 << false << BurnVerdict::Succeeded << "version=13" << true;
    QTest::newRow("left in the boot loader") << "no-reset" << "fw_V13_release.bin" << 0 << false << BurnVerdict::Undecided << "version=13" << true;
    // clang-format on
}

void TestStandIn::burn()
{
    QFETCH(QString, scenario);
    QFETCH(QString, fileName);
    QFETCH(int, exitCode);
    QFETCH(bool, crashes);
    QFETCH(BurnVerdict, verdict);
    QFETCH(QString, versionLine);
    QFETCH(bool, complete);

    const QByteArray image = noise(200 * 1024);
    const QString firmware = m_dir.filePath(fileName);
    QVERIFY(writeFile(firmware, image));
    QVERIFY(writeFile(m_state, kState));

    StandIn standIn;
    standIn.setEnv({"SIMDEVICE_STATE=" + m_state, "ESPTOOL_STANDIN_SCENARIO=" + scenario});
    const Result r = standIn.run(burnArgs(firmware));
    QVERIFY(r.finished);
    QCOMPARE(r.status, crashes ? QProcess::CrashExit : QProcess::NormalExit);
    if (!crashes)
        QCOMPARE(r.exitCode, exitCode);
    const QString out = QString::fromLocal8Bit(r.out);
    QCOMPARE(flashtext::burnVerdict(r.text()), verdict);

    // The other lines of the state file, and their order, survive the rewrite; no temporary
    // file is left beside it.
    QByteArray expectedState = kState;
    expectedState.replace("version=12", versionLine.toUtf8());
    QCOMPARE(readFile(m_state), expectedState);
    QCOMPARE(QDir(m_dir.filePath("state")).entryList(QDir::Files | QDir::Hidden),
             QStringList{"device.txt"});

    if (scenario == "no-device") {
        QVERIFY(!out.contains("Writing at"));
        return;
    }
    // One update per 16 KiB block of compressed data, from 0.0% on, each alone on a line that
    // begins with a carriage return.
    const QRegularExpressionMatch sizes =
        QRegularExpression("Compressed (\\d+) bytes to (\\d+)\\.\\.\\.").match(out);
    QVERIFY(sizes.hasMatch());
    QCOMPARE(sizes.captured(1).toInt(), image.size());
    const int compressed = sizes.captured(2).toInt();
    const QList<double> seen = percentages(out);
    QVERIFY(!seen.isEmpty());
    QCOMPARE(seen.first(), 0.0);
    QCOMPARE(seen.last() == 100.0, complete);
    if (complete)
        QCOMPARE(seen.size(), (compressed + 16383) / 16384 + 1);
    QCOMPARE(out.count("\rWriting at 0x"), seen.size());
    QCOMPARE(out.count(QRegularExpression("\rWriting at 0x[0-9a-f]{8} \\[[=> ]{30}\\] +\\d+\\.\\d%"
                                          " \\d+/\\d+ bytes\\.\\.\\. \n")),
             seen.size());
    // The tool resets the chip on the way out, also after a failure, but not after a crash.
    const QString reset = scenario == "watchdog-reset" ? "Hard resetting with a watchdog..."
                          : scenario == "no-reset"
                              ? "Hash of data verified.\n\nStaying in bootloader."
                              : "Hard resetting via RTS pin...";
    QCOMPARE(out.endsWith("\n" + reset + "\n"), !crashes);
    QCOMPARE(QString::fromLocal8Bit(r.err).startsWith("A fatal error occurred: "), exitCode == 2);
}

void TestStandIn::lateSuccessComesInTheLastChunk()
{
    QVERIFY(writeFile(m_state, kState));
    StandIn standIn;
    standIn.setEnv({"SIMDEVICE_STATE=" + m_state, "ESPTOOL_STANDIN_SCENARIO=late-success",
                    "ESPTOOL_STANDIN_PAUSE_MS=10"});
    const Result r = standIn.run(burnArgs(m_firmware));
    QVERIFY(r.finished);
    QVERIFY(r.outChunks.size() > 2);
    const QByteArray last = r.outChunks.last();
    QVERIFY2(last.contains("100.0%") && last.contains("Hard resetting via RTS pin"),
             last.constData());
    for (int i = 0; i + 1 < r.outChunks.size(); ++i)
        QVERIFY2(!r.outChunks.at(i).contains("100.0%"), r.outChunks.at(i).constData());
}

void TestStandIn::onDevices_data()
{
    QTest::addColumn<int>("count");           // simulated devices, each on a link of its own
    QTest::addColumn<QStringList>("options"); // of every device
    QTest::addColumn<QStringList>("env");
    QTest::addColumn<bool>("burn");          // or probe
    QTest::addColumn<QList<int>>("targets"); // --port of these devices, a run each, all at once
    QTest::addColumn<bool>("pull");          // the first target while it is written
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");       // in each run's standard error; PORT is its port
    QTest::addColumn<QStringList>("answers"); // each device's afterwards, "" for none
    QTest::addColumn<int>("answerAfterMs");   // the last answer, at the earliest (and < 3 s more)

    const QString sn = "QB-SIM-000000";
    const QStringList none;
    // clang-format off
    QTest::newRow("burn: the device restarts with the image's version") << 1 << none << none << true << QList<int>{0} << false << 0 << "" << QStringList{sn + "1,13"} << 0;
    QTest::newRow("burn: a rollback keeps the old version") << 1 << QStringList{"--boot", "rollback"} << none << true << QList<int>{0} << false << 0 << "" << QStringList{sn + "1,12"} << 0;
    QTest::newRow("burn: another serial number after the reset") << 1 << QStringList{"--boot", "other-sn", "--boot-sn", "QB-OTHER"} << none << true << QList<int>{0} << false << 0 << "" << QStringList{"QB-OTHER,13"} << 0;
    QTest::newRow("burn: no answer after the reset") << 1 << QStringList{"--boot", "mute"} << none << true << QList<int>{0} << false << 0 << "" << QStringList{""} << 0;
    QTest::newRow("burn: a late answer after the reset") << 1 << QStringList{"--boot", "late", "--boot-ms", "800"} << none << true << QList<int>{0} << false << 0 << "" << QStringList{sn + "1,13"} << 700;
    QTest::newRow("burn: the port absent for a while after the reset") << 1 << QStringList{"--boot", "absent", "--boot-ms", "800"} << none << true << QList<int>{0} << false << 0 << "" << QStringList{sn + "1,13"} << 700;
    QTest::newRow("failed burn: a reset, the version stays") << 1 << QStringList{"--boot", "late", "--boot-ms", "5000"} << QStringList{"ESPTOOL_STANDIN_SCENARIO=burn-fail"} << true << QList<int>{0} << false << 2 << "Serial data stream stopped" << QStringList{sn + "1,12"} << 0;
    QTest::newRow("probe of the second of two devices") << 2 << none << none << false << QList<int>{1} << false << 0 << "" << QStringList{sn + "1,12", sn + "2,12"} << 0;
    QTest::newRow("burn of the first of two: the second keeps its version") << 2 << none << none << true << QList<int>{0} << false << 0 << "" << QStringList{sn + "1,13", sn + "2,12"} << 0;
    QTest::newRow("four burns at once") << 4 << none << none << true << QList<int>{0, 1, 2, 3} << false << 0 << "" << QStringList{sn + "1,13", sn + "2,13", sn + "3,13", sn + "4,13"} << 0;
    QTest::newRow("pulled during its burn") << 2 << none << QStringList{"ESPTOOL_STANDIN_PAUSE_MS=60"} << true << QList<int>{0} << true << 2 << "A fatal error occurred: Could not write to PORT: the port is gone ([Errno 5] Input/output error)" << QStringList{"", sn + "2,12"} << 0;
    QTest::newRow("a port without a device") << 1 << none << none << false << QList<int>{-1} << false << 2 << "Failed to connect to Espressif device" << QStringList{sn + "1,12"} << 0;
    // clang-format on
}

// The devices are real simulated ones, asked over their own ports after the runs.
void TestStandIn::onDevices()
{
#ifndef QUORBEL_WITH_SIMDEVICE
    QSKIP("the simulated device runs on POSIX systems only");
#else
    QFETCH(int, count);
    QFETCH(QStringList, options);
    QFETCH(QStringList, env);
    QFETCH(bool, burn);
    QFETCH(QList<int>, targets);
    QFETCH(bool, pull);
    QFETCH(int, exitCode);
    QFETCH(QString, error);
    QFETCH(QStringList, answers);
    QFETCH(int, answerAfterMs);

    std::vector<std::unique_ptr<SimDevice>> devices;
    QList<const SimDevice *> all;
    for (int i = 1; i <= count; ++i) {
        devices.emplace_back(
            new SimDevice(options + QStringList{"--sn", QStringLiteral("QB-SIM-000000%1").arg(i),
                                                "--version", "12"},
                          SimDevice::Port::Link));
        QVERIFY2(devices.back()->start(), qPrintable(devices.back()->errorString()));
        all << devices.back().get();
    }
    env << "SIMDEVICE_STATE=" + SimDevice::stateList(all);
    auto portOf = [&](int target) {
        return target < 0 ? QStringLiteral("/dev/quorbel-no-device") : all.at(target)->portPath();
    };
    std::vector<std::unique_ptr<StandIn>> runs;
    for (int target : targets) {
        runs.emplace_back(new StandIn);
        runs.back()->setEnv(env);
        runs.back()->start(
            QStringList{"--port", portOf(target)} +
            (burn ? burnArgs(m_firmware) : QStringList{"--chip", "esp32s3", "chip-id"}));
    }
    if (pull) {
        QTRY_VERIFY_WITH_TIMEOUT(runs.front()->sofar().out.contains("Writing at"), 20000);
        QVERIFY(devices.at(targets.first())->pull());
    }
    QSet<QString> macs;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const Result r = runs[i]->finish();
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, exitCode);
        const QString err = QString::fromLocal8Bit(r.err);
        QVERIFY2(error.isEmpty()
                     ? err.isEmpty()
                     : err.contains(QString(error).replace("PORT", portOf(targets.at(int(i))))),
                 qPrintable(err));
        if (exitCode == 0 &&
            r.out.contains("Connected to ESP32-S3 on " + portOf(targets.at(int(i))).toLocal8Bit()))
            macs << flashtext::chipMac(r.text());
    }
    QCOMPARE(macs.size(), exitCode == 0 ? targets.size() : 0);
    QElapsedTimer ended;
    ended.start();
    // While the port is absent the stand-in finds none either.
    if (options.contains("absent")) {
        StandIn probe;
        probe.setEnv(env);
        const Result r = probe.run({"--port", portOf(0), "chip-id"});
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains("No such file or directory"), r.err.constData());
    }
    for (int i = 0; i < count; ++i) {
        QString answer;
        if (answers.at(i).isEmpty())
            answer = askInfo(portOf(i), 1500);
        else
            QTRY_VERIFY_WITH_TIMEOUT(!(answer = askInfo(portOf(i), 300)).isEmpty(), 10000);
        QCOMPARE(answer, answers.at(i));
    }
    QVERIFY2(ended.elapsed() >= answerAfterMs && ended.elapsed() < answerAfterMs + 3000,
             qPrintable(QString::number(ended.elapsed())));
#endif
}

void TestStandIn::hangsUntilKilled_data()
{
    QTest::addColumn<bool>("burn");    // or probe
    QTest::addColumn<QString>("last"); // printed before the hang
    QTest::addColumn<bool>("group");   // killed by its process group, as the products will end it
    QTest::newRow("burn, while writing") << true << "Writing at" << false;
    QTest::newRow("probe, while connecting, its group killed") << false << "Connecting" << true;
}

void TestStandIn::hangsUntilKilled()
{
    QFETCH(bool, burn);
    QFETCH(QString, last);
    QFETCH(bool, group);
#ifdef Q_OS_WIN
    if (group)
        QSKIP("process groups are POSIX");
#endif
    QVERIFY(writeFile(m_state, kState));
    StandIn standIn(group);
    standIn.setEnv({"SIMDEVICE_STATE=" + m_state, "ESPTOOL_STANDIN_SCENARIO=hang"});
    QSignalSpy finished(&standIn.process(),
                        QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    standIn.start(burn ? burnArgs(m_firmware) : QStringList{"--chip", "esp32s3", "chip-id"});
    QTRY_VERIFY_WITH_TIMEOUT(standIn.sofar().out.contains(last.toLatin1()), 20000);
    // The lines before the hang come a pause apart; let the last of them land first.
    QTest::qWait(300);
    // Nothing more arrives and the process stays; this wait is the assertion itself.
    const QByteArray before = standIn.sofar().out + standIn.sofar().err;
    QVERIFY(!finished.wait(500));
    QCOMPARE(standIn.sofar().out + standIn.sofar().err, before);
#ifndef Q_OS_WIN
    if (group)
        QCOMPARE(::kill(-pid_t(standIn.process().processId()), SIGKILL), 0);
    else
#endif
        standIn.process().kill();
    QVERIFY(finished.wait(10000));
    const QString text = QString::fromLocal8Bit(before);
    QVERIFY(burn ? text.endsWith(" bytes... \n") : text.endsWith("Connecting...\n"));
    QCOMPARE(flashtext::burnVerdict(text), BurnVerdict::Undecided);
}

void TestStandIn::terminalForm_data()
{
    QTest::addColumn<QStringList>("env");
    QTest::addColumn<bool>("terminal");

    QTest::newRow("xterm") << QStringList{"TERM=xterm"} << true;
    QTest::newRow("xterm-256color") << QStringList{"TERM=xterm-256color"} << true;
    QTest::newRow("screen") << QStringList{"TERM=screen"} << true;
    QTest::newRow("linux console") << QStringList{"TERM=linux"} << true;
    QTest::newRow("vt100") << QStringList{"TERM=vt100"} << true;
    QTest::newRow("empty NO_COLOR counts as unset")
        << QStringList{"TERM=xterm", "NO_COLOR="} << true;
    QTest::newRow("NO_COLOR set") << QStringList{"TERM=xterm", "NO_COLOR=1"} << false;
    QTest::newRow("dumb terminal") << QStringList{"TERM=dumb"} << false;
    QTest::newRow("no TERM") << QStringList() << false;
}

void TestStandIn::terminalForm()
{
    QFETCH(QStringList, env);
    QFETCH(bool, terminal);

    QVERIFY(writeFile(m_state, kState));
    StandIn standIn;
    standIn.setEnv({"SIMDEVICE_STATE=" + m_state, "ESPTOOL_STANDIN_SCENARIO=burn-fail"});
    standIn.setEnv(env);
    const Result r = standIn.run(burnArgs(m_firmware));
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 2);
    const QString out = QString::fromLocal8Bit(r.out);
    const QString err = QString::fromLocal8Bit(r.err);
    if (terminal) {
        // Updates are redrawn in place, with no line end between them.
        QVERIFY(out.contains("\r\x1b[KWriting at 0x00010000"));
        QVERIFY(!out.contains(QRegularExpression("bytes\\.\\.\\. \n\r")));
        QCOMPARE(out.count("\r\x1b[KWriting at"), percentages(out).size());
        QVERIFY(out.contains("\x1b[1A\x1b[2K"));
        QVERIFY2(err.contains("\x1b[31mA fatal error occurred: ") && err.contains("\x1b[0m"),
                 qPrintable(err));
    } else {
        QVERIFY2(!out.contains('\x1b') && !err.contains('\x1b'), qPrintable(out + err));
        QVERIFY(out.contains("bytes... \n\rWriting at"));
    }
    // Both forms carry the same words.
    QCOMPARE(flashtext::burnVerdict(out + err), BurnVerdict::Failed);
    QVERIFY(out.contains("Hard resetting via RTS pin"));
}

// The recordings under tests/data are what the stand-in prints today.
void TestStandIn::recordingsAreCurrent()
{
#ifdef Q_OS_WIN
    QSKIP("the recordings are made by a bash script; a Windows build made on Linux compares its "
          "stand-in's with them in the test standin_recordings");
#endif
    QTemporaryDir fresh;
    QVERIFY(fresh.isValid());
    const QString data = QStringLiteral(QUORBEL_TEST_DATA);
    QProcess script;
    script.start("bash",
                 {data + "/regenerate.sh", QStringLiteral(QUORBEL_STANDIN_DIR), fresh.path()});
    QVERIFY(script.waitForFinished(60000));
    QCOMPARE(script.exitCode(), 0);

    const QStringList recorded = QDir(data).entryList({"*.txt"}, QDir::Files, QDir::Name);
    QCOMPARE(QDir(fresh.path()).entryList({"*.txt"}, QDir::Files, QDir::Name), recorded);
    QVERIFY(!recorded.isEmpty());
    for (const QString &name : recorded)
        QVERIFY2(readFile(data + "/" + name) == readFile(fresh.filePath(name)),
                 qPrintable(name + " differs; renew it with tests/data/regenerate.sh"));
}

QTEST_GUILESS_MAIN(TestStandIn)
#include "tst_esptool_standin.moc"
