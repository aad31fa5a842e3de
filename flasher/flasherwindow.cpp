#include "flasherwindow.h"

#include "ui_flasherwindow.h"

#include "burnrun.h"
#include "closing.h"
#include "esptool.h"
#include "firmwarechoice.h"
#include "flashtext.h"
#include "stagelimits.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QMessageBox>
#include <QThread>

namespace flasher
{

namespace
{

// The texts share the upgrade tool's translation context.
QString translate(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

} // namespace

// The two sheets differ only in the chunk's colour.
#define QUORBEL_BAR_STYLE(chunkColour)                                                             \
    "QProgressBar {"                                                                               \
    "  border: 1px solid grey;"                                                                    \
    "  border-radius: 5px;"                                                                        \
    "  text-align: center;"                                                                        \
    "  height: 20px;"                                                                              \
    "}"                                                                                            \
    "QProgressBar::chunk {"                                                                        \
    "  background-color: " chunkColour ";"                                                         \
    "  border-radius: 3px;"                                                                        \
    "}"

const char *const kGreenBarStyle = QUORBEL_BAR_STYLE("#00ff00");
const char *const kRedBarStyle = QUORBEL_BAR_STYLE("#ff0c30");

#undef QUORBEL_BAR_STYLE

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui_MainWindow)
{
    ui->setupUi(this);
    InitConfig();
    // Every burn is written down beside the settings file.
    m_pRecord.reset(new burn::RecordFolder(QFileInfo(m_CfgFileName).path()));
    ui->progressBar->setValue(0);
    ui->progressBar->setStyleSheet(kGreenBarStyle);
}

MainWindow::~MainWindow()
{
    // A burn cut short by closing the window is recorded as interrupted, with no pause and no
    // box after the window has gone.
    delete m_pRun;
    m_pRun = nullptr;
    m_pProcess = nullptr;
    delete ui;
    ui = nullptr;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    event->setAccepted(
        burn::mayClose(this, m_pRun, translate("警告"),
                       translate("正在烧录，关闭窗口将中断烧录，设备可能无法启动。确定关闭吗？")));
}

void MainWindow::InitConfig()
{
    firmware::openConfig(&m_CfgFileName, &m_pSettings, &m_LastDir);
}

void MainWindow::on_pushButton_clicked()
{
    const QString filePath = firmware::chooseFirmwareFile(this, m_LastDir);
    if (filePath.isEmpty())
        return;

    m_strFilePath = filePath;
    ui->lineEdit->setText(m_strFilePath);
    m_LastDir = firmware::folderOf(m_strFilePath);
    firmware::storeLastDir(m_pSettings, m_LastDir);
}

void MainWindow::on_pushButton_Burn_clicked()
{
    startTest();
}

void MainWindow::startTest()
{
    // A burn is under way from the press, while its image is hashed, until the tool has ended.
    if (m_pRun && m_pRun->isActive())
        return;
    qDebug() << "startTest";
    if (m_strFilePath.isEmpty())
        return;
    m_strInfo.clear();
    ui->progressBar->setValue(0);
    ui->progressBar->setStyleSheet(kGreenBarStyle);
    // No device was read here, so the tool finds the port itself.
    if (m_pRun)
        m_pRun->deleteLater();
    m_pRun = new burn::BurnRun(
        {QStringLiteral("flasher"), m_strFilePath, QString(), QString(), QString(), -1},
        m_pRecord.get(), this);
    m_pRun->setSilenceLimit(
        firmware::Limits::milliseconds(firmware::readLimits(*m_pSettings).burnSilenceSeconds));
    m_pProcess = m_pRun->process();
    burn::connectWindow(m_pRun, this, &MainWindow::readIperfOutput, &MainWindow::showProgress,
                        &MainWindow::slotProcessError, &MainWindow::slotProcessFinished);
    // The file shown must stay the file burnt, from the press to the verdict.
    connect(m_pRun, &burn::BurnRun::activeChanged, ui->pushButton, &QWidget::setDisabled);
    m_pRun->start();
}

void MainWindow::readIperfOutput()
{
    m_strInfo = m_pRun->text();
}

void MainWindow::showProgress(double percent)
{
    qDebug() << "提取的数值：" << percent;
    ui->progressBar->setValue(flashtext::truncatePercent(percent));
}

void MainWindow::slotProcessFinished(const burn::Outcome &outcome)
{
    m_strInfo = m_pRun->text();
    // Already shown.
    if (outcome.result == record::Result::NotStarted)
        return;
    // Deliberate: the burn tool lets the device settle before it shows the verdict.
    QThread::msleep(1000);
    if (outcome.verdict == flashtext::BurnVerdict::Succeeded) {
        ui->progressBar->setValue(100);
        QMessageBox::information(this, translate("提示"), translate("烧录成功"));
        return;
    }
    // Nothing confirmed the write when the text names no verdict either: burn again.
    ui->progressBar->setStyleSheet(kRedBarStyle);
    ui->progressBar->setValue(100);
    QMessageBox::warning(this, translate("提示"), translate("烧录失败"));
}

void MainWindow::slotProcessError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart)
        return;
    ui->progressBar->setStyleSheet(kRedBarStyle);
    QMessageBox::warning(this, translate("警告"), translate(esptool::kToolMissingText));
}

} // namespace flasher
