#include "package.h"

#include <QtTest>

#include <random>
#include <vector>

namespace
{

QByteArray Hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// Feeds a stream, returning the result of every byte and the frames accepted, each as its
// id byte followed by its payload.
struct ParseRun {
    QList<int> results;
    QList<QByteArray> frames;
    PackageParser parser{};

    void feed(const QByteArray &stream)
    {
        for (const char c : stream) {
            const int result = ParsePackageByte(quint8(c), &parser);
            results.append(result);
            if (result == 0)
                frames.append(
                    char(parser.msgId) +
                    QByteArray(reinterpret_cast<const char *>(parser.payload), parser.length));
        }
    }
};

} // namespace

class tst_Package : public QObject
{
    Q_OBJECT

private slots:
    void createPackage_data();
    void createPackage();
    void parse_data();
    void parse();
    void randomStream();
};

void tst_Package::createPackage_data()
{
    QTest::addColumn<int>("msgId");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("direction");
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("frame");

    const QByteArray zero(1, '\0');
    QTest::newRow("get serial number request")
        << 3 << zero << 0xA5 << 64 << 9 << Hex("A8E238200103A500A9");
    QTest::newRow("get battery info request")
        << 5 << zero << 0xA5 << 64 << 9 << Hex("A8E238200105A500AB");
    QTest::newRow("get version request")
        << 7 << zero << 0xA5 << 64 << 9 << Hex("A8E238200107A500AD");
    QTest::newRow("get info request") << 9 << zero << 0xA5 << 64 << 9 << Hex("A8E238200109A500AF");
    QTest::newRow("empty payload: checksum right after the direction")
        << 2 << QByteArray() << 0x5A << 64 << 8 << Hex("A8E2382000025A5C");
    QTest::newRow("checksum wraps at 256")
        << 8 << Hex("FFFF") << 0x5A << 64 << 10 << Hex("A8E2382002085AFFFF62");
    QTest::newRow("buffer of exactly the frame size")
        << 7 << zero << 0xA5 << 9 << 9 << Hex("A8E238200107A500AD");
    QTest::newRow("buffer one byte short: refused") << 7 << zero << 0xA5 << 8 << -1 << QByteArray();
    QTest::newRow("empty payload, buffer one byte short: refused")
        << 2 << QByteArray() << 0x5A << 7 << -1 << QByteArray();
    // 255 + 1 + 0x5A + 255 * 1 = 601 = 0x259
    QTest::newRow("largest payload") << 1 << QByteArray(255, '\x01') << 0x5A << 263 << 263
                                     << Hex("A8E23820FF015A") + QByteArray(255, '\x01') + Hex("59");
}

void tst_Package::createPackage()
{
    QFETCH(int, msgId);
    QFETCH(QByteArray, payload);
    QFETCH(int, direction);
    QFETCH(int, capacity);
    QFETCH(int, result);
    QFETCH(QByteArray, frame);

    // One guard byte past the capacity shows that nothing is written beyond it.
    QByteArray buffer(capacity + 1, '\xEE');
    const int got =
        CreatePackage(reinterpret_cast<std::uint8_t *>(buffer.data()), std::uint16_t(capacity),
                      quint8(msgId), reinterpret_cast<const std::uint8_t *>(payload.constData()),
                      quint8(payload.size()), quint8(direction));
    QCOMPARE(got, result);
    if (result < 0) {
        QCOMPARE(buffer, QByteArray(capacity + 1, '\xEE'));
        return;
    }
    QCOMPARE(buffer.left(result), frame);
    QCOMPARE(buffer.mid(result), QByteArray(capacity + 1 - result, '\xEE'));
}

