// Choosing a firmware file in the upgrade tool: the version its name carries, what the window
// keeps of the choice, and the settings file that remembers the folder from one start to the
// next. Every test runs in a working directory of its own, since that is where the settings
// file lives.

#include "boxcatcher.h"
#include "firmwaretest.h"
#include "logcapture.h"
#include "windowinspector.h"

#include "messages.h"
#include "stagelimits.h"

#include <QSettings>
#include <QtTest>

#include <memory>

namespace
{

// How the settings class writes a value without a text codec: characters outside ASCII as
// "\x" and their hexadecimal code. Only what the rows below need (no hex digit directly after
// an escaped character).
QString iniEscaped(const QString &value)
{
    QString out;
    for (const QChar ch : value)
        out += ch.unicode() < 0x80 ? QString(ch) : QString("\\x%1").arg(ch.unicode(), 0, 16);
    return out;
}

bool isAscii(const QByteArray &bytes)
{
    for (const char c : bytes)
        if (uchar(c) >= 0x80)
            return false;
    return true;
}

void choose(MainWindow &w)
{
    WindowInspector::ui(w)->pushButton->click();
}

} // namespace

class TestFirmware : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void versionFromChosenFile_data();
    void versionFromChosenFile();
    void choiceKeepsPathAsReturned_data();
    void choiceKeepsPathAsReturned();
    void cancelKeepsEarlierChoice_data();
    void cancelKeepsEarlierChoice();

    void settingsFileCreatedOnStart();
    void folderWrittenAndReadBack_data();
    void folderWrittenAndReadBack();
    void storedFolderRead_data();
    void storedFolderRead();
    void unwritableConfigIsIgnored_data();
    void unwritableConfigIsIgnored();
    void workingDirectoriesKeepTheirOwnFolder();
    void limitsRead_data();
    void limitsRead();

private:
    std::unique_ptr<WorkDir> m_work;
    std::unique_ptr<DialogScript> m_dialog;
};

void TestFirmware::initTestCase()
{
    qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");
}

void TestFirmware::init()
{
    m_work.reset(new WorkDir);
    QVERIFY(m_work->isValid());
    m_dialog.reset(new DialogScript);
}

void TestFirmware::cleanup()
{
    // A choice's deferred write must land before its folder goes, or the settings object
    // would create the folder anew when it gets to it.
    QCoreApplication::sendPostedEvents();
    m_dialog.reset();
    m_work.reset();
}

void TestFirmware::versionFromChosenFile_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("digits"); // logged after "版本号:"; empty: no such line

    QTest::newRow("version between underscores") << "fw"
                                                 << "fw_V12_release.bin" << 12 << "12";
    QTest::newRow("leading zeros") << "fw"
                                   << "fw_V012_x.bin" << 12 << "012";
    QTest::newRow("underscore right before the extension") << "fw"
                                                           << "fw_V7_.bin" << 7 << "7";
    QTest::newRow("version zero") << "fw"
                                  << "fw_V0_x.bin" << 0 << "0";
    QTest::newRow("no closing underscore") << "fw"
                                           << "fw_V12.bin" << -1 << "";
    QTest::newRow("lower-case v") << "fw"
                                  << "fw_v12_.bin" << -1 << "";
    QTest::newRow("no digits") << "fw"
                               << "fw_V_x.bin" << -1 << "";
    QTest::newRow("first of two versions") << "fw"
                                           << "a_V3_b_V4_.bin" << 3 << "3";
    QTest::newRow("version only in the folder") << "fw_V9_"
                                                << "plain.bin" << -1 << "";
    QTest::newRow("folder and file both carry one") << "fw_V9_"
                                                    << "fw_V5_x.bin" << 5 << "5";
    QTest::newRow("arabic-indic digits") << "fw" << QString::fromUtf8("fw_V١٢_x.bin") << -1 << "";
    QTest::newRow("full-width digits") << "fw" << QString::fromUtf8("fw_V１２_x.bin") << -1 << "";
    QTest::newRow("largest int") << "fw"
                                 << "fw_V2147483647_x.bin" << 2147483647 << "2147483647";
    QTest::newRow("one past the largest int") << "fw"
                                              << "fw_V2147483648_x.bin" << 0 << "2147483648";
    QTest::newRow("overflowing digit run")
        << "fw"
        << "fw_V99999999999999999999_x.bin" << 0 << "99999999999999999999";
}

