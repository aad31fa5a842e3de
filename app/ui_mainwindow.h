#pragma once

// The window's widget set, written by hand in the shape a form compiler would give it, so that
// nothing is loaded at run time. Object names are load-bearing: the style sheet selects on them
// and the window's on_<name>_clicked slots are bound to the buttons through them.

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaObject>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMainWindow>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStatusBar>
#include <QtWidgets/QWidget>

class Ui_MainWindow
{
public:
    // Declaration order is creation order, which is also the keyboard focus order.
    QWidget *centralwidget = nullptr;
    QGridLayout *gridLayout_3 = nullptr;
    QGroupBox *groupBox = nullptr;
    QGridLayout *gridLayout_2 = nullptr;
    QLineEdit *lineEdit_Vesion = nullptr;
    QLabel *label_2 = nullptr;
    QProgressBar *progressBar_BatteryInfo = nullptr;
    QPushButton *m_pBtnGetSn = nullptr;
    QLineEdit *lineEdit_Sn = nullptr;
    QLabel *label_4 = nullptr;
    QLabel *label_3 = nullptr;
    QPushButton *m_pBtnGetVesion = nullptr;
    QPushButton *m_pBtnGetBatteryInfo = nullptr;
    QPushButton *m_pGetInfo = nullptr;
    QWidget *widget = nullptr;
    QGridLayout *gridLayout = nullptr;
    QLineEdit *lineEdit = nullptr;
    QPushButton *pushButton = nullptr;
    QPushButton *pushButton_Burn = nullptr;
    QProgressBar *progressBar = nullptr;
    QWidget *m_wgtSerial = nullptr;
    QHBoxLayout *horizontalLayout = nullptr;
    QComboBox *m_pcomboBoxPortName = nullptr;
    QComboBox *m_comboBox_PortBaudRate = nullptr;
    QPushButton *m_pbtnConnect = nullptr;
    QMenuBar *menubar = nullptr;
    QStatusBar *statusbar = nullptr;

