#include "mainwindow.h"

#include "ui_mainwindow.h"

#include "burnrun.h"
#include "closing.h"
#include "esptool.h"
#include "firmwarechoice.h"
#include "flashtext.h"
#include "portwatcher.h"
#include "serialinstance.h"
#include "stagelimit.h"
#include "stagelimits.h"
#include "startup.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QListView>
#include <QMessageBox>
#include <QProcess>
#include <QStyle>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui_MainWindow), m_pProcess(new esptool::ToolProcess(this))
{
    ui->setupUi(this);
    InitStyle();
    InitConfig();
    InitDevicePanel();
    InitConnect();

    // Every burn is written down beside the settings file.
    m_pRecord.reset(new burn::RecordFolder(QFileInfo(m_CfgFileName).path()));

    for (QProgressBar *bar : {ui->progressBar, ui->progressBar_BatteryInfo}) {
        bar->setValue(0);
        repolish(bar, "");
    }

    // Its limit is read from the settings file at each probe.
    m_pProbeLimit = new esptool::StageLimit(m_pProcess, esptool::StageLimit::Kind::Probe, 0);
    esptool::connectRun(m_pProcess, this, &MainWindow::readIperfOutput,
                        &MainWindow::slotProcessFinished, &MainWindow::slotProcessError);
    connect(&m_timerGetInfo, &QTimer::timeout, this, &MainWindow::slotTimeOut);

    InitPortWatcher();
    emit SigGetPortInfoList();
}

