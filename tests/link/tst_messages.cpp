#include "messages.h"

#include <QtTest>

#include <cstring>

namespace
{

QByteArray Hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// The field of a serial number answer: the text, padded with NULs to 19 bytes.
QByteArray SerialField(const QByteArray &text)
{
    return text + QByteArray(19 - text.size(), '\0');
}

} // namespace

class tst_Messages : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void batteryRecordIsCopied();
    void shortAnswerIgnoresStaleBytes();
};

void tst_Messages::decode_data()
{
    QTest::addColumn<int>("msgId");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("kind");
    // What the answer carries: "ok", "sn", "version low high", "sn version soc" or record hex.
    QTest::addColumn<QString>("value");

    QTest::newRow("version 05 00 is 5")
        << 8 << Hex("0500") << int(DecodedAnswer::Version) << "5 5 0";
    QTest::newRow("version 00 01 is 256")
        << 8 << Hex("0001") << int(DecodedAnswer::Version) << "256 0 1";
    QTest::newRow("version FF FF is 65535")
        << 8 << Hex("FFFF") << int(DecodedAnswer::Version) << "65535 255 255";
    QTest::newRow("set serial number: status 0 is success")
        << 2 << Hex("00") << int(DecodedAnswer::SetSnAck) << "true";
    QTest::newRow("set serial number: status 1 is failure")
        << 2 << Hex("01") << int(DecodedAnswer::SetSnAck) << "false";
    QTest::newRow("set serial number: status FF is failure")
        << 2 << Hex("FF") << int(DecodedAnswer::SetSnAck) << "false";
    QTest::newRow("serial number cut at the first NUL")
        << 4 << SerialField("ABC") << int(DecodedAnswer::SerialNumber) << "ABC";
    QTest::newRow("serial number: text after the NUL is ignored")
        << 4 << SerialField(QByteArray("AB\0CD", 5)) << int(DecodedAnswer::SerialNumber) << "AB";
    QTest::newRow("serial number of 25 bytes: the first 19 only")
        << 4 << QByteArray("ABCDEFGHIJKLMNOPQRSTUVWXY") << int(DecodedAnswer::SerialNumber)
        << "ABCDEFGHIJKLMNOPQRS";
    QTest::newRow("serial number filling all 19 bytes")
        << 4 << QByteArray("QB24S3-000000000001") << int(DecodedAnswer::SerialNumber)
        << "QB24S3-000000000001";
    QTest::newRow("serial number 41 42 43 00 is ABC")
        << 4 << Hex("41424300") << int(DecodedAnswer::SerialNumber) << "ABC";
    QTest::newRow("serial number 41 42 43 ends with the payload")
        << 4 << Hex("414243") << int(DecodedAnswer::SerialNumber) << "ABC";
    QTest::newRow("serial number in UTF-8")
        << 4 << SerialField(QStringLiteral("电池-7").toUtf8()) << int(DecodedAnswer::SerialNumber)
        << QStringLiteral("电池-7");
    QTest::newRow("info: charge 75, version 258")
        << 10 << SerialField("SN42") + Hex("00") + Hex("4B") + Hex("0201")
        << int(DecodedAnswer::Info) << "SN42 258 75";
    QTest::newRow("info: byte 19 is not read")
        << 10 << QByteArray("ABCDEFGHIJKLMNOPQRS") + Hex("FF") + Hex("64") + Hex("FFFF")
        << int(DecodedAnswer::Info) << "ABCDEFGHIJKLMNOPQRS 65535 100";
    QTest::newRow("info: longer than its layout")
        << 10 << SerialField("X") + Hex("00320A00") + QByteArray(30, 'z')
        << int(DecodedAnswer::Info) << "X 10 50";

    QTest::newRow("short: empty set serial number answer")
        << 2 << QByteArray() << int(DecodedAnswer::Short) << "";
    QTest::newRow("battery record of 13 bytes: Soc read, zeros after")
        << 6 << Hex("0102030405060708090A0B0C64") << int(DecodedAnswer::BatteryInfo)
        << "0102030405060708090a0b0c64" + QString(30, '0');
    QTest::newRow("short: battery record of 12 bytes")
        << 6 << QByteArray(12, '\x10') << int(DecodedAnswer::Short) << "";
    QTest::newRow("short: version of 1 byte") << 8 << Hex("05") << int(DecodedAnswer::Short) << "";
    QTest::newRow("short: info of 22 bytes")
        << 10 << QByteArray(22, 'A') << int(DecodedAnswer::Short) << "";

    QTest::newRow("unknown: id 0") << 0 << Hex("00") << int(DecodedAnswer::Unknown) << "";
    QTest::newRow("unknown: request id 3 from the device")
        << 3 << QByteArray(19, 'A') << int(DecodedAnswer::Unknown) << "";
    QTest::newRow("unknown: request id 9 from the device")
        << 9 << QByteArray(23, 'A') << int(DecodedAnswer::Unknown) << "";
    QTest::newRow("unknown: id 11") << 11 << Hex("00") << int(DecodedAnswer::Unknown) << "";
    QTest::newRow("unknown: id 255") << 255 << QByteArray() << int(DecodedAnswer::Unknown) << "";
}

