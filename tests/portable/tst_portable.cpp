// The portable zip's programs, started from the unpacked folder as a user starts them: with
// nothing of Qt or the compiler on their path, so every DLL and plugin must come from the
// folder. Each must show its window with its title, and end cleanly when that window is asked
// to close.

#include <QDir>
#include <QProcess>
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
// system's own folders on PATH, and no QT_* variable.
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
    return env;
}

} // namespace

class TestPortable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void startsAndCloses_data();
    void startsAndCloses();
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

    QTest::newRow("upgrade tool") << "Quorbel.exe"
                                  << QString::fromUtf8("Quorbel升级工具_V:0.00.01");
    QTest::newRow("burn tool") << "flasher.exe"
                               << "MainWindow";
}

void TestPortable::startsAndCloses()
{
    QFETCH(QString, program);
    QFETCH(QString, title);

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
}

QTEST_GUILESS_MAIN(TestPortable)
#include "tst_portable.moc"
