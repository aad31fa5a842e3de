// The upgrade record: the history file read back by a strict CSV reader, transcript names from
// hostile serial numbers, and pruning.

#include "historyfile.h"
#include "record.h"
#include "writeblock.h"

#include <QLockFile>
#include <QTemporaryDir>
#include <QtTest>

using record::Result;
using record::Row;

Q_DECLARE_METATYPE(Row)

namespace
{

const QByteArray kBom = "\xEF\xBB\xBF";
const QByteArray kLegacyHeader = "time,program,serial,device_version,file,file_version,bytes,"
                                 "sha256,result,seconds,exit_code,transcript\r\n";
const QByteArray kPortHeader = kLegacyHeader.chopped(2) + ",port,mac,tool_version\r\n";
const QByteArray kHeader = kPortHeader.chopped(2) + ",verify,verified_version\r\n";

using history::readAll;
using history::records;

QDateTime at(int offsetSeconds)
{
    return QDateTime(QDate(2026, 12, 7), QTime(10, 15, 23), Qt::OffsetFromUTC, offsetSeconds);
}

// A row told by its serial; its last field is quoted, so that a cut can fall inside quotes.
Row row(const QString &serial)
{
    Row row;
    row.started = at(3600);
    row.serial = serial;
    row.toolVersion = "5.3.1, rc";
    return row;
}

QByteArray rows(const QString &serials)
{
    QByteArray bytes;
    for (const QString &serial : serials.split(' '))
        bytes += record::csvRow(row(serial));
    return bytes;
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
        QTest::addColumn<int>("blocked");      // appends tried while the file cannot be written
        QTest::addColumn<QString>("expected"); // the new record, fields joined by '|'
        QTest::addColumn<QString>("previous"); // the record before the new ones
        QTest::addColumn<int>("count");        // records in the file afterwards, header included

        const QByteArray oldRow = "2026-12-06T09:00:00+01:00,flasher,,,/f.bin,,1,ab,"
                                  "success,1.0,0,20261206-090000-flasher.txt";
        const QByteArray old = kBom + kHeader + oldRow + ",,,,,\r\n";
        const QByteArray portOld = kBom + kPortHeader + oldRow + ",,,\r\n";
        const QString header = QString(kHeader).trimmed().replace(',', '|');
        const QString oldFields = "2026-12-06T09:00:00+01:00|flasher|||/f.bin||1|ab|success|1.0|0|"
                                  "20261206-090000-flasher.txt|||||";
        const Row plain{at(-16200), "flasher", "",  -1, "/f.bin", -1, 1,  "ab", Result::Failure,
                        61000,      2,         "n", "", "",       "", "", -1};
        const QString plainFields =
            "2026-12-07T10:15:23-04:30|flasher|||/f.bin||1|ab|failure|61.0|2|n|||||";
        // clang-format off
        QTest::newRow("new file: mark, header, quoted comma, quote, CR, LF and Chinese")
            << QByteArray()
            << Row{at(3600), "Quorbel", "SN\r7", 12, "/家/a, \"b\"\nc/fw_V13_x.bin", 13, 1048576,
                   "ab12", Result::Success, 12345, 0, "20261207-101523-SN_7.txt", "COM7",
                   "24:58:7c:d1:0a:3e", "5.3.1", "ok", 13} << 0
            << "2026-12-07T10:15:23+01:00|Quorbel|SN\r7|12|/家/a, \"b\"\nc/fw_V13_x.bin|13|1048576|"
               "ab12|success|12.3|0|20261207-101523-SN_7.txt|COM7|24:58:7c:d1:0a:3e|5.3.1|ok|13" << header << 2;
        QTest::newRow("empty file gets the header; unknowns stay empty; zero offset written out")
            << QByteArray("")
            << Row{at(0), "flasher", "", -1, "/f.bin", -1, -1, "", Result::NotStarted, 0, {}, "", "", "", "", "", -1} << 0
            << "2026-12-07T10:15:23+00:00|flasher|||/f.bin||||not-started|0.0|||||||" << header << 2;
        QTest::newRow("header cut short while the file was made") << kBom + "time,prog" << plain << 0 << plainFields << header << 2;
        QTest::newRow("existing file: no second header; negative offset") << old << plain << 0 << plainFields << oldFields << 3;
        QTest::newRow("a row cut short outside quotes is closed, its start kept")
            << old + "2026-12-07T10:00:00+01:00,Quorbel,SN" << plain << 0 << plainFields << "2026-12-07T10:00:00+01:00|Quorbel|SN" << 4;
        QTest::newRow("a row cut short inside a quoted field: the quote is closed")
            << old + "2026-12-07T10:00:00+01:00,Quorbel,SN,3,\"/lot 7, li" << plain << 0 << plainFields
            << "2026-12-07T10:00:00+01:00|Quorbel|SN|3|/lot 7, li" << 4;
        QTest::newRow("a row cut between CR and LF gets its LF") << old.chopped(1) << plain << 0 << plainFields << oldFields << 3;
        QTest::newRow("old header: the new one once, old rows get the new columns empty")
            << kBom + kLegacyHeader + oldRow + "\r\n" << plain << 0 << plainFields << oldFields << 3;
        QTest::newRow("text that a spreadsheet would run gets an apostrophe")
            << old << Row{at(-16200), "flasher", "=1+2", -1, "+f.bin", -1, 1, "ab", Result::Failure, 61000, 2, "@t", "-p", "", "", "", -1} << 0
            << "2026-12-07T10:15:23-04:30|flasher|'=1+2||'+f.bin||1|ab|failure|61.0|2|'@t|'-p||||" << oldFields << 3;
        QTest::newRow("locked: the rows wait, then go in once, in order")
            << old << plain << 2 << QString(plainFields).replace("61.0", "62.0") << oldFields << 4;
        QTest::newRow("full disk during the header rewrite: the old file stays whole, the row waits")
            << kBom + kLegacyHeader + oldRow + "\r\n" << plain << 1 << plainFields << oldFields << 3;
        QTest::newRow("15-column header: the two new columns once, old rows keep theirs") << portOld << plain << 0 << plainFields << oldFields << 3;
        QTest::newRow("full disk during the 15-column header's rewrite: the old file stays whole") << portOld << plain << 1 << plainFields << oldFields << 3;
        QTest::newRow("old header without the byte-order mark") << kLegacyHeader + oldRow + "\r\n" << plain << 0 << plainFields << oldFields << 3;
        QTest::newRow("old header and rows with LF line ends")
            << kBom + kLegacyHeader.chopped(2) + "\n" + oldRow + "\n" << plain << 0 << plainFields << oldFields << 3;
        QTest::newRow("a stray quote in a middle row stays; the new row is a row of its own")
            << old + "2026-12-06T09:30:00+01:00,Quorbel,QB000002 5\" panel,,,,,,success,1.0,0,,,,\r\n" + old.mid(kBom.size() + kHeader.size())
            << plain << 0 << plainFields << oldFields << 5;
        // clang-format on
    }

