#pragma once

// One serial port of the station's bench, from the moment it appears to the verdict on its
// device: the probe of that port alone, the reading (the information request, through a serial
// worker of its own), the gate, and the burn with its row. It shows nothing; it reports its
// state and the fields a lane shows, and the station decides when it burns.

#include "burnrun.h"
#include "esptool.h"
#include "stagelimits.h"

#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QString>

#include <memory>

class SerialInstance;
namespace esptool
{
class StageLimit;
class ToolProcess;
} // namespace esptool

namespace station
{

class Lane : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Probing,        // "检测中..."
        Reading,        // "读取中..."
        NoDevice,       // "无设备": no ESP32-S3 on the port, or it did not answer
        NoTool,         // the tool could not be started
        NoFile,         // "请选择文件"
        SameVersion,    // "已是该版本"
        UnknownVersion, // "无法读取版本"
        Ready,          // "就绪"
        Queued,         // "排队中": ready, waiting for a free place among the burns
        Burning,        // the run until the tool has ended
        Verifying,      // "验证中...": the run reads the device back
        Succeeded,      // "成功 V<n>"
        Failed,         // the reason
    };

    // The lane writes its row into record, which must outlive it.
    Lane(const QString &port, burn::RecordFolder *record, const firmware::Limits &limits,
         QObject *parent = nullptr);
    // A run still active is stopped and recorded as interrupted; the probe's tool is ended.
    ~Lane() override;

    // Once: probes the port, then reads the device.
    void start();
    // The file a burn would write (version < 0: its name carries none; empty path: none
    // chosen). A lane waiting at the gate passes it again.
    void setFirmware(const QString &path, int version);
    // Ready or queued: the run starts. Ready only: it waits.
    void burn();
    void queue();
    // Stops the run, recorded as interrupted; nothing when none is active.
    void stop();

    QString port() const { return m_port; }
    State state() const { return m_state; }
    QString stateText() const;
    QString serial() const { return m_serial; }
    int version() const { return m_version; } // < 0: unknown
    int charge() const { return m_charge; }   // < 0: unknown
    int progress() const { return m_progress; }
    // The probe, the reading or the run is under way: the lane waits for its own verdict, even
    // while its port is away (a chip restarting over its own USB, a unit pulled mid-burn).
    bool isBusy() const;
    // The run is active: it takes one of the places among the burns.
    bool isRunning() const { return m_state == State::Burning || m_state == State::Verifying; }
    const burn::BurnRun *run() const { return m_run; }

    // A gate's answer, by the rules of Quorbel's "升级": no file, an unknown device version, the
    // same version, or ready.
    static State gate(const QString &filePath, int fileVersion, int deviceVersion);

signals:
    void changed();
    // Only on a change of state; changed() comes too.
    void stateChanged(station::Lane::State state);
    // To the lane's own serial worker.
    void SigOpenSerial(QString str_PortName, QSerialPort::BaudRate e_BaudRate);
    void SigCloseSerial();

private:
    void setState(State state);
    void probeEnded();
    void opened(int mode, bool ok);
    void answered(const QString &serial, int version, int charge);
    void unanswered();
    void passGate();
    void ended(const burn::Outcome &outcome);

    const QString m_port;
    burn::RecordFolder *const m_record;
    const firmware::Limits m_limits;
    State m_state = State::Probing;
    esptool::ToolProcess *m_probe = nullptr;
    std::unique_ptr<esptool::ChunkDecoder> m_decoder;
    esptool::StageLimit *m_probeLimit = nullptr;
    QString m_probeText;
    std::unique_ptr<SerialInstance> m_worker;
    QString m_mac;
    QString m_serial;
    int m_version = -1;
    int m_charge = -1;
    QString m_filePath;
    int m_fileVersion = -1;
    int m_progress = 0;
    QPointer<burn::BurnRun> m_run;
    QString m_verdict; // the text of Succeeded or Failed
};

} // namespace station

Q_DECLARE_METATYPE(station::Lane::State)