void TestFirmware::versionFromChosenFile()
{
    QFETCH(QString, folder);
    QFETCH(QString, fileName);
    QFETCH(int, version);
    QFETCH(QString, digits);

    MainWindow w;
    LogCapture log;
    m_dialog->answer(m_work->path(folder + "/" + fileName));
    choose(w);

    QCOMPARE(WindowInspector::firmwareVersion(w), version);
    QCOMPARE(log.linesStartingWith("固件文件名："),
             QStringList{QString("固件文件名： \"%1\"").arg(fileName)});
    const QStringList digitLines =
        digits.isEmpty() ? QStringList() : QStringList{QString("版本号: \"%1\"").arg(digits)};
    QCOMPARE(log.linesStartingWith("版本号:"), digitLines);
}

void TestFirmware::choiceKeepsPathAsReturned_data()
{
    // %W stands for the test's working directory, known only once the test runs.
    QTest::addColumn<QString>("returned");
    QTest::addColumn<QString>("folder");

    QTest::newRow("plain path") << "%W/images/fw_V3_a.bin"
                                << "%W/images";
    QTest::newRow("redundant segments") << "%W/images/./sub//fw_V3_a.bin"
                                        << "%W/images/sub";
    QTest::newRow("folder through a symbolic link") << "%W/link/fw_V3_a.bin"
                                                    << "%W/link";
}

void TestFirmware::choiceKeepsPathAsReturned()
{
    QFETCH(QString, returned);
    QFETCH(QString, folder);
    returned.replace("%W", m_work->path());
    folder.replace("%W", m_work->path());
    QVERIFY(makeFile(m_work->path("images/sub/fw_V3_a.bin")));
    QVERIFY(makeFile(m_work->path("images/fw_V3_a.bin")));
    QVERIFY(QFile::link(m_work->path("images"), m_work->path("link")));

    MainWindow w;
    m_dialog->answer(returned);
    choose(w);

    QCOMPARE(WindowInspector::filePath(w), returned);
    QCOMPARE(WindowInspector::ui(w)->lineEdit->text(), returned);
    QCOMPARE(WindowInspector::firmwareVersion(w), 3);
    QCOMPARE(WindowInspector::lastDir(w), folder);

    m_dialog->cancel();
    choose(w);
    QCOMPARE(m_dialog->calls().size(), 2);
    for (const DialogScript::Call &call : m_dialog->calls()) {
        QCOMPARE(call.parent.data(), static_cast<QWidget *>(&w));
        QCOMPARE(call.caption, QString("选择文件"));
        QCOMPARE(call.filter, QString("Files(*.bin)"));
        QVERIFY(call.options.testFlag(QFileDialog::DontResolveSymlinks));
    }
    // Nothing stored yet: the dialog chooses its own folder the first time.
    QCOMPARE(m_dialog->calls().at(0).dir, QString());
    QCOMPARE(m_dialog->calls().at(1).dir, folder);
}

void TestFirmware::cancelKeepsEarlierChoice_data()
{
    QTest::addColumn<QString>("earlier"); // file chosen before the cancel; empty: none

    QTest::newRow("cancel after a choice") << "images/fw_V5_x.bin";
    QTest::newRow("cancel before any choice") << "";
}

