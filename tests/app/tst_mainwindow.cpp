// The upgrade tool's window as built: widget tree, focus order, style sheet and its effect on
// screen, start-up state, and what the destructor does to a running tool.

#include "logcapture.h"
#include "processcheck.h"
#include "widgetlook.h"
#include "windowinspector.h"

#include "esptool.h"
#include "messages.h"

#include <QFile>
#include <QGridLayout>
#include <QRegularExpression>
#include <QStyle>
#include <QtTest>

namespace
{

void setState(QWidget *widget, const char *state)
{
    widget->setProperty("state", QString::fromLatin1(state));
    widget->style()->polish(widget);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void widgetTree_data();
    void widgetTree();
    void formProperties();
    void creationOrderGivesFocusChain();
    void tabSkipsHiddenWidgets();

    void styleSheetFile();
    void stylePixels_data();
    void stylePixels();
    void batteryBarKeepsGradient_data();
    void batteryBarKeepsGradient();

    void metaObjectOrder();
    void startUpState();
    void destructorKillsRunningTool();
};

void TestMainWindow::initTestCase()
{
    qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");
}

void TestMainWindow::widgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("text");

    // row -1: a box layout entry, column is then its index
    QTest::newRow("serial row") << "m_wgtSerial"
                                << "QWidget"
                                << "gridLayout_3" << 0 << 0 << "";
    QTest::newRow("port list") << "m_pcomboBoxPortName"
                               << "QComboBox"
                               << "horizontalLayout" << -1 << 0 << "";
    QTest::newRow("baud list") << "m_comboBox_PortBaudRate"
                               << "QComboBox"
                               << "horizontalLayout" << -1 << 1 << "";
    QTest::newRow("connect") << "m_pbtnConnect"
                             << "QPushButton"
                             << "horizontalLayout" << -1 << 2 << "连接";
    QTest::newRow("device group") << "groupBox"
                                  << "QGroupBox"
                                  << "gridLayout_3" << 1 << 0 << "";
    QTest::newRow("sn button") << "m_pBtnGetSn"
                               << "QPushButton"
                               << "gridLayout_2" << 0 << 3 << "获取";
    QTest::newRow("sn label") << "label_2"
                              << "QLabel"
                              << "gridLayout_2" << 1 << 0 << "SN：";
    QTest::newRow("sn field") << "lineEdit_Sn"
                              << "QLineEdit"
                              << "gridLayout_2" << 1 << 1 << "";
    QTest::newRow("version button") << "m_pBtnGetVesion"
                                    << "QPushButton"
                                    << "gridLayout_2" << 1 << 3 << "获取";
    QTest::newRow("version label") << "label_3"
                                   << "QLabel"
                                   << "gridLayout_2" << 2 << 0 << "版本：";
    QTest::newRow("version field") << "lineEdit_Vesion"
                                   << "QLineEdit"
                                   << "gridLayout_2" << 2 << 1 << "";
    QTest::newRow("battery button") << "m_pBtnGetBatteryInfo"
                                    << "QPushButton"
                                    << "gridLayout_2" << 2 << 3 << "获取";
    QTest::newRow("battery label") << "label_4"
                                   << "QLabel"
                                   << "gridLayout_2" << 3 << 0 << "电池电量：";
    QTest::newRow("battery bar") << "progressBar_BatteryInfo"
                                 << "QProgressBar"
                                 << "gridLayout_2" << 3 << 1 << "";
    QTest::newRow("get info") << "m_pGetInfo"
                              << "QPushButton"
                              << "gridLayout_2" << 3 << 3 << "获取信息";
    QTest::newRow("firmware row") << "widget"
                                  << "QWidget"
                                  << "gridLayout_3" << 2 << 0 << "";
    QTest::newRow("path field") << "lineEdit"
                                << "QLineEdit"
                                << "gridLayout" << 0 << 0 << "";
    QTest::newRow("choose file") << "pushButton"
                                 << "QPushButton"
                                 << "gridLayout" << 0 << 1 << "选择文件";
    QTest::newRow("flash bar") << "progressBar"
                               << "QProgressBar"
                               << "gridLayout" << 1 << 0 << "";
    QTest::newRow("burn") << "pushButton_Burn"
                          << "QPushButton"
                          << "gridLayout" << 1 << 1 << "升级";
}

