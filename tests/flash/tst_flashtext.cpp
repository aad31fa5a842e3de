// The text rules, on hand-written texts and on the stand-in's recorded outputs fed chunk by
// chunk as a process would deliver them.

#include "flashtext.h"

#include <QFile>
#include <QtTest>

#include <algorithm>

using flashtext::BurnVerdict;
using flashtext::PortNaming;
using flashtext::ProbeVerdict;

Q_DECLARE_METATYPE(BurnVerdict)
Q_DECLARE_METATYPE(ProbeVerdict)
Q_DECLARE_METATYPE(PortNaming)

namespace
{

const QString kSuccess = QStringLiteral("Writing at 0x0001c000 [==============================] "
                                        "100.0% 9/9 bytes... \n\nHard resetting via RTS pin...\n");
const QString kConnected = QStringLiteral("Connected to ESP32-S3 on COM7:\n");

QByteArray fixture(const QString &name)
{
    QFile file(QStringLiteral(QUORBEL_TEST_DATA "/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// Cuts before every '\r' and after every '\n': each progress update is one chunk, as when the
// tool flushes it alone.
QList<QByteArray> chunksAtLineEnds(const QByteArray &bytes)
{
    QList<QByteArray> chunks;
    QByteArray current;
    for (const char c : bytes) {
        if (c == '\r' && !current.isEmpty()) {
            chunks << current;
            current.clear();
        }
        current += c;
        if (c == '\n') {
            chunks << current;
            current.clear();
        }
    }
    if (!current.isEmpty())
        chunks << current;
    return chunks;
}

QList<QByteArray> chunksOfSize(const QByteArray &bytes, int size)
{
    QList<QByteArray> chunks;
    for (int i = 0; i < bytes.size(); i += size)
        chunks << bytes.mid(i, size);
    return chunks;
}

QList<double> percentagesOf(const QList<QByteArray> &chunks)
{
    QList<double> found;
    for (const QByteArray &chunk : chunks) {
        double percent = -1;
        if (flashtext::findPercentage(QString::fromLocal8Bit(chunk), &percent))
            found << percent;
    }
    return found;
}

} // namespace

class TestFlashText : public QObject
{
    Q_OBJECT

private slots:
    void percentage_data();
    void percentage();
    void barValue_data();
    void barValue();
    void burnVerdict_data();
    void burnVerdict();
    void probeVerdict_data();
    void probeVerdict();
    void portName_data();
    void portName();
    void fileVersion_data();
    void fileVersion();
    void burnRecording_data();
    void burnRecording();
    void probeRecording_data();
    void probeRecording();
};

void TestFlashText::percentage_data()
{
    QTest::addColumn<QString>("chunk");
    QTest::addColumn<bool>("found");
    QTest::addColumn<double>("percent");
    QTest::addColumn<bool>("mentionsFound");

    QTest::newRow("fraction kept, truncation is the caller's")
        << "\rWriting at 0x00010000 [=====>   ]  45.9% 100/200 bytes... " << true << 45.9 << false;
    QTest::newRow("white space before the percent sign") << " 45 %" << true << 45.0 << false;
    QTest::newRow("percentage after parenthesis is ignored") << "(45%)" << false << 0.0 << false;
    QTest::newRow("number at chunk start has no white space before it")
        << "45.0% done" << false << 0.0 << false;
    QTest::newRow("two percentages, the first counts") << " 10% then 20%" << true << 10.0 << false;
    QTest::newRow("above 100 is still a percentage") << " 150.0%" << true << 150.0 << false;
    QTest::newRow("first half of a split percentage") << "[===>   ] 4" << false << 0.0 << false;
    QTest::newRow("second half of a split percentage") << "5% 10/20" << false << 0.0 << false;
    QTest::newRow("tab before the number") << "\t7%" << true << 7.0 << false;
    QTest::newRow("trailing dot is not part of the number") << " 45.%" << false << 0.0 << false;
    QTest::newRow("dotted version is not a percentage") << " 1.2.3%" << false << 0.0 << false;
    QTest::newRow("fullwidth digits are not a number")
        << QString::fromUtf8(" \xef\xbc\x94\xef\xbc\x95%") << false << 0.0 << false;
    QTest::newRow("no-break space does not count as white space") << QString::fromUtf8("\xc2\xa0"
                                                                                       "45%")
                                                                  << false << 0.0 << false;
    QTest::newRow("Found with a percentage")
        << "Found 1 serial ports...\n   3.0% 1/9 bytes" << true << 3.0 << true;
    QTest::newRow("Found alone") << "Found 2 serial ports..." << false << 0.0 << true;
    QTest::newRow("found in lower case is not the search") << "not found" << false << 0.0 << false;
}

void TestFlashText::percentage()
{
    QFETCH(QString, chunk);
    QFETCH(bool, found);
    QFETCH(double, percent);
    QFETCH(bool, mentionsFound);

    double value = -1;
    QCOMPARE(flashtext::findPercentage(chunk, &value), found);
    if (found)
        QCOMPARE(value, percent);
    else
        QCOMPARE(value, -1.0);
    QCOMPARE(flashtext::mentionsFound(chunk), mentionsFound);
}

void TestFlashText::barValue_data()
{
    QTest::addColumn<QString>("chunk");
    QTest::addColumn<int>("value");

    QTest::newRow("45.9 truncates to 45") << " 45.9%" << 45;
    QTest::newRow("99.99 stays below 100") << " 99.99%" << 99;
    QTest::newRow("100.0") << " 100.0%" << 100;
    QTest::newRow("above 100 is passed on for the bar to ignore") << " 150%" << 150;
    QTest::newRow("number beyond int range is clamped") << " 99999999999%" << 1000;
    QTest::newRow("number beyond double range is clamped") << " " + QString(400, '9') + "%" << 1000;
}

void TestFlashText::barValue()
{
    QFETCH(QString, chunk);
    QFETCH(int, value);

    double percent = -1;
    QVERIFY(flashtext::findPercentage(chunk, &percent));
    QCOMPARE(flashtext::truncatePercent(percent), value);
}

void TestFlashText::burnVerdict_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("crashed");
    QTest::addColumn<QString>("readMac"); // the chip that was read; empty when none is known
    QTest::addColumn<BurnVerdict>("verdict");

    const QString mac = "MAC:                24:58:7c:d1:0a:3e\n";
    // clang-format off
    QTest::newRow("success texts") << kSuccess << false << "" << BurnVerdict::Succeeded;
    QTest::newRow("usage error of an unknown option") << "| No such option: --foo |\n" << false << "" << BurnVerdict::Failed;
    QTest::newRow("capital Error") << "+- Error ---+\n" << false << "" << BurnVerdict::Failed;
    QTest::newRow("lower-case error wins over the success texts")
        << kSuccess + "A fatal error occurred: MD5 of file does not match data in flash!\n" << false << "" << BurnVerdict::Failed;
    QTest::newRow("ERROR of newer releases wins over the success texts")
        << kSuccess + "ERROR: Serial data stream stopped: Possible serial noise or corruption.\n" << false << "" << BurnVerdict::Failed;
    QTest::newRow("reset with the watchdog over the chip's own USB")
        << " 100.0% 9/9 bytes... \nHard resetting with a watchdog...\n" << false << "" << BurnVerdict::Succeeded;
    QTest::newRow("100.0% without the reset line")
        << " 100.0% 9/9 bytes... \nHash of data verified.\nStaying in bootloader.\n" << false << "" << BurnVerdict::Undecided;
    QTest::newRow("reset line without 100.0%") << "  51.1% 4/9 bytes... \nHard resetting via RTS pin...\n" << false << "" << BurnVerdict::Undecided;
    QTest::newRow("100.0 with a space before the sign is not 100.0%")
        << " 100.0 %\nHard resetting via RTS pin...\n" << false << "" << BurnVerdict::Undecided;
    QTest::newRow("nothing printed") << QString() << false << "" << BurnVerdict::Undecided;
    // Killed by a signal: the device may hold half an image.
    QTest::newRow("crash before any verdict text") << "  51.1% 4/9 bytes... \n" << true << "" << BurnVerdict::Failed;
    QTest::newRow("crash with nothing printed") << QString() << true << "" << BurnVerdict::Failed;
    QTest::newRow("crash after the success texts") << kSuccess << true << "" << BurnVerdict::Succeeded;
    // The image went to another board than the one read.
    QTest::newRow("another chip written than the one read") << mac + kSuccess << false << "aa:bb:cc:dd:ee:ff" << BurnVerdict::Failed;
    QTest::newRow("the chip read, its MAC in capitals") << mac + kSuccess << false << "24:58:7C:D1:0A:3E" << BurnVerdict::Succeeded;
    QTest::newRow("no MAC printed: nothing to compare") << kSuccess << false << "aa:bb:cc:dd:ee:ff" << BurnVerdict::Succeeded;
    // clang-format on
}

void TestFlashText::burnVerdict()
{
    QFETCH(QString, text);
    QFETCH(bool, crashed);
    QFETCH(QString, readMac);
    QFETCH(BurnVerdict, verdict);
    QCOMPARE(flashtext::burnVerdict(text, crashed, readMac), verdict);
}

void TestFlashText::probeVerdict_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<ProbeVerdict>("verdict");

    const QString dead = QStringLiteral("COM9 failed to connect: Failed to connect to Espressif "
                                        "device: No serial data received.\n");
    QTest::newRow("connected") << kConnected << ProbeVerdict::Connected;
    QTest::newRow("dead port only") << dead << ProbeVerdict::NoDevice;
    QTest::newRow("dead port, then connected") << dead + kConnected << ProbeVerdict::Connected;
    QTest::newRow("connection line outweighs a later fatal error")
        << kConnected + "A fatal error occurred: Packet content transfer stopped\n"
        << ProbeVerdict::Connected;
    QTest::newRow("connection line outweighs an I/O error before it")
        << "COM3 failed to connect: Could not open COM3, the port is busy or doesn't exist.\n"
           "([Errno 5] could not open port COM3: [Errno 5] Input/output error: 'COM3')\n" +
               kConnected
        << ProbeVerdict::Connected;
    QTest::newRow("connected without a port, and error, means no device")
        << "Connected to ESP32-S3\nA fatal error occurred: Packet content transfer stopped\n"
        << ProbeVerdict::NoDevice;
    QTest::newRow("could not connect")
        << "Could not connect to an Espressif device on any of the 2 available serial ports."
        << ProbeVerdict::NoDevice;
    QTest::newRow("capital Error does not count in the probe")
        << "Error log empty\n" + kConnected << ProbeVerdict::Connected;
    QTest::newRow("capital Error alone decides nothing") << "Error\n" << ProbeVerdict::Undecided;
    QTest::newRow("neither text") << "esptool v5.3.1\nFound 1 serial ports...\n"
                                  << ProbeVerdict::Undecided;
}

void TestFlashText::probeVerdict()
{
    QFETCH(QString, text);
    QFETCH(ProbeVerdict, verdict);
    QCOMPARE(flashtext::probeVerdict(text, PortNaming::Com), verdict);
}

void TestFlashText::portName_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<PortNaming>("naming");
    QTest::addColumn<QString>("port");