void tst_Messages::decode()
{
    QFETCH(int, msgId);
    QFETCH(QByteArray, payload);
    QFETCH(int, kind);
    QFETCH(QString, value);

    // Behind the received bytes, the parser's area still holds an earlier, longer frame.
    const QByteArray parserArea = payload + QByteArray(255 - payload.size(), 'Z');
    const DecodedAnswer answer =
        DecodeAnswer(quint8(msgId), reinterpret_cast<const quint8 *>(parserArea.constData()),
                     quint8(payload.size()));
    QCOMPARE(int(answer.kind), kind);
    QCOMPARE(int(answer.msgId), msgId);

    QString got;
    switch (answer.kind) {
    case DecodedAnswer::SetSnAck:
        got = answer.ok ? "true" : "false";
        break;
    case DecodedAnswer::SerialNumber:
        got = answer.serialNumber;
        break;
    case DecodedAnswer::BatteryInfo:
        got = QByteArray(reinterpret_cast<const char *>(&answer.battery), 28).toHex();
        break;
    case DecodedAnswer::Version:
        got = QStringLiteral("%1 %2 %3")
                  .arg(answer.version)
                  .arg(answer.versionLow)
                  .arg(answer.versionHigh);
        break;
    case DecodedAnswer::Info:
        got =
            QStringLiteral("%1 %2 %3").arg(answer.serialNumber).arg(answer.version).arg(answer.soc);
        break;
    default:
        break;
    }
    QCOMPARE(got, value);
}

void tst_Messages::batteryRecordIsCopied()
{
    QByteArray payload;
    for (int i = 0; i < 28; ++i)
        payload.append(char(0xC0 + i));
    payload[12] = char(0x64);
    payload.append(Hex("EEEE")); // beyond the record

    const DecodedAnswer answer =
        DecodeAnswer(MSG_GET_BATTERY_INFO_ACK,
                     reinterpret_cast<const quint8 *>(payload.constData()), quint8(payload.size()));
    QCOMPARE(int(answer.kind), int(DecodedAnswer::BatteryInfo));
    QCOMPARE(int(answer.battery.Soc), 100);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(&answer.battery), 28), payload.left(28));
}

// The parser's payload area keeps the bytes of longer, earlier frames. A short answer must not
// be decoded from them.
void tst_Messages::shortAnswerIgnoresStaleBytes()
{
    quint8 area[255];
    std::memset(area, 'Z', sizeof area);
    area[0] = 0x05;
    const DecodedAnswer version = DecodeAnswer(MSG_GET_VERSION_ACK, area, 1);
    QCOMPARE(int(version.kind), int(DecodedAnswer::Short));
    QCOMPARE(version.version, 0);

    const DecodedAnswer info = DecodeAnswer(MSG_GET_INFO_ACK, area, 20);
    QCOMPARE(int(info.kind), int(DecodedAnswer::Short));
    QVERIFY(info.serialNumber.isEmpty());
    QCOMPARE(info.soc, 0);
}

QTEST_APPLESS_MAIN(tst_Messages)
#include "tst_messages.moc"