void TestFirmware::cancelKeepsEarlierChoice()
{
    QFETCH(QString, earlier);

    MainWindow w;
    Ui_MainWindow *ui = WindowInspector::ui(w);
    QString earlierPath, earlierFolder;
    if (!earlier.isEmpty()) {
        earlierPath = m_work->path(earlier);
        earlierFolder = QFileInfo(earlierPath).absolutePath();
        m_dialog->answer(earlierPath);
        choose(w);
        QTRY_VERIFY(configText(m_work->configFile()).contains("LastDir="));
    }
    const QByteArray configBefore = fileBytes(m_work->configFile());

    LogCapture log;
    m_dialog->cancel();
    choose(w);
    QCoreApplication::sendPostedEvents();

    QCOMPARE(log.linesStartingWith("str_FilePath"), QStringList{"str_FilePath true"});
    QVERIFY(log.linesStartingWith("固件文件名：").isEmpty());
    QCOMPARE(WindowInspector::filePath(w), earlierPath);
    QCOMPARE(ui->lineEdit->text(), earlierPath);
    QCOMPARE(WindowInspector::firmwareVersion(w), earlier.isEmpty() ? -2 : 5);
    QCOMPARE(WindowInspector::lastDir(w), earlierFolder);
    QCOMPARE(fileBytes(m_work->configFile()), configBefore);
    QCOMPARE(QFile::exists(m_work->configFile()), !earlier.isEmpty());
}

void TestFirmware::settingsFileCreatedOnStart()
{
    LogCapture log;
    MainWindow w;

    const QString expected = m_work->path("CONFIG/config.ini");
    QCOMPARE(WindowInspector::configFileName(w), expected);
    QCOMPARE(log.linesStartingWith("str_CfgFileName"),
             QStringList{QString("str_CfgFileName \"%1\"").arg(expected)});
    QVERIFY(QFileInfo(m_work->path("CONFIG")).isDir());
    QVERIFY(WindowInspector::lastDir(w).isEmpty());
    QCOMPARE(WindowInspector::settings(w)->format(), QSettings::IniFormat);
    QCOMPARE(WindowInspector::settings(w)->fileName(), expected);

    // The file itself waits for the first choice.
    QCoreApplication::sendPostedEvents();
    QVERIFY(!QFile::exists(expected));
}

void TestFirmware::folderWrittenAndReadBack_data()
{
    QTest::addColumn<QString>("folderName");
    QTest::addColumn<bool>("quoted"); // the value holds a list separator or comment mark

    QTest::newRow("ascii folder") << "images" << false;
    QTest::newRow("chinese folder") << QString::fromUtf8("固件") << false;
    QTest::newRow("chinese inside the path") << QString::fromUtf8("发布/v2 images") << false;
    QTest::newRow("comma and semicolon") << "v2, final;b" << true;
}

void TestFirmware::folderWrittenAndReadBack()
{
    QFETCH(QString, folderName);
    QFETCH(bool, quoted);
    const QString folder = m_work->path(folderName);
    QVERIFY(makeFile(folder + "/fw_V2_x.bin"));

    {
        MainWindow w;
        m_dialog->answer(folder + "/fw_V2_x.bin");
        choose(w);
    }

    // The settings object writes once control is back in the event loop.
    const QString value = iniEscaped(folder);
    const QString line = "LastDir=" + (quoted ? "\"" + value + "\"" : value);
    QTRY_VERIFY(configText(m_work->configFile()).contains("LastDir="));
    const QByteArray bytes = fileBytes(m_work->configFile());
    QVERIFY2(isAscii(bytes), bytes.constData());
    QStringList lines = QString::fromLatin1(bytes).split(kSettingsLineEnd);
    lines.removeAll(QString());
    QCOMPARE(lines, (QStringList{"[General]", line}));

    // A later start from the same folder begins there.
    {
        MainWindow again;
        QCOMPARE(WindowInspector::lastDir(again), folder);
        m_dialog->cancel();
        choose(again);
        QCOMPARE(m_dialog->calls().last().dir, folder);
    }

    // The bytes on disk alone carry it: a copy read where this process never wrote.
    WorkDir elsewhere;
    QVERIFY(QDir().mkpath(elsewhere.path("CONFIG")));
    QVERIFY(QFile::copy(m_work->configFile(), elsewhere.configFile()));
    MainWindow copy;
    QCOMPARE(WindowInspector::lastDir(copy), folder);
}

