// The portable zip's programs, started from the unpacked folder as a user starts them: with
// nothing of Qt or the compiler on their path, so every DLL and plugin must come from the
// folder. Each must show its window with its title, and end cleanly when that window is asked
// to close; and at 150 % (144 DPI) it must be drawn one and a half times as large as at 100 %.

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <qt_windows.h>

namespace
{

const QString kFolder = QStringLiteral(QUORBEL_UNPACKED_ZIP);

struct Search {
    DWORD processId = 0;
    QString title;
    HWND found = nullptr;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM parameter)
{
    auto *search = reinterpret_cast<Search *>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    if (owner == search->processId && IsWindowVisible(window) &&
        QString::fromWCharArray(text) == search->title) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// The visible top-level window of that process with that title, or none.
HWND windowTitled(qint64 processId, const QString &title)
{
    Search search{DWORD(processId), title, nullptr};
    EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// This process's environment without what led it to Qt and the compiler's runtime: the
// system's own folders on PATH, and no QT_* variable. The program reports its window.
QProcessEnvironment bareEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &key : env.keys()) {
        if (key.startsWith(QLatin1String("QT_")))
            env.remove(key);
    }
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    env.insert(QStringLiteral("PATH"), QString::fromWCharArray(system) + QLatin1Char(';') +
                                           QString::fromWCharArray(windows));
    env.insert(QStringLiteral("QUORBEL_REPORT_WINDOW"), QStringLiteral("1"));
    return env;
}

// One "name=WxH" of that report, in device pixels.
QSizeF measured(const QString &report, const QString &name)
{
    const auto match = QRegularExpression(name + QStringLiteral("=(\\d+)x(\\d+)")).match(report);
    return QSizeF(match.captured(1).toDouble(), match.captured(2).toDouble());
}

} // namespace

class TestPortable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void startsAndCloses_data();
    void startsAndCloses();
    void scalesWithDisplay_data() { startsAndCloses_data(); }
    void scalesWithDisplay();

private:
    void startAndClose(const QString &program, const QString &title, DWORD dpi, QString *report);
};

void TestPortable::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY2(QFileInfo(kFolder).isDir(), qPrintable(kFolder + " is not there"));
}

void TestPortable::startsAndCloses_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("icons"); // as loaded with the zip's image-format plugins

    // clang-format off
    QTest::newRow("upgrade tool") << "Quorbel.exe" << QString::fromUtf8("Quorbel升级工具_V:0.00.01") << "16,24,32,48,64,72,96,128,256";
    QTest::newRow("burn tool") << "flasher.exe" << "MainWindow" << "";
    QTest::newRow("station") << "QuorbelStation.exe" << QString::fromUtf8("Quorbel 工位") << "16,24,32,48,64,72,96,128,256";
    // clang-format on
}

void TestPortable::startsAndCloses()
{
    QFETCH(QString, program);
    QFETCH(QString, title);
    QFETCH(QString, icons);

    QString report;
    startAndClose(program, title, 96, &report);
    QCOMPARE(report.section(QStringLiteral("icons="), 1).trimmed(), icons);
}

// The window and a button's text, in device pixels, one and a half times as large at 150 % as
// at 100 %, within a tenth (so the window of either program still fits 1920x1080 at 150 %).
void TestPortable::scalesWithDisplay()
{
    QFETCH(QString, program);
    QFETCH(QString, title);

    QString at96, at144;
    startAndClose(program, title, 96, &at96);
    startAndClose(program, title, 144, &at144);
    for (const QString &name : {QStringLiteral("window"), QStringLiteral("text")}) {
        const QSizeF small = measured(at96, name), large = measured(at144, name);
        const qreal wide = large.width() / small.width(), tall = large.height() / small.height();
        qInfo().noquote() << "scale" << program << name << small << "->" << large << wide << tall;
        QVERIFY(qAbs(wide - 1.5) <= 0.15 && qAbs(tall - 1.5) <= 0.15);
    }
}

// Started at that display scale (Windows' setting, read by a program as it starts), the program
// shows its window, closes when asked, and hands back its report.
void TestPortable::startAndClose(const QString &program, const QString &title, DWORD dpi,
                                 QString *report)
{
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", REG_DWORD, &dpi,
                    sizeof dpi);
    QProcess process;
    process.setWorkingDirectory(kFolder);
    process.setProcessEnvironment(bareEnvironment());
    QSignalSpy finished(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    process.start(QDir(kFolder).filePath(program), QStringList());
    QVERIFY2(process.waitForStarted(30000), qPrintable(process.errorString()));

    HWND window = nullptr;
    QTRY_VERIFY2_WITH_TIMEOUT((window = windowTitled(process.processId(), title)) != nullptr,
                              qPrintable(QStringLiteral("no window titled \"%1\"").arg(title)),
                              30000);
    PostMessageW(window, WM_CLOSE, 0, 0);
    QVERIFY(finished.wait(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    *report = QString::fromUtf8(process.readAllStandardOutput());
}

QTEST_GUILESS_MAIN(TestPortable)
#include "tst_portable.moc"
