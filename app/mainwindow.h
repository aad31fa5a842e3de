#pragma once

#include <QMainWindow>
#include <QProcess>
#include <QSerialPort>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

#include "esptool.h"
#include "messages.h"
#include "toolprocess.h"

class PortWatcher;
class QSettings;
class SerialInstance;
class Ui_MainWindow;
namespace esptool
{
class StageLimit;
} // namespace esptool
namespace burn
{
class BurnRun;
class RecordFolder;
struct Outcome;
} // namespace burn

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

signals:
    void SigOpenSerial(QString str_PortName, QSerialPort::BaudRate e_BaudRate);
    void SigCloseSerial();
    void SigGetPortInfoList();

private slots:
    void on_pushButton_clicked();
    void on_pushButton_Burn_clicked();
    void on_m_pBtnGetSn_clicked();
    void on_m_pBtnGetVesion_clicked();
    void on_m_pBtnGetBatteryInfo_clicked();
    void on_m_pbtnConnect_clicked();
    void slotTimeOut();
    void on_m_pGetInfo_clicked();

protected:
    bool nativeEvent(const QByteArray &eventType, void *message, long *result) override;
    // Closing while the tool writes the device asks first: a cut write can leave it unbootable.
    void closeEvent(QCloseEvent *event) override;

private:
    void InitStyle();
    void InitConfig();
    void InitDevicePanel();
    void InitConnect();
    void InitPortWatcher();

    int GetFileVersion(const QString &str_FileName);
    void startTest();
    void restoreBurnButton();
    void readIperfOutput();
    void showSearching();
    void showProgress(double percent);
    void showVerifying();
    void slotProcessFinished(int exitCode);
    void slotProcessError(QProcess::ProcessError error);
    void probeVerdict();
    void burnVerdict(const burn::Outcome &outcome);

    // Handlers of the serial worker's signals.
    void slotGetPortInfoList(const QStringList &strl_PortInfo);
    void slotConnectState(int mode, bool state);
    void slotGetSnAck(const QString &str_Sn);
    void slotCommunicationFailed();
    void slotGetVersionAck(int i_Version);
    void slotGetBatteryInfoAck(const stru_BatteryInfo &BatteryInfo);
    void slotGetInfo(const QString &str_Sn, int i_Version, int i_Soc);

    // Serial ports coming and going, from the platform's device-change source.
    void slotSerialPortArrived(const QString &portName);
    void slotSerialPortRemoved(const QString &portName);

    // The tool runs, a burn is being prepared (its image hashed), or a reading holds the port:
    // neither a probe nor a burn may start.
    bool busy() const;
    bool isConnected() const;
    void sendRequest(quint8 msgId);
    void query(const char *logLine, quint8 msgId);
    void endWaiting();
    bool isReading() const;
    // Ends a reading, whatever its outcome: animation stopped, port closed.
    void endReading();
    void forgetDeviceVersion();
    // The worker of the burns' read-backs, made at the first: not the panel's, whose failed
    // opens and answers the window shows.
    SerialInstance *readBackWorker();
    void warn(const char *text);
    void repolish(QWidget *widget, const char *state);

    Ui_MainWindow *ui = nullptr;
    QString m_strFilePath;
    QSettings *m_pSettings = nullptr;
    QString m_LastDir;
    QString m_CfgFileName;
    // The probe's process; a burn's is its run's own.
    esptool::ToolProcess *m_pProcess = nullptr;
    esptool::ChunkDecoder m_probeDecoder;
    esptool::StageLimit *m_pProbeLimit = nullptr;
    SerialInstance *m_pReadBackWorker = nullptr;
    // The text of the probe, or a copy of the burn's.
    QString m_strInfo;
    // No file name yields -2, so the gate never mistakes "no file chosen" for a version.
    int m_FirmwareVersion = -2;
    int m_DeviceVersion = -1;
    QString m_strPortName;
    // The MAC of the chip the probe found, read with the version: the burn must name the same.
    QString m_strChipMac;
    QTimer m_timerGetInfo;
    int m_iProcessMode = 0;
    std::unique_ptr<burn::RecordFolder> m_pRecord;
    // The burn under way, or the last one.
    burn::BurnRun *m_pRun = nullptr;
    PortWatcher *m_pPortWatcher = nullptr;

    friend class WindowInspector;
};
