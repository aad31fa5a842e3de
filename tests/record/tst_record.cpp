// The upgrade record: the history file read back by a strict CSV reader, transcript names from
// hostile serial numbers, pruning, and the record object over a real temporary folder.

#include "burnrecord.h"
#include "esptool.h"
#include "historyfile.h"
#include "logcapture.h"

#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using record::Result;
using record::Row;

Q_DECLARE_METATYPE(Row)

namespace
{

const QByteArray kBom = "\xEF\xBB\xBF";
const QByteArray kHeader = "time,program,serial,device_version,file,file_version,bytes,sha256,"
                           "result,seconds,exit_code,transcript\r\n";

using history::readAll;
using history::records;

QDateTime at(int offsetSeconds)
{
    return QDateTime(QDate(2026, 12, 7), QTime(10, 15, 23), Qt::OffsetFromUTC, offsetSeconds);
}

bool touch(const QString &path, const QByteArray &bytes = QByteArray())
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestRecord : public QObject
{
    Q_OBJECT

private slots:
    void historyFile_data()
    {
        QTest::addColumn<QByteArray>("existing"); // null: no file
        QTest::addColumn<Row>("row");
        QTest::addColumn<QString>("expected"); // the new record, fields joined by '|'
        QTest::addColumn<int>("count");        // records in the file afterwards, header included

        const QByteArray old = kBom + kHeader +
                               "2026-12-06T09:00:00+01:00,flasher,,,/f.bin,,1,ab,"
                               "success,1.0,0,20261206-090000-flasher.txt\r\n";
        // clang-format off
        QTest::newRow("new file: mark, header, quoted comma, quote, CR, LF and Chinese")
            << QByteArray()
            << Row{at(3600), "Quorbel", "SN\r7", 12, "/家/a, \"b\"\nc/fw_V13_x.bin", 13, 1048576,
                   "ab12", Result::Success, 12345, 0, "20261207-101523-SN_7.txt"}
            << "2026-12-07T10:15:23+01:00|Quorbel|SN\r7|12|/家/a, \"b\"\nc/fw_V13_x.bin|13|1048576|"
               "ab12|success|12.3|0|20261207-101523-SN_7.txt" << 2;
        QTest::newRow("empty file gets the header; unknowns stay empty; zero offset written out")
            << QByteArray("")
            << Row{at(0), "flasher", "", -1, "/f.bin", -1, -1, "", Result::NotStarted, 0, {}, ""}
            << "2026-12-07T10:15:23+00:00|flasher|||/f.bin||||not-started|0.0||" << 2;
        QTest::newRow("existing file: no second header; negative offset")
            << old
            << Row{at(-16200), "flasher", "", -1, "/f.bin", -1, 1, "ab", Result::Failure, 61000, 2, "n"}
            << "2026-12-07T10:15:23-04:30|flasher|||/f.bin||1|ab|failure|61.0|2|n" << 3;
        QTest::newRow("a last line cut short is closed before the row")
            << old + "2026-12-07T10:00:00+01:00,Quorbel,SN"
            << Row{at(20700), "Quorbel", "S", 3, "/f.bin", 0, 0, "", Result::Undecided, 49, 0, ""}
            << "2026-12-07T10:15:23+05:45|Quorbel|S|3|/f.bin|0|0||undecided|0.0|0|" << 4;
        // clang-format on
    }

    void historyFile()
    {
        QFETCH(QByteArray, existing);
        QFETCH(Row, row);
        QFETCH(QString, expected);
        QFETCH(int, count);

        QTemporaryDir dir;
        const QString path = dir.filePath("history.csv");
        QVERIFY(existing.isNull() || touch(path, existing));
        QVERIFY(record::appendRow(path, row));
        const QByteArray bytes = readAll(path);
        QVERIFY(bytes.startsWith(kBom + kHeader));
        QCOMPARE(bytes.count(kBom), 1);
        QCOMPARE(bytes.count(kHeader), 1);
        const QList<QStringList> read = records(path);
        QCOMPARE(read.size(), count);
        QCOMPARE(read.last(), expected.split('|'));
    }

    void transcriptNames_data()
    {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("label");

        // clang-format off
        QTest::newRow("plain") << "SN0042" << "SN0042";
        QTest::newRow("parent folder") << "../x" << "___x";
        QTest::newRow("slash and backslash") << "a/b\\c" << "a_b_c";
        QTest::newRow("Windows device name") << "con" << "con";
        QTest::newRow("drive, blanks, controls") << "C: \t\n" << "C____";
        QTest::newRow("hidden file") << ".cfg" << "_cfg";
        QTest::newRow("empty") << "" << "unknown";
        QTest::newRow("very long") << QString(300, 'A') << QString(64, 'A');
        QTest::newRow("Chinese") << "序列号7" << "___7";
        // clang-format on
    }

    void transcriptNames()
    {
        QFETCH(QString, serial);
        QFETCH(QString, label);

        const QString name = record::transcriptName(at(3600), serial);
        QCOMPARE(name, "20261207-101523-" + label + ".txt");
        QVERIFY(record::isTranscriptName(name));
    }

    void pruning_data()
    {
        QTest::addColumn<int>("transcripts");
        QTest::addColumn<int>("deleted"); // the oldest ones

        QTest::newRow("501 keep the newest 500") << 501 << 1;
        QTest::newRow("500 stay") << 500 << 0;
    }

    void pruning()
    {
        QFETCH(int, transcripts);
        QFETCH(int, deleted);

        QTemporaryDir dir;
        QStringList names, others{"notes.txt", "20261207-101523-SN.txt.bak",
                                  "x20261207-101523-SN.txt", "20261207-101523-.txt"};
        for (int i = 0; i < transcripts; ++i)
            names << at(0).addSecs(i * 3601).toString("yyyyMMdd-HHmmss") + "-SN.txt";
        // Made out of age order, so that no folder listing order can stand in for the sort.
        for (int i = 0; i < transcripts; ++i)
            QVERIFY(touch(dir.filePath(names.at(i * 7 % transcripts))));
        for (const QString &name : others)
            QVERIFY(touch(dir.filePath(name)));

        record::pruneTranscripts(dir.path(), 500);
        QStringList expected = names.mid(deleted) + others;
        expected.sort();
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name), expected);
    }

    void burnRecord_data()
    {
        QTest::addColumn<QString>("obstacle"); // a plain file where a folder should be
        QTest::addColumn<bool>("early");       // finished before ready(), while still hashing
        QTest::addColumn<int>("logLines");

        QTest::newRow("writable") << "" << false << 0;
        QTest::newRow("a file named logs: the row still comes") << "CONFIG/logs" << false << 1;
        QTest::newRow("a file named CONFIG: nothing written") << "CONFIG" << false << 2;
        QTest::newRow("finished while hashing: the row without the hash") << "" << true << 0;
    }

    void burnRecord()
    {
        QFETCH(QString, obstacle);
        QFETCH(bool, early);
        QFETCH(int, logLines);

        QTemporaryDir dir;
        const QString config = dir.filePath("CONFIG"), firmware = dir.filePath("fw_V13_rc 1,a.bin");
        const QByteArray image(300000, 'q');
        QVERIFY(touch(firmware, image) && (!early || QFile::resize(firmware, 64 << 20)));
        QVERIFY(QDir().mkpath(obstacle == "CONFIG" ? dir.path() : config));
        QVERIFY(obstacle.isEmpty() || touch(dir.filePath(obstacle)));
        const QString runText = "Connecting...\r\nWriting 50.0%\r中文\n";

        LogCapture log;
        record::BurnRecord burn("Quorbel", config);
        QSignalSpy ready(&burn, &record::BurnRecord::ready);
        burn.begin({"SN/../1", 12, firmware, esptool::burnArguments(firmware)});
        QVERIFY(early || ready.wait());
        burn.finish(early ? Result::Interrupted : Result::Success, 0, runText);
        QVERIFY(!burn.isActive());
        QCoreApplication::processEvents();
        QCOMPARE(ready.size(), early ? 0 : 1);
        QCOMPARE(log.linesStartingWith("record ").size(), logLines);

        const QList<QStringList> rows = records(config + "/history.csv");
        QCOMPARE(rows.size(), obstacle == "CONFIG" ? 0 : 2);
        if (rows.isEmpty())
            return;
        const QStringList row = rows.last();
        const QString name =
            obstacle.isEmpty() ? burn.startTime().toString("yyyyMMdd-HHmmss") + "-SN_.._1.txt" : "";
        // The local offset is written out even where it is zero.
        QVERIFY2(QRegularExpression("T\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$")
                     .match(row.at(0))
                     .hasMatch(),
                 qPrintable(row.at(0)));
        QCOMPARE(QDateTime::fromString(row.at(0), Qt::ISODate).toSecsSinceEpoch(),
                 burn.startTime().toSecsSinceEpoch());
        const QString sha = QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
        QCOMPARE(row.mid(1, 8),
                 (QStringList{"Quorbel", "SN/../1", "12", firmware, "13", early ? "" : "300000",
                              early ? "" : sha, early ? "interrupted" : "success"}));
        QVERIFY(QRegularExpression("^\\d+\\.\\d$").match(row.at(9)).hasMatch());
        // A run cut short has no exit code to speak of.
        QCOMPARE(row.mid(10), (QStringList{early ? "" : "0", name}));
        if (name.isEmpty())
            return;
        QCOMPARE(QString::fromUtf8(readAll(config + "/logs/" + name)),
                 "esptool --chip esp32s3 -b 460800 --before default-reset --after hard-reset "
                 "write-flash --flash-mode dio --flash-size 8MB --flash-freq 80m 0x10000 \"" +
                     firmware + "\"\n" + runText);
        // Another run in the same second keeps the first one's transcript.
        QCOMPARE(record::writeTranscript(config + "/logs", burn.startTime(), "SN/../1", "", ""),
                 name.chopped(4) + "-2.txt");
        QVERIFY(readAll(config + "/logs/" + name).endsWith(runText.toUtf8()));
    }

    // Gone while hashing: the thread is stopped, nothing is written and nothing leaks.
    void destroyedWhileHashing()
    {
        QTemporaryDir dir;
        const QString image = dir.filePath("fw.bin");
        QVERIFY(touch(image) && QFile::resize(image, 64 << 20));
        auto *burn = new record::BurnRecord("flasher", dir.filePath("CONFIG"));
        burn->begin({QString(), -1, image, {}});
        delete burn;
        QCoreApplication::processEvents();
        QVERIFY(!QFile::exists(dir.filePath("CONFIG")));
    }
};

QTEST_GUILESS_MAIN(TestRecord)
#include "tst_record.moc"
