// The window without its resource bundle: no style sheet, no icon, and still a working window.

#include "boxcatcher.h"
#include "logcapture.h"
#include "windowinspector.h"

#include "messages.h"

#include <QtTest>

class TestMainWindowWithoutResources : public QObject
{
    Q_OBJECT

private slots:
    void opensUnstyled()
    {
        qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");
        LogCapture log;
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));

        QCOMPARE(log.linesStartingWith("Find styleFile:"), QStringList{"Find styleFile: false"});
        QVERIFY(qApp->styleSheet().isEmpty());
        QVERIFY(w.windowIcon().availableSizes().isEmpty());
        QCOMPARE(w.windowTitle(), QString("Quorbel升级工具_V:0.00.01"));

        // Still working: the gate answers the burn button.
        Ui_MainWindow *ui = WindowInspector::ui(w);
        BoxCatcher boxes;
        QTest::mouseClick(ui->pushButton_Burn, Qt::LeftButton);
        QTRY_COMPARE(boxes.count(), 1);
        QCOMPARE(boxes.lastText(), QString("请先获取版本"));
        QCOMPARE(ui->progressBar->value(), 0);
        QCOMPARE(ui->m_comboBox_PortBaudRate->currentText(), QString("115200"));
    }
};

QTEST_MAIN(TestMainWindowWithoutResources)
#include "tst_mainwindow_nostyle.moc"
