// How the tool is started and read: the argument lists, the environment, the merged channel and
// the decoding of chunks, through real processes found on PATH.

#include "esptool.h"
#include "flashtext.h"
#include "toolprocess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

namespace
{

// Sets or removes a variable of this process for one scope.
class EnvGuard
{
public:
    EnvGuard(const char *name, const QByteArray *value)
        : m_name(name), m_wasSet(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        if (value)
            qputenv(name, *value);
        else
            qunsetenv(name);
    }
    ~EnvGuard()
    {
        if (m_wasSet)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    EnvGuard(const EnvGuard &) = delete;
    EnvGuard &operator=(const EnvGuard &) = delete;

private:
    const char *m_name;
    bool m_wasSet;
    QByteArray m_old;
};

// Runs the tool the way the windows do and gathers every chunk.
struct Run {
    QString text;
    QStringList chunks;
    int exitCode = -1;
};

// feed, when given, is written to the tool once its first chunk has been read.
bool runTool(const QStringList &arguments, Run *run, const QByteArray &feed = QByteArray())
{
    esptool::ToolProcess process;
    esptool::ChunkDecoder decoder;
    bool fed = false;
    QObject::connect(&process, &QProcess::readyReadStandardOutput, [&] {
        const QString chunk = esptool::readChunk(&process, &decoder);
        run->chunks << chunk;
        run->text += chunk;
        if (!feed.isEmpty() && !fed) {
            fed = true;
            process.write(feed);
        }
    });
    QSignalSpy finished(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    process.start(arguments);
    if (!finished.wait(30000))
        return false;
    run->exitCode = process.exitCode();
    return true;
}

} // namespace

class TestEsptool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void burnArguments_data();
    void burnArguments();
    void environment_data();
    void environment();
    void runsStandIn_data();
    void runsStandIn();
    void characterCutBetweenChunks();
    void cutCharacterDoesNotLeakIntoNextRun();

private:
    QTemporaryDir m_fakeToolDir;
    QByteArray m_path;
};

void TestEsptool::initTestCase()
{
    // The stand-in first on PATH also when the test is started by hand rather than by ctest.
    m_path = QByteArray(QUORBEL_STANDIN_DIR) + QDir::listSeparator().toLatin1() + qgetenv("PATH");
    qputenv("PATH", m_path);
    qRegisterMetaType<QProcess::ExitStatus>();
    qunsetenv("SIMDEVICE_STATE");
    qunsetenv("ESPTOOL_STANDIN_CONTROL");
    qputenv("ESPTOOL_STANDIN_PAUSE_MS", "1");
    QVERIFY(m_fakeToolDir.isValid());
}

void TestEsptool::burnArguments_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QStringList>("named"); // what comes between the chip and the baud rate

    QTest::newRow("no port: the tool searches") << QString() << QStringList();
    QTest::newRow("the port read, right after the chip") << "COM7" << QStringList{"--port", "COM7"};
}

void TestEsptool::burnArguments()
{
    QFETCH(QString, port);
    QFETCH(QStringList, named);
    const QString path = QStringLiteral("/home/user/固件 dir/fw_V12_release.bin");
    const QStringList expected =
        QStringList{"--chip", "esp32s3"} + named +
        QStringList{"-b",          "460800",       "--before", "default-reset", "--after",
                    "hard-reset",  "write-flash",  "--flash-mode", "dio",       "--flash-size",
                    "8MB",         "--flash-freq", "80m",      "0x10000",       path};
    QCOMPARE(esptool::burnArguments(path, port), expected);
}

void TestEsptool::environment_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("setInParent");
    QTest::addColumn<QByteArray>("parentValue");
    QTest::addColumn<QString>("expected");

    QTest::newRow("NO_COLOR added") << QByteArray("NO_COLOR") << false << QByteArray() << "1";
    QTest::newRow("empty NO_COLOR of the parent replaced")
        << QByteArray("NO_COLOR") << true << QByteArray() << "1";
    QTest::newRow("PYTHONUNBUFFERED added")
        << QByteArray("PYTHONUNBUFFERED") << false << QByteArray() << "1";
    QTest::newRow("PYTHONUNBUFFERED=0 of the parent replaced")
        << QByteArray("PYTHONUNBUFFERED") << true << QByteArray("0") << "1";
    QTest::newRow("PATH kept") << QByteArray("PATH") << true << QByteArray("/opt/x/bin:/usr/bin")
                               << "/opt/x/bin:/usr/bin";
    QTest::newRow("TERM kept") << QByteArray("TERM") << true << QByteArray("xterm") << "xterm";
}

void TestEsptool::environment()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, setInParent);
    QFETCH(QByteArray, parentValue);
    QFETCH(QString, expected);

    const EnvGuard guard(name.constData(), setInParent ? &parentValue : nullptr);
    const QProcessEnvironment env = esptool::environment();
    QVERIFY(env.contains(QString::fromLatin1(name)));
    QCOMPARE(env.value(QString::fromLatin1(name)), expected);

    // Everything else is the parent's, unchanged.
    const QProcessEnvironment parent = QProcessEnvironment::systemEnvironment();
    QStringList expectedKeys = parent.keys();
    expectedKeys << "NO_COLOR"
                 << "PYTHONUNBUFFERED";
    expectedKeys.removeDuplicates();
    expectedKeys.sort();
    QStringList keys = env.keys();
    keys.sort();
    QCOMPARE(keys, expectedKeys);
    for (const QString &key : parent.keys()) {
        if (key != "NO_COLOR" && key != "PYTHONUNBUFFERED")
            QCOMPARE(env.value(key), parent.value(key));
    }
}