    const PortNaming com = PortNaming::Com;
    const PortNaming path = PortNaming::DevicePath;
    QTest::newRow("connection line wins over a dead port named before")
        << "Serial port COM1:\nCOM1 failed to connect\n" + kConnected << com << "COM7";
    QTest::newRow("two digits") << "Connected to ESP32-S3 on COM12:" << com << "COM12";
    QTest::newRow("without the connection line the first COM name counts")
        << "Serial port COM1:\nSerial port COM7:\n"
        << com << "COM1";
    QTest::newRow("connection line naming no COM port falls back to the first COM name")
        << "Serial port COM3:\nConnected to ESP32-S3 on somewhere:" << com << "COM3";
    QTest::newRow("lower-case com is no port") << "com5" << com << QString();
    QTest::newRow("COM without digits is no port") << "COMx COM" << com << QString();
    QTest::newRow("device path with trailing colon") << "Connected to ESP32-S3 on /dev/ttyUSB0:\n"
                                                     << path << "/dev/ttyUSB0";
    QTest::newRow("device path with trailing period")
        << "Opened /dev/pts/3." << path << "/dev/pts/3";
    QTest::newRow("device path with trailing comma")
        << "ports /dev/ttyUSB0, /dev/ttyUSB1" << path << "/dev/ttyUSB0";
    QTest::newRow("device path in parentheses") << "(/dev/ttyACM1)" << path << "/dev/ttyACM1";
    QTest::newRow("device path connection line wins")
        << "Serial port /dev/ttyS0:\nConnected to ESP32-S3 on /dev/ttyACM0:\n"
        << path << "/dev/ttyACM0";
    QTest::newRow("device path without the connection line: the first one")
        << "Serial port /dev/ttyS0:\nSerial port /dev/ttyACM0:\n"
        << path << "/dev/ttyS0";
    QTest::newRow("bare /dev/ is no port") << "under /dev/ nothing" << path << QString();
    QTest::newRow("dev inside a longer path is no port") << "/sys/dev/char" << path << QString();
    QTest::newRow("COM names do not count as device paths") << kConnected << path << QString();
    QTest::newRow("device paths do not count as COM names")
        << "Connected to ESP32-S3 on /dev/ttyUSB0:" << com << QString();
}