void TestFirmware::storedFolderRead_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("lastDir");

    QTest::newRow("plain folder") << QByteArray("[General]\nLastDir=/srv/firmware\n")
                                  << "/srv/firmware";
    QTest::newRow("escaped chinese folder")
        << QByteArray("[General]\nLastDir=/srv/\\x56fa\\x4ef6\n") << QString::fromUtf8("/srv/固件");
    QTest::newRow("windows line ends") << QByteArray("[General]\r\nLastDir=C:/fw\r\n") << "C:/fw";
    QTest::newRow("stored folder no longer exists")
        << QByteArray("[General]\nLastDir=/no/such/folder\n") << "/no/such/folder";
    QTest::newRow("unquoted comma reads as a list")
        << QByteArray("[General]\nLastDir=/a, /b\n") << "";
    QTest::newRow("key in another section") << QByteArray("[Other]\nLastDir=/srv/firmware\n") << "";
    QTest::newRow("other keys only") << QByteArray("[General]\nLastFile=/srv/a.bin\n") << "";
    QTest::newRow("empty file") << QByteArray() << "";
    QTest::newRow("not an ini file") << QByteArray("\x00\x01\xff garbage", 12) << "";
}

void TestFirmware::storedFolderRead()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, lastDir);
    QVERIFY(QDir().mkpath(m_work->path("CONFIG")));
    QFile file(m_work->configFile());
    QVERIFY(file.open(QFile::WriteOnly));
    QCOMPARE(file.write(config), qint64(config.size()));
    file.close();

    MainWindow w;
    QCOMPARE(WindowInspector::lastDir(w), lastDir);
    m_dialog->cancel();
    choose(w);
    QCOMPARE(m_dialog->calls().last().dir, lastDir);
}

void TestFirmware::unwritableConfigIsIgnored_data()
{
    QTest::addColumn<bool>("asLink"); // CONFIG a dangling symbolic link, else a regular file

    // Running as root, permissions would not stop the write: block the folder itself.
    QTest::newRow("CONFIG is a regular file") << false;
    QTest::newRow("CONFIG is a dangling link") << true;
}

void TestFirmware::unwritableConfigIsIgnored()
{
    QFETCH(bool, asLink);
#ifdef Q_OS_WIN
    if (asLink)
        QSKIP("a dangling symbolic link is POSIX's; Windows' shortcut files are plain files");
#endif
    const QString config = m_work->path("CONFIG");
    const QByteArray blocker("not a folder");
    if (asLink) {
        QVERIFY(QFile::link(m_work->path("missing"), config));
    } else {
        QFile file(config);
        QVERIFY(file.open(QFile::WriteOnly));
        QCOMPARE(file.write(blocker), qint64(blocker.size()));
    }
    const QString firmware = m_work->path("images/fw_V4_x.bin");
    QVERIFY(makeFile(firmware));

    BoxCatcher boxes;
    LogCapture log;
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(log.linesStartingWith("str_CfgFileName").size(), 1);
    QVERIFY(WindowInspector::lastDir(w).isEmpty());

    m_dialog->answer(firmware);
    choose(w);
    QCOMPARE(WindowInspector::filePath(w), firmware);
    QCOMPARE(WindowInspector::ui(w)->lineEdit->text(), firmware);
    QCOMPARE(WindowInspector::firmwareVersion(w), 4);
    // This run still starts its next choice there; only the file is missing.
    QCOMPARE(WindowInspector::lastDir(w), m_work->path("images"));

    // Let the deferred write happen: it fails, and says nothing.
    QCoreApplication::sendPostedEvents();
    QCOMPARE(WindowInspector::settings(w)->status(), QSettings::AccessError);
    QCOMPARE(boxes.count(), 0);
    QVERIFY(w.isVisible());

    if (asLink) {
        QVERIFY(QFileInfo(config).isSymLink());
        QVERIFY(!QFileInfo::exists(m_work->path("missing")));
    } else {
        QVERIFY(QFileInfo(config).isFile());
        QCOMPARE(fileBytes(config), blocker);
    }
}

