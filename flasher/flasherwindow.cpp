#include "flasherwindow.h"

#include "ui_flasherwindow.h"

#include "burnrecord.h"
#include "esptool.h"
#include "firmwarechoice.h"
#include "flashtext.h"

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

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui_MainWindow), m_pProcess(new QProcess(this))
{
    ui->setupUi(this);
    InitConfig();

    // Every burn is written down beside the settings file.
    m_pRecord =
        new record::BurnRecord(QStringLiteral("flasher"), QFileInfo(m_CfgFileName).path(), this);
    connect(m_pRecord, &record::BurnRecord::ready, this,
            [this] { esptool::start(m_pProcess, m_pRecord->arguments()); });
    // The file shown must stay the file burnt, from the press to the verdict.
    connect(m_pRecord, &record::BurnRecord::activeChanged, ui->pushButton,
            [this](bool active) { ui->pushButton->setEnabled(!active); });

    ui->progressBar->setValue(0);
    ui->progressBar->setStyleSheet(kGreenBarStyle);

    esptool::prepare(m_pProcess);
    esptool::connectRun(m_pProcess, this, &MainWindow::readIperfOutput,
                        &MainWindow::slotProcessFinished, &MainWindow::slotProcessError);
}

MainWindow::~MainWindow()
{
    // A run cut short by closing the window gets no verdict: no pause and no box after the
    // window has gone.
    disconnect(m_pProcess, nullptr, this, nullptr);
    m_pProcess->close();
    if (m_pRecord->isActive())
        m_pRecord->finish(record::Result::Interrupted, std::nullopt, m_strInfo);
    delete m_pProcess;
    m_pProcess = nullptr;
    delete ui;
    ui = nullptr;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_pProcess->state() != QProcess::NotRunning &&
        QMessageBox::question(
            this, translate("警告"),
            translate("正在烧录，关闭窗口将中断烧录，设备可能无法启动。确定关闭吗？"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::InitConfig()
{
    const firmware::Config config = firmware::openConfig();
    m_CfgFileName = config.fileName;
    m_pSettings = config.settings;
    m_LastDir = config.lastDir;
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
    if (m_pProcess->state() != QProcess::NotRunning || m_pRecord->isActive())
        return;
    qDebug() << "startTest";
    if (m_strFilePath.isEmpty())
        return;
    m_strInfo.clear();
    ui->progressBar->setValue(0);
    ui->progressBar->setStyleSheet(kGreenBarStyle);
    // The tool starts once the record has the image's hash (see the constructor). No device was
    // read here, so the tool finds the port itself.
    m_pRecord->begin({QString(), -1, m_strFilePath, QString()});
}

void MainWindow::readIperfOutput()
{
    const QString chunk = esptool::takeOutput(m_pProcess, &m_strInfo);

    double percent = 0;
    if (flashtext::findPercentage(chunk, &percent)) {
        qDebug() << "提取的数值：" << percent;
        ui->progressBar->setValue(flashtext::truncatePercent(percent));
    }
}

void MainWindow::slotProcessFinished(int exitCode)
{
    Q_UNUSED(exitCode) // the verdict comes from the text (and a crash), never the exit code
    // Deliberate: the burn tool lets the device settle before it judges the run.
    QThread::msleep(1000);
    esptool::takeRest(m_pProcess, &m_strInfo);

    const flashtext::BurnVerdict verdict = esptool::burnVerdict(*m_pProcess, m_strInfo);
    // Written before the box, which waits for the user; an undecided run is recorded as such.
    m_pRecord->finish(verdict, *m_pProcess, m_strInfo);
    if (verdict == flashtext::BurnVerdict::Succeeded) {
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
    m_pRecord->finish(record::Result::NotStarted, std::nullopt, m_strInfo);
    ui->progressBar->setStyleSheet(kRedBarStyle);
    QMessageBox::warning(this, translate("警告"), translate(esptool::kToolMissingText));
}

} // namespace flasher
