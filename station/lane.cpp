#include "lane.h"

#include "esptool.h"
#include "flashtext.h"
#include "messages.h"
#include "serialinstance.h"
#include "stagelimit.h"
#include "toolprocess.h"

namespace station
{

namespace
{

QString successText(int version)
{
    return version >= 0 ? QStringLiteral("成功 V%1").arg(version) : QStringLiteral("成功");
}

// Quorbel's box without its "升级失败：", where it gives a reason (the device's answer after the
// burn); its bare "升级失败" where it gives none (the tool's own failure, its silence).
QString failureText(const burn::Outcome &outcome)
{
    if (outcome.result == record::Result::NotStarted)
        return QString::fromUtf8(esptool::kToolMissingText);
    const QString reason = burn::failureReason(outcome);
    return reason.isEmpty() ? QStringLiteral("升级失败") : reason;
}

} // namespace

Lane::Lane(const QString &port, burn::RecordFolder *record, const firmware::Limits &limits,
           QObject *parent)
    : QObject(parent), m_port(port), m_record(record), m_limits(limits),
      m_probe(new esptool::ToolProcess(this)), m_decoder(new esptool::ChunkDecoder),
      m_probeLimit(new esptool::StageLimit(m_probe, esptool::StageLimit::Kind::Probe,
                                           firmware::Limits::milliseconds(limits.probeSeconds))),
      m_worker(new SerialInstance)
{
    qRegisterMetaType<station::Lane::State>();
    connect(m_probe, &QProcess::readyReadStandardOutput, this,
            [this] { esptool::takeOutput(m_probe, m_decoder.get(), &m_probeText); });
    connect(m_probe, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &Lane::probeEnded);
    connect(m_probe, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart && m_state == State::Probing)
            setState(State::NoTool);
    });

    m_worker->Init();
    SerialInstance *worker = m_worker.get();
    const auto queued = Qt::QueuedConnection;
    connect(this, &Lane::SigOpenSerial, worker, &SerialInstance::slotOpenSerialPort, queued);
    connect(this, &Lane::SigCloseSerial, worker, &SerialInstance::slotCloseSerialPort, queued);
    connect(worker, &SerialInstance::SigConnectState, this, &Lane::opened, queued);
    connect(worker, &SerialInstance::SigGetInfo, this, &Lane::answered, queued);
    connect(worker, &SerialInstance::SigCommunicationFailed, this, &Lane::unanswered, queued);
}

Lane::~Lane()
{
    // The run first: its row is written while the record is surely there.
    delete m_run;
}

void Lane::start()
{
    m_probeText.clear();
    m_decoder->restart();
    setState(State::Probing);
    m_probeLimit->start(esptool::probeArguments(m_port));
}

void Lane::probeEnded()
{
    if (m_state != State::Probing)
        return;
    esptool::takeRest(m_probe, m_decoder.get(), &m_probeText);
    // A probe stopped at its limit found no device in time, whatever it printed before.
    if (m_probeLimit->reached() ||
        flashtext::probeVerdict(m_probeText) != flashtext::ProbeVerdict::Connected) {
        setState(State::NoDevice);
        return;
    }
    m_mac = flashtext::chipMac(m_probeText);
    setState(State::Reading);
    emit SigOpenSerial(m_port, kDeviceBaudRate);
}

void Lane::opened(int mode, bool ok)
{
    if (m_state != State::Reading || mode != 1)
        return;
    if (ok) {
        emit m_worker->SigMessageReceived(MSG_GET_INFO, QByteArray(1, '\0'));
        return;
    }
    unanswered();
}

void Lane::answered(const QString &serial, int version, int charge)
{
    if (m_state != State::Reading)
        return;
    emit SigCloseSerial();
    m_serial = serial;
    m_version = version;
    m_charge = charge;
    passGate();
}

void Lane::unanswered()
{
    if (m_state != State::Reading)
        return;
    // A failed open may be a second one on a port open already: closed all the same.
    emit SigCloseSerial();
    setState(State::NoDevice);
}