void TestEsptool::runsStandIn_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<bool>("burn");
    QTest::addColumn<bool>("verdictOk");

    QTest::newRow("probe, dead port first") << "dead-port-first" << false << true;
    QTest::newRow("probe, no device") << "no-device" << false << false;
    QTest::newRow("burn ok") << "ok" << true << true;
    QTest::newRow("burn failing midway") << "burn-fail" << true << false;
}

// The parent's TERM names a terminal, as when the product is started from one: the
// environment the product passes keeps the tool's output plain.
void TestEsptool::runsStandIn()
{
    QFETCH(QString, scenario);
    QFETCH(bool, burn);
    QFETCH(bool, verdictOk);

    const QByteArray term("xterm");
    const QByteArray scenarioBytes = scenario.toUtf8();
    // A port named as this system names them, so the products' own reading of names applies.
#ifdef Q_OS_WIN
    const QByteArray port("COM3");
#else
    const QByteArray port("/dev/ttyACM0");
#endif
    const EnvGuard termGuard("TERM", &term);
    const EnvGuard noColorGuard("NO_COLOR", nullptr);
    const EnvGuard scenarioGuard("ESPTOOL_STANDIN_SCENARIO", &scenarioBytes);
    const EnvGuard portGuard("ESPTOOL_STANDIN_PORT", &port);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString firmware = dir.filePath("fw_V13_release.bin");
    QFile file(firmware);
    QVERIFY(file.open(QIODevice::WriteOnly));
    for (int i = 0; i < 20000; ++i)
        file.write(QByteArray::number(i * 7919) + '\n');
    file.close();

    Run run;
    QVERIFY(runTool(burn ? esptool::burnArguments(firmware) : esptool::probeArguments(), &run));
    QVERIFY2(!run.text.contains('\x1b'), qPrintable(run.text));
    QVERIFY(run.chunks.size() > 1);
    if (burn) {
        QCOMPARE(flashtext::burnVerdict(run.text),
                 verdictOk ? flashtext::BurnVerdict::Succeeded : flashtext::BurnVerdict::Failed);
        // Standard error arrives on the same channel, after the output printed before it.
        QCOMPARE(run.text.contains("A fatal error occurred"), !verdictOk);
        QVERIFY(run.text.indexOf("Hard resetting via RTS pin") >= 0);
    } else {
        QVERIFY(run.text.contains("failed to connect"));
        QCOMPARE(flashtext::probeVerdict(run.text), verdictOk ? flashtext::ProbeVerdict::Connected
                                                              : flashtext::ProbeVerdict::NoDevice);
        if (verdictOk)
            QCOMPARE(flashtext::probePortName(run.text), QString::fromLatin1(port));
    }
}

// A tool that prints "中" (E4 B8 AD) in two pieces and waits for a line in between, so the
// two pieces cannot arrive as one chunk.
void TestEsptool::characterCutBetweenChunks()
{
#ifdef Q_OS_WIN
    QSKIP("a shell script stands in for the tool here; the Linux rounds run it");
#endif
    QTextCodec *const oldCodec = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    const QByteArray path = m_fakeToolDir.path().toUtf8() + ':' + m_path;
    const EnvGuard pathGuard("PATH", &path);

    QFile tool(m_fakeToolDir.filePath("esptool"));
    QVERIFY(tool.open(QIODevice::WriteOnly));
    tool.write("#!/bin/sh\nprintf '\\344\\270'\nread line\nprintf '\\255\\n'\n");
    tool.close();
    QVERIFY(tool.setPermissions(tool.permissions() | QFile::ExeOwner));

    Run run;
    const bool finished = runTool(esptool::probeArguments(), &run, "\n");
    QTextCodec::setCodecForLocale(oldCodec);
    QVERIFY(finished);
    QCOMPARE(run.chunks.size(), 2);
    QCOMPARE(run.text, QString::fromUtf8("中\n"));
}

// The first run ends in the middle of a character; the next run, its decoder restarted as each
// run starts, must start clean.
void TestEsptool::cutCharacterDoesNotLeakIntoNextRun()
{
#ifdef Q_OS_WIN
    QSKIP("a shell script stands in for the tool here; the Linux rounds run it");
#endif
    QTextCodec *const oldCodec = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    const QByteArray path = m_fakeToolDir.path().toUtf8() + ':' + m_path;
    const EnvGuard pathGuard("PATH", &path);

    QFile tool(m_fakeToolDir.filePath("esptool"));
    QVERIFY(tool.open(QIODevice::WriteOnly));
    tool.write("#!/bin/sh\nif [ -n \"$CUT\" ]; then printf 'x\\344'; else printf 'A\\n'; fi\n");
    tool.close();
    QVERIFY(tool.setPermissions(tool.permissions() | QFile::ExeOwner));

    esptool::ToolProcess process;
    esptool::ChunkDecoder decoder;
    QString texts[2];
    int current = 0;
    connect(&process, &QProcess::readyReadStandardOutput,
            [&] { texts[current] += esptool::readChunk(&process, &decoder); });
    QSignalSpy finished(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    {
        const QByteArray one("1");
        const EnvGuard cut("CUT", &one);
        process.start(esptool::probeArguments());
    }
    const bool firstDone = finished.wait(30000);
    current = 1;
    decoder.restart();
    process.start(esptool::probeArguments());
    const bool secondDone = finished.wait(30000);
    QTextCodec::setCodecForLocale(oldCodec);
    QVERIFY(firstDone && secondDone);
    QCOMPARE(texts[0], QString("x"));
    QCOMPARE(texts[1], QString("A\n"));
}

QTEST_GUILESS_MAIN(TestEsptool)
#include "tst_esptool.moc"