    void historyFile()
    {
        QFETCH(QByteArray, existing);
        QFETCH(Row, row);
        QFETCH(int, blocked);
        QFETCH(QString, expected);
        QFETCH(QString, previous);
        QFETCH(int, count);

        QTemporaryDir dir;
        const QString path = dir.filePath("history.csv");
        QVERIFY(existing.isNull() || touch(path, existing));
        record::History history(path);
        if (blocked > 0) {
            const QByteArray before = readAll(path);
            const WriteBlock block(path);
            // A second apart, so that their order shows.
            for (int i = 0; i < blocked; ++i, row.milliseconds += 1000)
                QVERIFY(!history.append(row));
            // Nothing of a failed write stays, or it would stand as a cut row.
            QCOMPARE(readAll(path), before);
        }
        QVERIFY(blocked > 0 ? history.flush() : history.append(row));
        QCOMPARE(history.waiting(), 0);
        const QByteArray bytes = readAll(path);
        QVERIFY(bytes.startsWith(kBom + kHeader));
        QCOMPARE(bytes.count(kBom), 1);
        QCOMPARE(bytes.count(kHeader), 1);
        // Hand-edited cells are read as a spreadsheet reads them.
        const QList<QStringList> read = records(path, true);
        QCOMPARE(read.size(), count);
        QCOMPARE(read.last(), expected.split('|'));
        QCOMPARE(read.at(count - 2 - qMax(0, blocked - 1)), previous.split('|'));
        if (blocked > 1)
            QCOMPARE(read.at(count - 2).at(9), QString("61.0"));
    }

    void sharedHistory_data()
    {
        QTest::addColumn<QByteArray>("history"); // rows under the header
        QTest::addColumn<QByteArray>("pending"); // rows under the header; null: no file
        QTest::addColumn<bool>("held");          // the lock held by another writer at first
        QTest::addColumn<QString>("whileHeld");  // serials in the history | in the pending file
        QTest::addColumn<QString>("expected");   // serials in the history at the end

        // clang-format off
        QTest::newRow("killed between the history and clearing the pending file: no row twice") << rows("A P1 P2") << rows("P1 P2") << false << "" << "A P1 P2 N1 N2";
        QTest::newRow("the same, the last of them cut short: completed by its own rest") << rows("A P1 P2").chopped(4) << rows("P1 P2") << false << "" << "A P1 P2 N1 N2";
        QTest::newRow("two writers: the held history stays; rows wait on the disk, in order, once") << rows("A") << rows("P1") << true << "A | P1 N1" << "A P1 N1 N2";
        // clang-format on
    }

    // Two History objects on one file stand for two programs, or two runs in one.
    void sharedHistory()
    {
        QFETCH(QByteArray, history);
        QFETCH(QByteArray, pending);
        QFETCH(bool, held);
        QFETCH(QString, whileHeld);
        QFETCH(QString, expected);

        QTemporaryDir dir;
        const QString path = dir.filePath("history.csv");
        const QString pendingPath = record::History::pendingPath(path);
        QVERIFY(touch(path, kBom + kHeader + history));
        QVERIFY(pending.isNull() || touch(pendingPath, kBom + kHeader + pending));
        QLockFile other(record::History::lockPath(path));
        QVERIFY(!held || other.lock());
        {
            record::History first(path);
            QCOMPARE(first.append(row("N1")), !held);
            if (held) {
                QCOMPARE(history::column(path, 2) + " | " + history::column(pendingPath, 2),
                         whileHeld);
                other.unlock();
            }
            record::History second(path);
            QVERIFY(second.append(row("N2")));
        }
        QCOMPARE(history::column(path, 2), expected);
        QVERIFY(!QFile::exists(pendingPath));
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
};

QTEST_GUILESS_MAIN(TestRecord)
#include "tst_record.moc"