void TestFlashText::portName()
{
    QFETCH(QString, text);
    QFETCH(PortNaming, naming);
    QFETCH(QString, port);
    QCOMPARE(flashtext::probePortName(text, naming), port);
}

void TestFlashText::fileVersion_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("digits");

    QTest::newRow("plain") << "fw_V12_release.bin" << 12 << "12";
    QTest::newRow("leading zero") << "fw_V012_x.bin" << 12 << "012";
    QTest::newRow("zero") << "fw_V0_x.bin" << 0 << "0";
    QTest::newRow("closing underscore required") << "fw_V12.bin" << -1 << QString();
    QTest::newRow("capital V only") << "fw_v12_.bin" << -1 << QString();
    QTest::newRow("at least one digit") << "fw_V_x.bin" << -1 << QString();
    QTest::newRow("first match wins") << "a_V3_b_V4_.bin" << 3 << "3";
    QTest::newRow("fullwidth digits")
        << QString::fromUtf8("fw_V\xef\xbc\x91\xef\xbc\x92_x.bin") << -1 << QString();
    QTest::newRow("Arabic-Indic digits")
        << QString::fromUtf8("fw_V\xd9\xa1\xd9\xa2_x.bin") << -1 << QString();
    QTest::newRow("largest int") << "fw_V2147483647_x.bin" << 2147483647 << "2147483647";
    QTest::newRow("one past the largest int gives 0")
        << "fw_V2147483648_x.bin" << 0 << "2147483648";
    QTest::newRow("long digit run gives 0")
        << "fw_V99999999999999999999_x.bin" << 0 << "99999999999999999999";
}