void TestMainWindow::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, layout);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(QString, text);

    MainWindow w;
    auto *widget = w.findChild<QWidget *>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(QString(widget->metaObject()->className()), className);

    auto *owner = w.findChild<QLayout *>(layout);
    QVERIFY2(owner, qPrintable(layout));
    const int index = owner->indexOf(widget);
    QVERIFY2(index >= 0, "widget is not in the expected layout");
    if (auto *grid = qobject_cast<QGridLayout *>(owner)) {
        int r, c, rowSpan, columnSpan;
        grid->getItemPosition(index, &r, &c, &rowSpan, &columnSpan);
        QCOMPARE(r, row);
        QCOMPARE(c, column);
        QCOMPARE(rowSpan, 1);
        QCOMPARE(columnSpan, 1);
        QCOMPARE(grid->itemAt(index)->alignment(), Qt::Alignment());
    } else {
        QCOMPARE(row, -1);
        QCOMPARE(index, column);
    }

    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        QCOMPARE(button->text(), text);
    else if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->text(), text);
}

void TestMainWindow::formProperties()
{
    // The form as setupUi leaves it, before the window's own construction steps change it.
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);

    QCOMPARE(window.objectName(), QString("MainWindow"));
    QCOMPARE(window.size(), QSize(653, 522));
    QCOMPARE(window.windowTitle(), QString("MainWindow"));
    QCOMPARE(window.centralWidget(), ui.centralwidget);
    QCOMPARE(ui.centralwidget->layout(), ui.gridLayout_3);
    QCOMPARE(ui.groupBox->layout(), ui.gridLayout_2);
    QCOMPARE(ui.widget->layout(), ui.gridLayout);
    QCOMPARE(ui.m_wgtSerial->layout(), ui.horizontalLayout);
    QCOMPARE(ui.groupBox->title(), QString());

    QCOMPARE(window.menuBar(), ui.menubar);
    QCOMPARE(ui.menubar->geometry(), QRect(0, 0, 653, 23));
    QVERIFY(ui.menubar->actions().isEmpty());
    QCOMPARE(window.statusBar(), ui.statusbar);
    QVERIFY(ui.statusbar->currentMessage().isEmpty());

    for (QLineEdit *field : {ui.lineEdit_Sn, ui.lineEdit_Vesion}) {
        QVERIFY(field->isReadOnly());
        QCOMPARE(field->alignment(), Qt::AlignCenter);
    }
    QVERIFY(!ui.lineEdit->isReadOnly());

    QCOMPARE(ui.progressBar_BatteryInfo->value(), 25);
    QCOMPARE(ui.progressBar_BatteryInfo->orientation(), Qt::Horizontal);
    QVERIFY(!ui.progressBar_BatteryInfo->invertedAppearance());
    QCOMPARE(ui.progressBar->value(), 0);
    QCOMPARE(ui.progressBar->textDirection(), QProgressBar::TopToBottom);
    for (QProgressBar *bar : {ui.progressBar, ui.progressBar_BatteryInfo}) {
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QVERIFY(bar->isTextVisible());
    }
    QCOMPARE(ui.m_pcomboBoxPortName->count(), 0);
    QCOMPARE(ui.m_comboBox_PortBaudRate->count(), 0);
}

void TestMainWindow::creationOrderGivesFocusChain()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    const QStringList expected{"lineEdit_Vesion",
                               "m_pBtnGetSn",
                               "lineEdit_Sn",
                               "m_pBtnGetVesion",
                               "m_pBtnGetBatteryInfo",
                               "m_pGetInfo",
                               "lineEdit",
                               "pushButton",
                               "pushButton_Burn",
                               "m_pcomboBoxPortName",
                               "m_comboBox_PortBaudRate",
                               "m_pbtnConnect"};
    QCOMPARE(focusablesInChain(&window), expected);
}

void TestMainWindow::tabSkipsHiddenWidgets()
{
    MainWindow w;
    w.show();
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    Ui_MainWindow *ui = WindowInspector::ui(w);

    ui->lineEdit_Vesion->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(ui->lineEdit_Vesion));
    QStringList visited{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 6; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    const QStringList expected{"lineEdit_Vesion", "lineEdit_Sn",     "m_pGetInfo",     "lineEdit",
                               "pushButton",      "pushButton_Burn", "lineEdit_Vesion"};
    QCOMPARE(visited, expected);
}