    void setupUi(QMainWindow *MainWindow)
    {
        if (MainWindow->objectName().isEmpty())
            MainWindow->setObjectName(QString::fromUtf8("MainWindow"));
        MainWindow->resize(653, 522);
        centralwidget = new QWidget(MainWindow);
        centralwidget->setObjectName(QString::fromUtf8("centralwidget"));
        gridLayout_3 = new QGridLayout(centralwidget);
        gridLayout_3->setObjectName(QString::fromUtf8("gridLayout_3"));
        groupBox = new QGroupBox(centralwidget);
        groupBox->setObjectName(QString::fromUtf8("groupBox"));
        gridLayout_2 = new QGridLayout(groupBox);
        gridLayout_2->setObjectName(QString::fromUtf8("gridLayout_2"));
        lineEdit_Vesion = new QLineEdit(groupBox);
        lineEdit_Vesion->setObjectName(QString::fromUtf8("lineEdit_Vesion"));
        lineEdit_Vesion->setAlignment(Qt::AlignCenter);
        lineEdit_Vesion->setReadOnly(true);

        gridLayout_2->addWidget(lineEdit_Vesion, 2, 1, 1, 1);

        label_2 = new QLabel(groupBox);
        label_2->setObjectName(QString::fromUtf8("label_2"));

        gridLayout_2->addWidget(label_2, 1, 0, 1, 1);

        progressBar_BatteryInfo = new QProgressBar(groupBox);
        progressBar_BatteryInfo->setObjectName(QString::fromUtf8("progressBar_BatteryInfo"));
        progressBar_BatteryInfo->setValue(25);
        progressBar_BatteryInfo->setOrientation(Qt::Horizontal);
        progressBar_BatteryInfo->setInvertedAppearance(false);

        gridLayout_2->addWidget(progressBar_BatteryInfo, 3, 1, 1, 1);

        m_pBtnGetSn = new QPushButton(groupBox);
        m_pBtnGetSn->setObjectName(QString::fromUtf8("m_pBtnGetSn"));

        gridLayout_2->addWidget(m_pBtnGetSn, 0, 3, 1, 1);

        lineEdit_Sn = new QLineEdit(groupBox);
        lineEdit_Sn->setObjectName(QString::fromUtf8("lineEdit_Sn"));
        lineEdit_Sn->setAlignment(Qt::AlignCenter);
        lineEdit_Sn->setReadOnly(true);

        gridLayout_2->addWidget(lineEdit_Sn, 1, 1, 1, 1);

        label_4 = new QLabel(groupBox);
        label_4->setObjectName(QString::fromUtf8("label_4"));

        gridLayout_2->addWidget(label_4, 3, 0, 1, 1);

        label_3 = new QLabel(groupBox);
        label_3->setObjectName(QString::fromUtf8("label_3"));

        gridLayout_2->addWidget(label_3, 2, 0, 1, 1);

        m_pBtnGetVesion = new QPushButton(groupBox);
        m_pBtnGetVesion->setObjectName(QString::fromUtf8("m_pBtnGetVesion"));

        gridLayout_2->addWidget(m_pBtnGetVesion, 1, 3, 1, 1);

        m_pBtnGetBatteryInfo = new QPushButton(groupBox);
        m_pBtnGetBatteryInfo->setObjectName(QString::fromUtf8("m_pBtnGetBatteryInfo"));

        gridLayout_2->addWidget(m_pBtnGetBatteryInfo, 2, 3, 1, 1);

        m_pGetInfo = new QPushButton(groupBox);
        m_pGetInfo->setObjectName(QString::fromUtf8("m_pGetInfo"));

        gridLayout_2->addWidget(m_pGetInfo, 3, 3, 1, 1);

        gridLayout_3->addWidget(groupBox, 1, 0, 1, 1);

        widget = new QWidget(centralwidget);
        widget->setObjectName(QString::fromUtf8("widget"));
        gridLayout = new QGridLayout(widget);
        gridLayout->setObjectName(QString::fromUtf8("gridLayout"));
        lineEdit = new QLineEdit(widget);
        lineEdit->setObjectName(QString::fromUtf8("lineEdit"));

        gridLayout->addWidget(lineEdit, 0, 0, 1, 1);

        pushButton = new QPushButton(widget);
        pushButton->setObjectName(QString::fromUtf8("pushButton"));

        gridLayout->addWidget(pushButton, 0, 1, 1, 1);

        pushButton_Burn = new QPushButton(widget);
        pushButton_Burn->setObjectName(QString::fromUtf8("pushButton_Burn"));

        gridLayout->addWidget(pushButton_Burn, 1, 1, 1, 1);

        progressBar = new QProgressBar(widget);
        progressBar->setObjectName(QString::fromUtf8("progressBar"));
        progressBar->setValue(0);
        progressBar->setTextDirection(QProgressBar::TopToBottom);

        gridLayout->addWidget(progressBar, 1, 0, 1, 1);

        gridLayout_3->addWidget(widget, 2, 0, 1, 1);

        m_wgtSerial = new QWidget(centralwidget);
        m_wgtSerial->setObjectName(QString::fromUtf8("m_wgtSerial"));
        horizontalLayout = new QHBoxLayout(m_wgtSerial);
        horizontalLayout->setObjectName(QString::fromUtf8("horizontalLayout"));
        m_pcomboBoxPortName = new QComboBox(m_wgtSerial);
        m_pcomboBoxPortName->setObjectName(QString::fromUtf8("m_pcomboBoxPortName"));

        horizontalLayout->addWidget(m_pcomboBoxPortName);

        m_comboBox_PortBaudRate = new QComboBox(m_wgtSerial);
        m_comboBox_PortBaudRate->setObjectName(QString::fromUtf8("m_comboBox_PortBaudRate"));

        horizontalLayout->addWidget(m_comboBox_PortBaudRate);

        m_pbtnConnect = new QPushButton(m_wgtSerial);
        m_pbtnConnect->setObjectName(QString::fromUtf8("m_pbtnConnect"));

        horizontalLayout->addWidget(m_pbtnConnect);

        gridLayout_3->addWidget(m_wgtSerial, 0, 0, 1, 1);

        MainWindow->setCentralWidget(centralwidget);
        menubar = new QMenuBar(MainWindow);
        menubar->setObjectName(QString::fromUtf8("menubar"));
        menubar->setGeometry(QRect(0, 0, 653, 23));
        MainWindow->setMenuBar(menubar);
        statusbar = new QStatusBar(MainWindow);
        statusbar->setObjectName(QString::fromUtf8("statusbar"));
        MainWindow->setStatusBar(statusbar);

        retranslateUi(MainWindow);

        QMetaObject::connectSlotsByName(MainWindow);
    }

    void retranslateUi(QMainWindow *MainWindow)
    {
        MainWindow->setWindowTitle(QCoreApplication::translate("MainWindow", "MainWindow", nullptr));
        groupBox->setTitle(QString());
        m_pBtnGetSn->setText(QCoreApplication::translate("MainWindow", "获取", nullptr));
        label_2->setText(QCoreApplication::translate("MainWindow", "SN：", nullptr));
        m_pBtnGetVesion->setText(QCoreApplication::translate("MainWindow", "获取", nullptr));
        label_4->setText(QCoreApplication::translate("MainWindow", "电池电量：", nullptr));
        label_3->setText(QCoreApplication::translate("MainWindow", "版本：", nullptr));
        m_pBtnGetBatteryInfo->setText(QCoreApplication::translate("MainWindow", "获取", nullptr));
        m_pGetInfo->setText(QCoreApplication::translate("MainWindow", "获取信息", nullptr));
        pushButton->setText(QCoreApplication::translate("MainWindow", "选择文件", nullptr));
        pushButton_Burn->setText(QCoreApplication::translate("MainWindow", "升级", nullptr));
        m_pbtnConnect->setText(QCoreApplication::translate("MainWindow", "连接", nullptr));
    }
};

namespace Ui {
class MainWindow : public Ui_MainWindow
{
};
} // namespace Ui