void TestFlashText::fileVersion()
{
    QFETCH(QString, fileName);
    QFETCH(int, version);
    QFETCH(QString, digits);

    QString got = QStringLiteral("untouched");
    QCOMPARE(flashtext::fileVersion(fileName, &got), version);
    QCOMPARE(got, digits);
    QCOMPARE(flashtext::fileVersion(fileName), version);
}

void TestFlashText::burnRecording_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<BurnVerdict>("verdict");
    QTest::addColumn<int>("updates");
    QTest::addColumn<double>("lastPercent");

    QTest::newRow("burn ok") << "burn_ok.txt" << BurnVerdict::Succeeded << 9 << 100.0;
    QTest::newRow("burn ok, terminal form")
        << "burn_ok_terminal.txt" << BurnVerdict::Succeeded << 9 << 100.0;
    QTest::newRow("burn failing midway")
        << "burn_fail_midway.txt" << BurnVerdict::Failed << 5 << 51.1;
    QTest::newRow("hash mismatch after 100.0%")
        << "burn_hash_mismatch.txt" << BurnVerdict::Failed << 9 << 100.0;
    QTest::newRow("reset with the watchdog")
        << "burn_watchdog_reset.txt" << BurnVerdict::Succeeded << 9 << 100.0;
    QTest::newRow("written, then left in the boot loader")
        << "burn_no_reset.txt" << BurnVerdict::Undecided << 9 << 100.0;
}

