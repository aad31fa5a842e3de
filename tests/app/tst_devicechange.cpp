// Device-change records as the platform broadcasts them, built byte by byte, through the
// portable decoder; the window's arrival and removal handlers, where every platform's
// notifications end; and on Windows the same records sent to the window as real messages.

#include "devicechange.h"
#include "logcapture.h"
#include "windowinspector.h"

#include "messages.h"
#include "serialinstance.h"

#include <QtTest>

#include <algorithm>
#include <cstring>
#include <memory>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace
{

constexpr qulonglong kArrival = 0x8000;
constexpr qulonglong kRemoval = 0x8004;
constexpr int kPort = 3;
constexpr int kHeader = 12;

// The name as the record carries it: UTF-16 code units in the machine's byte order.
QByteArray utf16(const QString &text, bool terminated = true)
{
    QByteArray bytes(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    if (terminated)
        bytes.append(2, '\0');
    return bytes;
}

// A record in a buffer of exactly `allocated` bytes, so that AddressSanitizer reports any read
// beyond it: size field, device type, reserved, then the body, cut where the buffer ends.
std::unique_ptr<unsigned char[]> makeRecord(quint32 sizeField, quint32 deviceType,
                                            const QByteArray &body, int allocated)
{
    QByteArray bytes(kHeader, '\0');
    std::memcpy(bytes.data(), &sizeField, 4);
    std::memcpy(bytes.data() + 4, &deviceType, 4);
    std::memset(bytes.data() + 8, 0x5C, 4);
    bytes += body;
    std::unique_ptr<unsigned char[]> record(new unsigned char[size_t(allocated)]);
    std::memset(record.get(), 0x41, size_t(allocated));
    std::memcpy(record.get(), bytes.constData(), size_t(std::min(allocated, bytes.size())));
    return record;
}

// The record of decode_data()'s current row.
std::unique_ptr<unsigned char[]> rowRecord()
{
    QFETCH(uint, sizeField);
    QFETCH(int, deviceType);
    QFETCH(QByteArray, body);
    QFETCH(int, allocated);
    return makeRecord(sizeField, quint32(deviceType), body,
                      allocated < 0 ? kHeader + body.size() : allocated);
}

} // namespace

class TestDeviceChange : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void decode_data();
    void decode();
    void noRecord();
    void handlers_data();
    void handlers();
#ifdef Q_OS_WIN
    void windowMessage_data();
    void windowMessage();
#endif
};

void TestDeviceChange::initTestCase()
{
    qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");
    // A worker with no ports: the handlers' requests go somewhere real, and nothing opens.
    SerialInstance *worker = SerialInstance::GetInstance();
    worker->SetPortEnumerator([] { return QList<SerialPortDescription>(); });
    worker->Init();
}

void TestDeviceChange::cleanupTestCase()
{
    SerialInstance::ShutdownInstance();
}