void TestMainWindow::styleSheetFile()
{
    QFile file(":/qss/style.qss");
    QVERIFY(file.open(QFile::ReadOnly));
    const QByteArray bytes = file.readAll();

    QVERIFY2(!bytes.startsWith("\xEF\xBB\xBF"), "the sheet must not start with a byte-order mark");
    const QByteArray firstLine = bytes.left(bytes.indexOf("\r\n"));
    QCOMPARE(QString::fromUtf8(firstLine),
             QString("/* ==================== 备选方案：更清新的浅蓝色 ==================== */"));
    QCOMPARE(bytes.count('\n'), bytes.count("\r\n"));
    QCOMPARE(bytes.count('\r'), bytes.count("\r\n"));

    // The rules, in file order: a later rule wins between equals, so order is behaviour.
    QString text = QString::fromUtf8(bytes);
    text.remove(QRegularExpression("/\\*.*?\\*/", QRegularExpression::DotMatchesEverythingOption));
    QStringList selectors;
    QRegularExpressionMatchIterator it = QRegularExpression("([^{}]+)\\{").globalMatch(text);
    while (it.hasNext())
        selectors << it.next().captured(1).simplified();
    const QStringList expected{
        "QWidget",
        "QMainWindow",
        "QLineEdit",
        "QLineEdit:focus",
        "QPushButton",
        "QPushButton:disabled",
        "QPushButton:hover",
        "QPushButton:pressed",
        "QPushButton#pushButton",
        "QPushButton#pushButton:hover",
        "QPushButton#pushButton_Burn",
        "QPushButton#pushButton_Burn:hover",
        "QPushButton#pushButton:disabled",
        "QPushButton#pushButton_Burn:disabled",
        "QPushButton#pushButton_Burn[state=\"burning\"]",
        "QProgressBar",
        "QProgressBar::chunk",
        "QProgressBar[state=\"burning\"]::chunk",
        "QProgressBar[state=\"error\"]::chunk",
        "QProgressBar#progressBar_BatteryInfo[state=\"high\"]::chunk",
        "QProgressBar#progressBar_BatteryInfo::chunk",
    };
    QCOMPARE(selectors, expected);
}

void TestMainWindow::stylePixels_data()
{
    QTest::addColumn<QString>("widgetName");
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("value");
    QTest::addColumn<double>("x"); // where to sample, as a fraction of the widget
    QTest::addColumn<QColor>("expected");

    QTest::newRow("burn button normal") << "pushButton_Burn"
                                        << "" << true << 0 << 0.03 << QColor("#6DB33F");
    QTest::newRow("burn button burning and disabled")
        << "pushButton_Burn"
        << "burning" << false << 0 << 0.03 << QColor("#d6d6d6");
    QTest::newRow("burn button disabled without state")
        << "pushButton_Burn"
        << "" << false << 0 << 0.03 << QColor("#F5F7F9");
    QTest::newRow("choose button") << "pushButton"
                                   << "" << true << 0 << 0.03 << QColor("#4A9FD8");
    QTest::newRow("flash bar normal chunk") << "progressBar"
                                            << "" << true << 60 << 0.25 << QColor("#4A9FD8");
    QTest::newRow("flash bar burning chunk")
        << "progressBar"
        << "burning" << true << 60 << 0.25 << QColor("#7CB342");
    QTest::newRow("flash bar error chunk") << "progressBar"
                                           << "error" << true << 60 << 0.25 << QColor("#E57373");
    QTest::newRow("flash bar beyond the chunk")
        << "progressBar"
        << "burning" << true << 20 << 0.8 << QColor("#FFFFFF");
    QTest::newRow("battery bar high") << "progressBar_BatteryInfo"
                                      << "high" << true << 100 << 0.1 << QColor("#E57373");
    QTest::newRow("battery bar high, right end")
        << "progressBar_BatteryInfo"
        << "high" << true << 100 << 0.9 << QColor("#E57373");
}

void TestMainWindow::stylePixels()
{
    QFETCH(QString, widgetName);
    QFETCH(QString, state);
    QFETCH(bool, enabled);
    QFETCH(int, value);
    QFETCH(double, x);
    QFETCH(QColor, expected);

    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto *widget = w.findChild<QWidget *>(widgetName);
    QVERIFY(widget);
    widget->setEnabled(enabled);
    if (auto *bar = qobject_cast<QProgressBar *>(widget)) {
        bar->setValue(value);
        bar->setTextVisible(false); // sample colour, not glyphs
    }
    setState(widget, state.toLatin1().constData());

    const QColor seen = pixel(widget, x, 0.5);
    QVERIFY2(near(seen, expected),
             qPrintable(QString("saw %1, expected %2").arg(seen.name(), expected.name())));
}

void TestMainWindow::batteryBarKeepsGradient_data()
{
    QTest::addColumn<QString>("state");
    QTest::newRow("no state") << "";
    QTest::newRow("burning") << "burning";
    QTest::newRow("error") << "error";
    QTest::newRow("an unknown value") << "low";
}

void TestMainWindow::batteryBarKeepsGradient()
{
    QFETCH(QString, state);
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QProgressBar *bar = WindowInspector::ui(w)->progressBar_BatteryInfo;
    bar->setValue(100);
    bar->setTextVisible(false);
    setState(bar, state.toLatin1().constData());

    // Red towards empty, cyan-green towards full.
    const QColor low = pixel(bar, 0.08, 0.5);
    const QColor high = pixel(bar, 0.92, 0.5);
    QVERIFY2(low.red() > 230 && low.green() < 150 && low.blue() < 130, qPrintable(low.name()));
    QVERIFY2(high.green() > high.red() && high.blue() > 120, qPrintable(high.name()));
}