void TestFlashText::burnRecording()
{
    QFETCH(QString, file);
    QFETCH(BurnVerdict, verdict);
    QFETCH(int, updates);
    QFETCH(double, lastPercent);

    const QByteArray bytes = fixture(file);
    QVERIFY2(!bytes.isEmpty(), qPrintable(file));
    QCOMPARE(flashtext::burnVerdict(QString::fromLocal8Bit(bytes)), verdict);
    QCOMPARE(flashtext::chipMac(QString::fromLocal8Bit(bytes)), QString("24:58:7c:d1:0a:3e"));
    QCOMPARE(flashtext::toolVersion(QString::fromLocal8Bit(bytes)), QString("5.3.1"));

    // One update per chunk: every one is seen, from 0.0 upwards.
    const QList<QByteArray> lineChunks = chunksAtLineEnds(bytes);
    const QList<double> seen = percentagesOf(lineChunks);
    QCOMPARE(seen.size(), updates);
    QCOMPARE(seen.first(), 0.0);
    QCOMPARE(seen.last(), lastPercent);
    QVERIFY(std::is_sorted(seen.begin(), seen.end()));
    QVERIFY(std::adjacent_find(seen.begin(), seen.end()) == seen.end());

    // "Found" comes in a chunk of its own before any progress.
    const auto firstFound = std::find_if(lineChunks.begin(), lineChunks.end(), [](const auto &c) {
        return flashtext::mentionsFound(QString::fromLocal8Bit(c));
    });
    QVERIFY(firstFound != lineChunks.end());
    double unused = 0;
    for (auto it = lineChunks.begin(); it != firstFound; ++it)
        QVERIFY(!flashtext::findPercentage(QString::fromLocal8Bit(*it), &unused));

    // Chunks cut anywhere: a percentage cut in two is lost, but nothing else is ever read as
    // one, and the whole text still gives the same verdict.
    for (const int size : {5, 7, 13, 64}) {
        const QList<QByteArray> chunks = chunksOfSize(bytes, size);
        QString whole;
        for (const QByteArray &chunk : chunks)
            whole += QString::fromLocal8Bit(chunk);
        QCOMPARE(flashtext::burnVerdict(whole), verdict);
        for (const double p : percentagesOf(chunks))
            QVERIFY2(seen.contains(p), qPrintable(QString::number(p)));
    }
}

void TestFlashText::probeRecording_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<PortNaming>("naming");
    QTest::addColumn<ProbeVerdict>("verdict");
    QTest::addColumn<QString>("port");

    QTest::newRow("one port") << "probe_one_port.txt" << PortNaming::DevicePath
                              << ProbeVerdict::Connected << "/dev/ttyACM0";
    QTest::newRow("dead port first") << "probe_dead_port_first.txt" << PortNaming::DevicePath
                                     << ProbeVerdict::Connected << "/dev/ttyACM0";
    QTest::newRow("port with an I/O error first")
        << "probe_busy_port_first.txt" << PortNaming::DevicePath << ProbeVerdict::Connected
        << "/dev/ttyACM0";
    QTest::newRow("no device") << "probe_no_device.txt" << PortNaming::DevicePath
                               << ProbeVerdict::NoDevice << "/dev/ttyS0";
    QTest::newRow("COM, dead port first")
        << "probe_com_dead_first.txt" << PortNaming::Com << ProbeVerdict::Connected << "COM7";
    QTest::newRow("COM, no device")
        << "probe_com_no_device.txt" << PortNaming::Com << ProbeVerdict::NoDevice << "COM7";
}

void TestFlashText::probeRecording()
{
    QFETCH(QString, file);
    QFETCH(PortNaming, naming);
    QFETCH(ProbeVerdict, verdict);
    QFETCH(QString, port);

    const QByteArray bytes = fixture(file);
    QVERIFY2(!bytes.isEmpty(), qPrintable(file));
    const QString runText = QString::fromLocal8Bit(bytes);
    QCOMPARE(flashtext::probeVerdict(runText, naming), verdict);
    QCOMPARE(flashtext::probePortName(runText, naming), port);
}

QTEST_APPLESS_MAIN(TestFlashText)
#include "tst_flashtext.moc"