void TestFirmware::workingDirectoriesKeepTheirOwnFolder()
{
    const WorkDir &first = *m_work;
    WorkDir second;
    const QString firstFolder = first.path("one");
    const QString secondFolder = second.path("two");

    first.enter();
    {
        MainWindow w;
        m_dialog->answer(firstFolder + "/fw_V1_a.bin");
        choose(w);
    }
    second.enter();
    {
        MainWindow w;
        m_dialog->answer(secondFolder + "/fw_V2_b.bin");
        choose(w);
    }
    QTRY_VERIFY(configText(first.configFile()).contains("LastDir=" + firstFolder + "\n"));
    QTRY_VERIFY(configText(second.configFile()).contains("LastDir=" + secondFolder + "\n"));

    first.enter();
    {
        MainWindow w;
        QCOMPARE(WindowInspector::configFileName(w), first.configFile());
        QCOMPARE(WindowInspector::lastDir(w), firstFolder);
    }
    second.enter();
    {
        MainWindow w;
        QCOMPARE(WindowInspector::configFileName(w), second.configFile());
        QCOMPARE(WindowInspector::lastDir(w), secondFolder);
    }
}

void TestFirmware::limitsRead_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("limits"); // probe|burn silence|verify|station parallel, seconds

    // clang-format off
    QTest::newRow("none set: the defaults") << QByteArray("[General]\nLastDir=/fw\n") << "120|300|20|8";
    QTest::newRow("each set") << QByteArray("[Limits]\nProbeSeconds=5\nBurnSilenceSeconds=7\nVerifySeconds=3\n[Station]\nMaxParallel=2\n") << "5|7|3|2";
    QTest::newRow("zero and negative mean the default") << QByteArray("[Limits]\nProbeSeconds=0\nVerifySeconds=-4\n") << "120|300|20|8";
    QTest::newRow("not whole seconds mean the default") << QByteArray("[Limits]\nProbeSeconds=1.5\nBurnSilenceSeconds=ten\nVerifySeconds=99999999999\n") << "120|300|20|8";
    QTest::newRow("blanks around a number, windows line ends") << QByteArray("[Limits]\r\nVerifySeconds = 9 \r\n") << "120|300|9|8";
    QTest::newRow("keys outside their group") << QByteArray("[General]\nProbeSeconds=5\nMaxParallel=1\n") << "120|300|20|8";
    // clang-format on
}

void TestFirmware::limitsRead()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, limits);
    QFile file(m_work->path("limits.ini"));
    QSettings settings(file.fileName(), QSettings::IniFormat);
    // Read once before the file is written, as by a program that runs while a bench edits it.
    QCOMPARE(firmware::readLimits(settings).probeSeconds, 120);
    QVERIFY(file.open(QFile::WriteOnly));
    QCOMPARE(file.write(config), qint64(config.size()));
    file.close();

    const firmware::Limits read = firmware::readLimits(settings);
    QCOMPARE(QString("%1|%2|%3|%4")
                 .arg(read.probeSeconds)
                 .arg(read.burnSilenceSeconds)
                 .arg(read.verifySeconds)
                 .arg(read.maxParallel),
             limits);
    // A limit long enough to wrap a timer's milliseconds is cut, never negative.
    QVERIFY(firmware::Limits::milliseconds(2147483) > 0);
}

QTEST_MAIN(TestFirmware)
#include "tst_firmware.moc"