void tst_Package::parse_data()
{
    QTest::addColumn<QByteArray>("stream");
    // Bytes whose result is not -1, as "index:result".
    QTest::addColumn<QStringList>("results");
    QTest::addColumn<QList<QByteArray>>("frames");

    const QByteArray version5 = Hex("A8E2382002085A050069");
    QTest::newRow("version answer")
        << version5 << QStringList{"9:0"} << QList<QByteArray>{Hex("080500")};
    QTest::newRow("wrong checksum")
        << Hex("A8E2382002085A050068") << QStringList{"9:-3"} << QList<QByteArray>{};
    QTest::newRow("own request fed back: wrong direction")
        << Hex("A8E238200107A500AD") << QStringList{"6:-2"} << QList<QByteArray>{};
    QTest::newRow("zero-length answer")
        << Hex("A8E2382000025A5C") << QStringList{"7:0"} << QList<QByteArray>{Hex("02")};
    QTest::newRow("noise and repeated A8 before a frame")
        << Hex("00A8A8E2382002085A050069") << QStringList{"11:0"}
        << QList<QByteArray>{Hex("080500")};
    QTest::newRow("A8 inside the sync word restarts it")
        << Hex("A8E238A8E23820") + version5.mid(4) << QStringList{"12:0"}
        << QList<QByteArray>{Hex("080500")};
    QTest::newRow("another byte inside the sync word drops the match")
        << Hex("A8E27738") + version5.mid(4) << QStringList{} << QList<QByteArray>{};
    QTest::newRow("two frames back to back")
        << version5 + Hex("A8E2382000025A5C") << QStringList{"9:0", "17:0"}
        << QList<QByteArray>{Hex("080500"), Hex("02")};
    QTest::newRow("frame after a rejected frame")
        << Hex("A8E2382002085A050068") + version5 << QStringList{"9:-3", "19:0"}
        << QList<QByteArray>{Hex("080500")};
    QTest::newRow("rejected direction byte is not a frame start")
        << Hex("A8E238200208A8") + version5.mid(1) << QStringList{"6:-2"} << QList<QByteArray>{};
    QTest::newRow("rejected checksum byte is not a frame start")
        << Hex("A8E2382002085A0500A8") + version5.mid(1) << QStringList{"9:-3"}
        << QList<QByteArray>{};
    QTest::newRow("sync word inside a payload is payload")
        << Hex("A8E2382004045AA8E2382044") << QStringList{"11:0"}
        << QList<QByteArray>{Hex("04A8E23820")};
}

void tst_Package::parse()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, results);
    QFETCH(QList<QByteArray>, frames);

    ParseRun run;
    run.feed(stream);
    QStringList got;
    for (int i = 0; i < run.results.size(); ++i) {
        if (run.results.at(i) != -1)
            got.append(QStringLiteral("%1:%2").arg(i).arg(run.results.at(i)));
    }
    QCOMPARE(got, results);
    QCOMPARE(run.frames, frames);
    // Whatever the stream, the parser ends each of these at a frame boundary, ready for more.
    QCOMPARE(int(run.parser.rxState), 0);
}

// Many frames of every length, separated by noise and by frames with a broken checksum, must
// come back exactly and in order, whatever the parser was doing when each one began.
void tst_Package::randomStream()
{
    std::mt19937 random(20240611);
    auto byte = [&random]() { return char(random() & 0xFF); };
    const char syncBytes[] = {'\xA8', '\xE2', '\x38', '\x20'};

    QByteArray stream;
    QList<QByteArray> expected;
    int broken = 0;
    for (int n = 0; n < 400; ++n) {
        // Noise rich in sync bytes, but never the whole sync word: that would be a frame.
        const int noise = int(random() % 12);
        for (int i = 0; i < noise; ++i) {
            stream.append(random() % 2 ? syncBytes[random() % 4] : byte());
            if (stream.endsWith(QByteArray(syncBytes, 4)))
                stream.chop(1);
        }
        const quint8 length = quint8(random() % 256);
        const quint8 msgId = quint8(random());
        QByteArray payload;
        for (int i = 0; i < length; ++i)
            payload.append(byte());
        QByteArray frame(length + PACKAGE_OVERHEAD, '\0');
        CreatePackage(reinterpret_cast<std::uint8_t *>(frame.data()), quint16(frame.size()), msgId,
                      reinterpret_cast<const std::uint8_t *>(payload.constData()), length,
                      PACKAGE_DIR_FROM_DEVICE);
        if (random() % 5 == 0) {
            frame[frame.size() - 1] = char(frame.at(frame.size() - 1) ^ 0x01);
            ++broken;
        } else {
            expected.append(char(msgId) + payload);
        }
        stream.append(frame);
    }

    ParseRun run;
    run.feed(stream);
    QCOMPARE(run.frames.size(), expected.size());
    QCOMPARE(run.frames, expected);
    QCOMPARE(run.results.count(-3), broken);
    QCOMPARE(run.results.count(-2), 0);
}

QTEST_APPLESS_MAIN(tst_Package)
#include "tst_package.moc"