MainWindow::~MainWindow()
{
    // A run cut short by closing gets no verdict: no box may pop up after the window has gone.
    // A burn is recorded as interrupted; a probe's end still reaches its handlers, which log it.
    delete m_pRun;
    m_pRun = nullptr;
    // After the run, whose read-back stops through it.
    delete m_pReadBackWorker;
    m_pReadBackWorker = nullptr;
    m_iProcessMode = -1;
    m_pProcess->stop();
    delete m_pProcess;
    m_pProcess = nullptr;
    delete ui;
    ui = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Construction steps

void MainWindow::InitStyle()
{
    startup::applyStyleSheet();
    setWindowTitle(tr("Quorbel升级工具_V:0.00.01"));
    setWindowIcon(QIcon(":/Image/Image/logo.ico"));
}

void MainWindow::InitConfig()
{
    firmware::openConfig(&m_CfgFileName, &m_pSettings, &m_LastDir);
}

void MainWindow::InitDevicePanel()
{
    QStringList baudRates{QString()};
    for (int rate : {9600, 19200, 38400, 57600, 115200})
        baudRates << QString::number(rate);
    ui->m_comboBox_PortBaudRate->addItems(baudRates);
    ui->m_comboBox_PortBaudRate->setCurrentIndex(
        ui->m_comboBox_PortBaudRate->findText(QStringLiteral("115200")));
    ui->m_comboBox_PortBaudRate->setView(new QListView());

    ui->m_wgtSerial->hide();
    ui->m_pBtnGetSn->hide();
    ui->m_pBtnGetVesion->hide();
    ui->m_pBtnGetBatteryInfo->hide();
}

void MainWindow::InitConnect()
{
    SerialInstance *worker = SerialInstance::GetInstance();
    const auto queued = Qt::QueuedConnection;

    connect(this, &MainWindow::SigGetPortInfoList, worker, &SerialInstance::slotSetPortInfoList,
            queued);
    connect(this, &MainWindow::SigOpenSerial, worker, &SerialInstance::slotOpenSerialPort, queued);
    connect(this, &MainWindow::SigCloseSerial, worker, &SerialInstance::slotCloseSerialPort,
            queued);

    connect(worker, &SerialInstance::SigGetPortInfoList, this, &MainWindow::slotGetPortInfoList,
            queued);
    connect(worker, &SerialInstance::SigConnectState, this, &MainWindow::slotConnectState, queued);
    connect(worker, &SerialInstance::SigGetSnAck, this, &MainWindow::slotGetSnAck, queued);
    connect(worker, &SerialInstance::SigCommunicationFailed, this,
            &MainWindow::slotCommunicationFailed, queued);
    connect(worker, &SerialInstance::SigGetVersionAck, this, &MainWindow::slotGetVersionAck,
            queued);
    connect(worker, &SerialInstance::SigGetBatteryInfoAck, this, &MainWindow::slotGetBatteryInfoAck,
            queued);
    connect(worker, &SerialInstance::SigGetInfo, this, &MainWindow::slotGetInfo, queued);
}

void MainWindow::InitPortWatcher()
{
    m_pPortWatcher = new PortWatcher(this);
    connect(m_pPortWatcher, &PortWatcher::portArrived, this, &MainWindow::slotSerialPortArrived);
    connect(m_pPortWatcher, &PortWatcher::portRemoved, this, &MainWindow::slotSerialPortRemoved);
}

// ---------------------------------------------------------------------------------------------
// Firmware choice and version gate

void MainWindow::on_pushButton_clicked()
{
    const QString filePath = firmware::chooseFirmwareFile(this, m_LastDir);
    if (filePath.isEmpty())
        return;

    m_strFilePath = filePath;
    m_FirmwareVersion = GetFileVersion(QFileInfo(m_strFilePath).fileName());
    ui->lineEdit->setText(m_strFilePath);
    m_LastDir = firmware::folderOf(m_strFilePath);
    firmware::storeLastDir(m_pSettings, m_LastDir);
}

int MainWindow::GetFileVersion(const QString &str_FileName)
{
    qDebug() << "固件文件名：" << str_FileName;
    QString digits;
    const int version = flashtext::fileVersion(str_FileName, &digits);
    if (!digits.isEmpty())
        qDebug() << "版本号:" << digits;
    return version;
}

void MainWindow::on_pushButton_Burn_clicked()
{
    if (m_DeviceVersion == -1) {
        QMessageBox::information(this, tr("提示"), tr("请先获取版本"));
        return;
    }
    if (m_DeviceVersion == m_FirmwareVersion) {
        warn("相同版本不可升级！");
        return;
    }
    repolish(ui->pushButton_Burn, "burning");
    ui->pushButton_Burn->setEnabled(false);
    startTest();
}

// ---------------------------------------------------------------------------------------------
// Device panel

bool MainWindow::busy() const
{
    return m_pProcess->state() != QProcess::NotRunning || (m_pRun && m_pRun->isActive()) ||
           isReading();
}

bool MainWindow::isConnected() const
{
    return ui->m_pbtnConnect->text() == tr("断开连接");
}

void MainWindow::sendRequest(quint8 msgId)
{
    const QByteArray payload(1, '\0');
    emit SerialInstance::GetInstance()->SigMessageReceived(msgId, payload);
}

void MainWindow::warn(const char *text)
{
    QMessageBox::warning(this, tr("警告"), tr(text));
}

void MainWindow::endWaiting()
{
    m_timerGetInfo.stop();
    ui->m_pGetInfo->setText(QStringLiteral("获取信息"));
}

bool MainWindow::isReading() const
{
    // The waiting animation runs from the click until the answer or a failure ends the reading.
    return m_timerGetInfo.isActive();
}

void MainWindow::endReading()
{
    endWaiting();
    emit SigCloseSerial();
}

void MainWindow::forgetDeviceVersion()
{
    // What was read no longer holds after a burn, a failure or a removal; the gate asks for a
    // new reading rather than trust it. The fields keep showing what was read.
    m_DeviceVersion = -1;
}

SerialInstance *MainWindow::readBackWorker()
{
    if (!m_pReadBackWorker) {
        m_pReadBackWorker = new SerialInstance;
        m_pReadBackWorker->Init();
    }
    return m_pReadBackWorker;
}

void MainWindow::slotGetPortInfoList(const QStringList &strl_PortInfo)
{
    ui->m_pcomboBoxPortName->clear();
    ui->m_pcomboBoxPortName->addItems(strl_PortInfo);
    ui->m_pcomboBoxPortName->setView(new QListView());
}

void MainWindow::on_m_pbtnConnect_clicked()
{
    if (ui->m_pcomboBoxPortName->count() == 1) {
        warn("未选择串口");
        return;
    }
    const QString text = ui->m_pbtnConnect->text();
    if (text == tr("断开连接")) {
        emit SigCloseSerial();
    } else if (text == tr("连接")) {
        const QString portName = ui->m_pcomboBoxPortName->currentText();
        const int baudRate = ui->m_comboBox_PortBaudRate->currentText().toInt();
        m_strPortName = portName;
        // A port chosen by hand was not probed: no chip is known to be on it.
        m_strChipMac.clear();
        emit SigOpenSerial(portName, static_cast<QSerialPort::BaudRate>(baudRate));
    }
}

void MainWindow::slotConnectState(int mode, bool state)
{
    if (mode == 0) {
        ui->m_pbtnConnect->setText(tr("连接"));
        ui->m_pcomboBoxPortName->setEnabled(true);
        ui->m_comboBox_PortBaudRate->setEnabled(true);
    } else if (mode == 1 && state) {
        ui->m_pbtnConnect->setText(tr("断开连接"));
        ui->m_pcomboBoxPortName->setEnabled(false);
        ui->m_comboBox_PortBaudRate->setEnabled(false);
        sendRequest(MSG_GET_INFO);
    } else if (mode == 1) {
        // An information run cannot go on without the port: end its waiting state first, so
        // the button does not spin behind the message. A failed open may also be a second one
        // on a port that is open already, so the close is sent all the same.
        if (isReading()) {
            endReading();
            forgetDeviceVersion();
        }
        warn("打开串口失败");
    }
}

void MainWindow::query(const char *logLine, quint8 msgId)
{
    if (!isConnected()) {
        warn("未连接串口");
        return;
    }
    qDebug() << logLine;
    sendRequest(msgId);
}

void MainWindow::on_m_pBtnGetSn_clicked()
{
    query("Get Sn", MSG_GET_SN);
}

void MainWindow::on_m_pBtnGetVesion_clicked()
{
    query("Get Vesion", MSG_GET_VERSION);
}

void MainWindow::on_m_pBtnGetBatteryInfo_clicked()
{
    query("Get BAttery Info", MSG_GET_BATTERY_INFO);
}

void MainWindow::slotGetSnAck(const QString &str_Sn)
{
    ui->lineEdit_Sn->setText(str_Sn);
}

void MainWindow::slotGetVersionAck(int i_Version)
{
    ui->lineEdit_Vesion->setText(QString::number(i_Version));
    m_DeviceVersion = i_Version;
}

void MainWindow::slotGetBatteryInfoAck(const stru_BatteryInfo &BatteryInfo)
{
    const int soc = BatteryInfo.Soc;
    ui->progressBar_BatteryInfo->setValue(soc);
    qDebug() << "slotGetBatteryInfoAck" << soc;
}

void MainWindow::slotGetInfo(const QString &str_Sn, int i_Version, int i_Soc)
{
    ui->lineEdit_Sn->setText(str_Sn);
    ui->lineEdit_Vesion->setText(QString::number(i_Version));
    ui->progressBar_BatteryInfo->setValue(i_Soc);
    m_DeviceVersion = i_Version;
    endReading();
}

void MainWindow::slotCommunicationFailed()
{
    // During an information run nobody is left to close the port or stop the animation.
    if (isReading())
        endReading();
    forgetDeviceVersion();
    warn("通信失败");
}

void MainWindow::slotTimeOut()
{
    // One counter for the whole program: each run picks the cycle up where the last one left.
    static int s_iCount = 0;
    ++s_iCount;
    switch (s_iCount % 3) {
    case 1:
        ui->m_pGetInfo->setText(QStringLiteral("获取中."));
        break;
    case 2:
        ui->m_pGetInfo->setText(QStringLiteral("获取中.."));
        break;
    default:
        ui->m_pGetInfo->setText(QStringLiteral("获取中..."));
        break;
    }
}

void MainWindow::slotSerialPortArrived(const QString &portName)
{
    qDebug() << "插入串口" << portName;
    emit SigGetPortInfoList();
}

void MainWindow::slotSerialPortRemoved(const QString &portName)
{
    qDebug() << "拔出串口" << portName;
    forgetDeviceVersion();
    // A reading may hold the port before the button says so (its open is under way); closing
    // it makes the reading end in a failure rather than wait for a device that is gone.
    if (isConnected() || isReading())
        emit SigCloseSerial();
    emit SigGetPortInfoList();
    ui->m_pbtnConnect->setText(tr("连接"));
    ui->m_pcomboBoxPortName->setEnabled(true);
    ui->m_comboBox_PortBaudRate->setEnabled(true);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    event->setAccepted(
        burn::mayClose(this, m_pRun, tr("警告"),
                       tr("正在升级，关闭窗口将中断升级，设备可能无法启动。确定关闭吗？")));
}

bool MainWindow::nativeEvent(const QByteArray &eventType, void *message, long *result)
{
    m_pPortWatcher->takeNativeMessage(message);
    // The toolkit's own handling of the message goes on.
    return QMainWindow::nativeEvent(eventType, message, result);
}

// ---------------------------------------------------------------------------------------------
// Flash run and device detection

void MainWindow::repolish(QWidget *widget, const char *state)
{
    widget->setProperty("state", QString::fromLatin1(state));
    widget->style()->polish(widget);
}

void MainWindow::restoreBurnButton()
{
    repolish(ui->pushButton_Burn, "");
    ui->pushButton_Burn->setEnabled(true);
}

void MainWindow::on_m_pGetInfo_clicked()
{
    // A reading is busy until its answer or its failure, not only while the tool runs: a
    // second one would find the port held by the first.
    if (busy()) {
        qDebug() << "Process is Running";
        return;
    }
    const QStringList args = esptool::probeArguments();
    m_strInfo.clear();
    m_probeDecoder.restart();
    m_iProcessMode = 0;
    m_timerGetInfo.start(300);
    m_pProbeLimit->setLimit(
        firmware::Limits::milliseconds(firmware::readLimits(*m_pSettings).probeSeconds));
    m_pProbeLimit->start(args);
}

void MainWindow::startTest()
{
    // The gate has already marked and disabled the burn button; every refusal below gives it
    // back, or it would stay grey with no run to restore it. A reading holding the port
    // refuses too: the tool could not open it.
    if (busy()) {
        restoreBurnButton();
        return;
    }
    qDebug() << "startTest";
    if (m_strFilePath.isEmpty() || m_strPortName.isEmpty()) {
        restoreBurnButton();
        return;
    }
    m_strInfo.clear();
    ui->progressBar->setValue(0);
    repolish(ui->progressBar, "burning");
    m_iProcessMode = 1;
    // The tool is told the port the device was read on: left to search by itself, it may find
    // another board first. A burn of another chip than the one read fails.
    if (m_pRun)
        m_pRun->deleteLater();
    m_pRun = new burn::BurnRun({QStringLiteral("Quorbel"), m_strFilePath, m_strPortName,
                                m_strChipMac, ui->lineEdit_Sn->text(), m_DeviceVersion},
                               m_pRecord.get(), this);
    // Only the device can confirm that it runs the new image.
    const firmware::Limits limits = firmware::readLimits(*m_pSettings);
    m_pRun->setSilenceLimit(firmware::Limits::milliseconds(limits.burnSilenceSeconds));
    m_pRun->setReadBack(readBackWorker(), firmware::Limits::milliseconds(limits.verifySeconds));
    connect(m_pRun, &burn::BurnRun::verifying, this, &MainWindow::showVerifying);
    burn::connectWindow(m_pRun, this, &MainWindow::readIperfOutput, &MainWindow::showProgress,
                        &MainWindow::slotProcessError, &MainWindow::burnVerdict);
    connect(m_pRun, &burn::BurnRun::searching, this, &MainWindow::showSearching);
    // The file shown must stay the file burnt, from the press to the verdict.
    connect(m_pRun, &burn::BurnRun::activeChanged, ui->pushButton, &QWidget::setDisabled);
    m_pRun->start();
}

void MainWindow::readIperfOutput()
{
    // A burn's output is read by its run; the window keeps a copy of its text.
    if (m_iProcessMode == 1)
        m_strInfo = m_pRun->text();
    else
        esptool::takeOutput(m_pProcess, &m_probeDecoder, &m_strInfo);
}

void MainWindow::showSearching()
{
    ui->progressBar->setFormat(QStringLiteral("检测中..."));
    ui->progressBar->setTextVisible(true);
}

void MainWindow::showProgress(double percent)
{
    qDebug() << "提取的数值：" << percent;
    ui->progressBar->setFormat(QStringLiteral("升级中... %p%"));
    ui->progressBar->setValue(flashtext::truncatePercent(percent));
    ui->progressBar->setTextVisible(true);
}

void MainWindow::showVerifying()
{
    ui->progressBar->setFormat(QStringLiteral("验证中..."));
    ui->progressBar->setValue(100);
    ui->progressBar->setTextVisible(true);
}

void MainWindow::slotProcessFinished(int exitCode)
{
    Q_UNUSED(exitCode) // the verdict comes from the text (and a crash), never the exit code
    esptool::takeRest(m_pProcess, &m_probeDecoder, &m_strInfo);
    if (m_iProcessMode == 0)
        probeVerdict();
}

void MainWindow::burnVerdict(const burn::Outcome &outcome)
{
    m_strInfo = m_pRun->text();
    // Already shown: a tool that did not start wrote nothing, and the version read still holds.
    if (outcome.result == record::Result::NotStarted)
        return;
    restoreBurnButton();
    forgetDeviceVersion();
    if (outcome.answer.version >= 0) {
        ui->lineEdit_Sn->setText(outcome.answer.serial);
        ui->lineEdit_Vesion->setText(QString::number(outcome.answer.version));
        ui->progressBar_BatteryInfo->setValue(outcome.answer.soc);
    }
    if (outcome.result == record::Result::Success) {
        // The device has just said which version it runs: the gate may trust it.
        if (outcome.verify == burn::Verify::Ok)
            m_DeviceVersion = outcome.answer.version;
        ui->progressBar->setFormat(QStringLiteral("升级完成...%p%"));
        ui->progressBar->setValue(100);
        ui->progressBar->setTextVisible(true);
        QMessageBox::information(this, tr("提示"), tr("升级成功"));
        return;
    }
    // Nothing confirmed the write when the text names no verdict either: the user must burn
    // again, so it is shown as the failure it may be.
    repolish(ui->progressBar, "error");
    ui->progressBar->setValue(100);
    // The reading is over; the bar says where the burn got to, as after a failure of the tool.
    if (outcome.verify != burn::Verify::None)
        ui->progressBar->setFormat(QStringLiteral("升级中... %p%"));
    const QString reason = burn::failureReason(outcome);
    QMessageBox::warning(this, tr("提示"),
                         reason.isEmpty() ? tr("升级失败") : tr("升级失败：") + reason);
}

void MainWindow::probeVerdict()
{
    // A probe stopped at its limit found no device in time, whatever it printed before.
    const flashtext::ProbeVerdict verdict = m_pProbeLimit->reached()
                                                ? flashtext::ProbeVerdict::Undecided
                                                : flashtext::probeVerdict(m_strInfo);
    const QString portName = verdict == flashtext::ProbeVerdict::Connected
                                 ? flashtext::probePortName(m_strInfo)
                                 : QString();
    if (!portName.isEmpty()) {
        m_strPortName = portName;
        m_strChipMac = flashtext::chipMac(m_strInfo);
        qDebug() << "COM:" << m_strPortName;
        // The animation goes on until the device's answer (or its failure) ends the run.
        emit SigOpenSerial(m_strPortName, kDeviceBaudRate);
        return;
    }
    // A run that ended without naming a device detected none either, and the button must not
    // keep spinning for a run that is over.
    if (verdict == flashtext::ProbeVerdict::NoDevice)
        qDebug() << "串口连接失败";
    else
        qDebug() << "probe ended without naming a device";
    endWaiting();
    forgetDeviceVersion();
    warn("未检测到设备！");
}

void MainWindow::slotProcessError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart)
        return;
    if (m_iProcessMode == 1) {
        restoreBurnButton();
        repolish(ui->progressBar, "error");
    } else {
        endWaiting();
        forgetDeviceVersion();
    }
    warn(esptool::kToolMissingText);
}