Lane::State Lane::gate(const QString &filePath, int fileVersion, int deviceVersion)
{
    if (filePath.isEmpty())
        return State::NoFile;
    if (deviceVersion < 0)
        return State::UnknownVersion;
    return deviceVersion == fileVersion ? State::SameVersion : State::Ready;
}

void Lane::passGate()
{
    setState(gate(m_filePath, m_fileVersion, m_version));
}

void Lane::setFirmware(const QString &path, int version)
{
    m_filePath = path;
    m_fileVersion = version;
    const State before = m_state;
    switch (m_state) {
    case State::NoFile:
    case State::SameVersion:
    case State::UnknownVersion:
    case State::Ready:
    case State::Queued:
        passGate();
        break;
    default:
        return;
    }
    // Ready before and ready again, but for another file: with 插入即升级 it starts on this one.
    if (before == State::Ready && m_state == State::Ready)
        emit stateChanged(m_state);
}

void Lane::queue()
{
    if (m_state == State::Ready)
        setState(State::Queued);
}

void Lane::burn()
{
    if (m_state != State::Ready && m_state != State::Queued)
        return;
    m_progress = 0;
    // The tool is told this lane's port, and the MAC the probe read there must be the one it
    // writes: another board on the bench is never touched.
    m_run = new burn::BurnRun(
        {QStringLiteral("station"), m_filePath, m_port, m_mac, m_serial, m_version}, m_record,
        this);
    connect(m_run, &burn::BurnRun::percentage, this, [this](double percent) {
        m_progress = flashtext::truncatePercent(percent);
        emit changed();
    });
    connect(m_run, &burn::BurnRun::verifying, this, [this] {
        m_progress = 100;
        setState(State::Verifying);
    });
    connect(m_run, &burn::BurnRun::ended, this, &Lane::ended);
    // Through the lane's own worker: the device confirms the burn with its own answer.
    m_run->setReadBack(m_worker.get(), firmware::Limits::milliseconds(m_limits.verifySeconds));
    m_run->setSilenceLimit(firmware::Limits::milliseconds(m_limits.burnSilenceSeconds));
    setState(State::Burning);
    m_run->start();
}

void Lane::ended(const burn::Outcome &outcome)
{
    m_progress = 100;
    // The lane shows what the device answered after the burn, as Quorbel's panel does; without
    // an answer, what was read before it.
    if (outcome.answer.version >= 0) {
        m_serial = outcome.answer.serial;
        m_version = outcome.answer.version;
        m_charge = outcome.answer.soc;
    }
    const bool succeeded = outcome.result == record::Result::Success;
    m_verdict = succeeded ? successText(outcome.verifiedVersion) : failureText(outcome);
    setState(succeeded ? State::Succeeded : State::Failed);
}

void Lane::stop()
{
    if (m_run)
        m_run->stop();
}

bool Lane::isBusy() const
{
    switch (m_state) {
    case State::Probing:
    case State::Reading:
    case State::Burning:
    case State::Verifying:
        return true;
    default:
        return false;
    }
}

QString Lane::stateText() const
{
    switch (m_state) {
    case State::Probing:
        return QStringLiteral("检测中...");
    case State::Reading:
        return QStringLiteral("读取中...");
    case State::NoDevice:
        return QStringLiteral("无设备");
    case State::NoTool:
        return QString::fromUtf8(esptool::kToolMissingText);
    case State::NoFile:
        return QStringLiteral("请选择文件");
    case State::SameVersion:
        return QStringLiteral("已是该版本");
    case State::UnknownVersion:
        return QStringLiteral("无法读取版本");
    case State::Ready:
        return QStringLiteral("就绪");
    case State::Queued:
        return QStringLiteral("排队中");
    case State::Burning:
        return QStringLiteral("升级中...");
    case State::Verifying:
        return QStringLiteral("验证中...");
    case State::Succeeded:
    case State::Failed:
        break;
    }
    return m_verdict;
}

void Lane::setState(State state)
{
    const bool change = state != m_state;
    m_state = state;
    if (change)
        emit stateChanged(state);
    emit changed();
}

} // namespace station