void TestDeviceChange::decode_data()
{
    QTest::addColumn<qulonglong>("eventCode");
    QTest::addColumn<uint>("sizeField");
    QTest::addColumn<int>("deviceType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("allocated"); // -1: header and body exactly
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("name");

    const int none = DeviceChange::None;
    const int arrival = DeviceChange::Arrival;
    const int removal = DeviceChange::Removal;
    const QByteArray com7 = utf16("COM7");

    QTest::newRow("arrival of COM7") << kArrival << 22u << kPort << com7 << -1 << arrival << "COM7";
    QTest::newRow("removal of COM7") << kRemoval << 22u << kPort << com7 << -1 << removal << "COM7";
    QTest::newRow("bytes after the NUL are not name")
        << kArrival << 28u << kPort << utf16("COM3") + utf16("XY") << -1 << arrival << "COM3";
    QTest::newRow("name outside Latin-1")
        << kArrival << 26u << kPort << utf16("串口12") << -1 << arrival << "串口12";
    const QString astral = QString("COM") + QString::fromUcs4(U"\U0001F50C");
    QTest::newRow("name outside the basic plane")
        << kRemoval << uint(kHeader + utf16(astral).size()) << kPort << utf16(astral) << -1
        << removal << astral;
    // An empty name still reports a port: the list is read from the system, the name only
    // goes to the log.
    QTest::newRow("empty name") << kArrival << 14u << kPort << utf16("") << -1 << arrival << "";

    QTest::newRow("device interface, not a port")
        << kArrival << 22u << 5 << com7 << -1 << none << "";
    QTest::newRow("volume, not a port") << kRemoval << 22u << 2 << com7 << -1 << none << "";
    QTest::newRow("query remove") << qulonglong(0x8001) << 22u << kPort << com7 << -1 << none << "";
    QTest::newRow("remove pending")
        << qulonglong(0x8003) << 22u << kPort << com7 << -1 << none << "";
    QTest::newRow("device nodes changed")
        << qulonglong(0x0007) << 22u << kPort << com7 << -1 << none << "";
    QTest::newRow("arrival code with high bits set")
        << (kArrival | (qulonglong(1) << 31)) << 22u << kPort << com7 << -1 << none << "";

    QTest::newRow("size field alone") << kArrival << 4u << kPort << QByteArray() << 4 << none << "";
    QTest::newRow("size field zero") << kArrival << 0u << kPort << QByteArray() << 4 << none << "";
    QTest::newRow("header cut short")
        << kArrival << 11u << kPort << QByteArray() << 11 << none << "";
    QTest::newRow("header and no name")
        << kArrival << 12u << kPort << QByteArray() << -1 << none << "";
    QTest::newRow("no NUL within the size")
        << kArrival << 20u << kPort << utf16("COM7", false) << -1 << none << "";
    QTest::newRow("NUL just past the size") << kArrival << 20u << kPort << com7 << 22 << none << "";
    QTest::newRow("odd size after a whole NUL")
        << kArrival << 23u << kPort << com7 + QByteArray(1, 'z') << -1 << arrival << "COM7";
    QTest::newRow("odd size cuts the NUL in half")
        << kArrival << 21u << kPort << utf16("COM7", false) + QByteArray(1, '\0') << -1 << none
        << "";

    const QString longest(2041, QChar('A'));
    QTest::newRow("largest record accepted")
        << kArrival << 4096u << kPort << utf16(longest) << -1 << arrival << longest;
    QTest::newRow("one byte over the largest record")
        << kArrival << 4097u << kPort << utf16(longest) + QByteArray(1, 'z') << -1 << none << "";
    // The size field is all the decoder knows of the buffer: a wild one must be refused before
    // anything past the size field is read.
    QTest::newRow("size field far beyond the buffer")
        << kArrival << 0x7FFFFFFFu << kPort << com7 << 4 << none << "";
    QTest::newRow("size field all ones")
        << kRemoval << 0xFFFFFFFFu << kPort << com7 << 4 << none << "";
}

void TestDeviceChange::decode()
{
    QFETCH(qulonglong, eventCode);
    QFETCH(int, kind);
    QFETCH(QString, name);
    const auto record = rowRecord();

    const DeviceChange change = decodeDeviceBroadcast(quintptr(eventCode), record.get());
    QCOMPARE(int(change.kind), kind);
    QCOMPARE(change.portName, name);
}

void TestDeviceChange::noRecord()
{
    const DeviceChange change = decodeDeviceBroadcast(quintptr(kArrival), nullptr);
    QCOMPARE(change.kind, DeviceChange::None);
}

void TestDeviceChange::handlers_data()
{
    QTest::addColumn<bool>("removal");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<bool>("connectedAfter");

    QTest::newRow("arrival while not connected") << false << false << "COM7" << false << false;
    QTest::newRow("arrival while connected") << false << true << "COM7" << false << true;
    QTest::newRow("arrival with an empty name") << false << false << "" << false << false;
    QTest::newRow("removal while not connected") << true << false << "COM7" << false << false;
    QTest::newRow("removal while connected") << true << true << "COM12" << true << false;
    QTest::newRow("removal with an empty name while connected")
        << true << true << "" << true << false;
}

void TestDeviceChange::handlers()
{
    QFETCH(bool, removal);
    QFETCH(bool, connected);
    QFETCH(QString, name);
    QFETCH(bool, closes);
    QFETCH(bool, connectedAfter);

    LogCapture log;
    MainWindow w;
    Ui_MainWindow *ui = WindowInspector::ui(w);
    // The panel's record of a connection: the button's text, the lists locked.
    const bool disabled = connected || removal;
    if (connected)
        ui->m_pbtnConnect->setText("断开连接");
    ui->m_pcomboBoxPortName->setEnabled(!disabled);
    ui->m_comboBox_PortBaudRate->setEnabled(!disabled);
    QSignalSpy listSpy(&w, &MainWindow::SigGetPortInfoList);
    QSignalSpy closeSpy(&w, &MainWindow::SigCloseSerial);
    QSignalSpy openSpy(&w, &MainWindow::SigOpenSerial);

    if (removal)
        WindowInspector::portRemoved(w, name);
    else
        WindowInspector::portArrived(w, name);

    QCOMPARE(listSpy.count(), 1);
    QCOMPARE(closeSpy.count(), closes ? 1 : 0);
    QCOMPARE(openSpy.count(), 0);
    const QString label = removal ? "拔出串口" : "插入串口";
    QCOMPARE(log.linesStartingWith(label), QStringList{label + " \"" + name + "\""});
    QCOMPARE(ui->m_pbtnConnect->text(), QString(connectedAfter ? "断开连接" : "连接"));
    // A removal unlocks the lists at once; an arrival leaves them as they were.
    const bool enabledAfter = removal || !disabled;
    QCOMPARE(ui->m_pcomboBoxPortName->isEnabled(), enabledAfter);
    QCOMPARE(ui->m_comboBox_PortBaudRate->isEnabled(), enabledAfter);
}

#ifdef Q_OS_WIN
void TestDeviceChange::windowMessage_data()
{
    decode_data();
}

// Each record as WM_DEVICECHANGE to the window's own handle, while a connection is open: a
// port's arrival refreshes the list, its removal closes the connection and refreshes the list,
// anything else is ignored; just as the decoder reads the record.
void TestDeviceChange::windowMessage()
{
    QFETCH(qulonglong, eventCode);
    QFETCH(int, kind);
    QFETCH(QString, name);
    const auto record = rowRecord();

    LogCapture log;
    MainWindow w;
    // The handle alone: the system sends the broadcast to hidden top-level windows too.
    const HWND window = reinterpret_cast<HWND>(w.winId());
    WindowInspector::ui(w)->m_pbtnConnect->setText("断开连接");
    QSignalSpy listSpy(&w, &MainWindow::SigGetPortInfoList);
    QSignalSpy closeSpy(&w, &MainWindow::SigCloseSerial);

    SendMessageW(window, WM_DEVICECHANGE, WPARAM(eventCode),
                 reinterpret_cast<LPARAM>(record.get()));

    const bool port = kind != DeviceChange::None;
    const bool removal = kind == DeviceChange::Removal;
    QCOMPARE(listSpy.count(), port ? 1 : 0);
    QCOMPARE(closeSpy.count(), removal ? 1 : 0);
    QStringList lines = log.linesStartingWith("插入串口") + log.linesStartingWith("拔出串口");
    const QString label = removal ? "拔出串口" : "插入串口";
    QCOMPARE(lines, port ? QStringList{label + " \"" + name + "\""} : QStringList());
    QCOMPARE(WindowInspector::ui(w)->m_pbtnConnect->text(), QString(removal ? "连接" : "断开连接"));
}
#endif

QTEST_MAIN(TestDeviceChange)
#include "tst_devicechange.moc"