void TestMainWindow::metaObjectOrder()
{
    // The order fixes the indices; the on_<name>_clicked slots are bound by name.
    const QMetaObject &meta = MainWindow::staticMetaObject;
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        methods << QString("%1 %2 %3")
                       .arg(method.methodType() == QMetaMethod::Signal ? "signal" : "slot",
                            method.access() == QMetaMethod::Public ? "public" : "private",
                            QString::fromLatin1(method.methodSignature()));
    }
    const QStringList expected{
        "signal public SigOpenSerial(QString,QSerialPort::BaudRate)",
        "signal public SigCloseSerial()",
        "signal public SigGetPortInfoList()",
        "slot private on_pushButton_clicked()",
        "slot private on_pushButton_Burn_clicked()",
        "slot private on_m_pBtnGetSn_clicked()",
        "slot private on_m_pBtnGetVesion_clicked()",
        "slot private on_m_pBtnGetBatteryInfo_clicked()",
        "slot private on_m_pbtnConnect_clicked()",
        "slot private slotTimeOut()",
        "slot private on_m_pGetInfo_clicked()",
    };
    QCOMPARE(methods, expected);
}

void TestMainWindow::startUpState()
{
    LogCapture log;
    MainWindow w;
    Ui_MainWindow *ui = WindowInspector::ui(w);

    QCOMPARE(log.linesStartingWith("Find styleFile:"), QStringList{"Find styleFile: true"});
    QVERIFY(!qApp->styleSheet().isEmpty());
    QCOMPARE(w.windowTitle(), QString("Quorbel升级工具_V:0.00.01"));
    QVERIFY(!w.windowIcon().isNull());
    QVERIFY(w.windowIcon().availableSizes().contains(QSize(256, 256)));

    for (QProgressBar *bar : {ui->progressBar, ui->progressBar_BatteryInfo}) {
        QCOMPARE(bar->value(), 0);
        QCOMPARE(bar->property("state").toString(), QString(""));
        QVERIFY(bar->property("state").isValid());
    }
    // Before the first run the burn button carries no state at all.
    QVERIFY(!ui->pushButton_Burn->property("state").isValid());

    QCOMPARE(WindowInspector::deviceVersion(w), -1);
    QCOMPARE(WindowInspector::firmwareVersion(w), -2);
    QCOMPARE(WindowInspector::processMode(w), 0);
    QVERIFY(WindowInspector::portName(w).isEmpty());
    QVERIFY(WindowInspector::filePath(w).isEmpty());
    QVERIFY(!WindowInspector::getInfoTimer(w).isActive());
    QCOMPARE(WindowInspector::process(w)->state(), QProcess::NotRunning);
    QCOMPARE(WindowInspector::process(w)->processChannelMode(), QProcess::MergedChannels);
    QCOMPARE(WindowInspector::process(w)->parent(), &w);

    // The window as first shown: the device group and the firmware row, nothing of the
    // serial row or the single-value queries.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    for (QWidget *hidden :
         {static_cast<QWidget *>(ui->m_wgtSerial), static_cast<QWidget *>(ui->m_pBtnGetSn),
          static_cast<QWidget *>(ui->m_pBtnGetVesion),
          static_cast<QWidget *>(ui->m_pBtnGetBatteryInfo)})
        QVERIFY2(!hidden->isVisible(), qPrintable(hidden->objectName()));
    QVERIFY(ui->m_pGetInfo->isVisible());
    QVERIFY(ui->pushButton_Burn->isVisible());
}

void TestMainWindow::destructorKillsRunningTool()
{
    qint64 pid = 0;
    LogCapture log;
    {
        auto *w = new MainWindow;
        QProcess *process = WindowInspector::process(*w);
        WindowInspector::setProcessMode(*w, 1);
        // A tool that never ends on its own.
        qputenv("ESPTOOL_STANDIN_SCENARIO", "hang");
        process->start(QStringLiteral(QUORBEL_STANDIN), esptool::probeArguments());
        qunsetenv("ESPTOOL_STANDIN_SCENARIO");
        QVERIFY(process->waitForStarted());
        pid = process->processId();
        QVERIFY(pid > 0);
        QVERIFY(!processGone(pid));
        delete w;
    }
    // Killed and reaped: no such process any more.
    QVERIFY(processGone(pid));
    // The end of the run still reached the completion handler, on the window being destroyed.
    QCOMPARE(log.linesStartingWith("left:").size(), 1);
    QCOMPARE(log.linesStartingWith("m_strInfo:").size(), 1);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
