#include "burnrun.h"

#include "esptool.h"
#include "stagelimit.h"
#include "stagelimits.h"
#include "toolprocess.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMetaObject>

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

namespace burn
{

namespace
{

record::Result resultOf(flashtext::BurnVerdict verdict)
{
    switch (verdict) {
    case flashtext::BurnVerdict::Failed:
        return record::Result::Failure;
    case flashtext::BurnVerdict::Succeeded:
        return record::Result::Success;
    case flashtext::BurnVerdict::Undecided:
        break;
    }
    return record::Result::Undecided;
}

} // namespace

Verify verifyAnswer(const QString &serial, int fileVersion, const DeviceAnswer &answer)
{
    if (!serial.isEmpty() && answer.serial != serial)
        return Verify::OtherDevice;
    if (fileVersion >= 0 && answer.version != fileVersion)
        return Verify::OtherVersion;
    return Verify::Ok;
}

QString verifyName(Verify verify)
{
    // In the order of Verify.
    static const char *const names[] = {"",          "ok",     "other-version", "other-device",
                                        "no-answer", "stopped"};
    return QString::fromLatin1(names[int(verify)]);
}

QString failureReason(const Outcome &outcome)
{
    switch (outcome.verify) {
    case Verify::OtherVersion:
        return QStringLiteral("设备重启后报告版本 %1，应为 %2")
            .arg(outcome.answer.version)
            .arg(outcome.expectedVersion);
    case Verify::OtherDevice:
        return QStringLiteral("应答的是另一台设备 %1").arg(outcome.answer.serial);
    case Verify::NoAnswer:
        return QStringLiteral("设备重启后未应答");
    case Verify::None:
    case Verify::Ok:
    case Verify::Stopped:
        break;
    }
    return QString();
}

RecordFolder::RecordFolder(const QString &configDir)
    : m_configDir(configDir), m_history(QDir(configDir).filePath(QStringLiteral("history.csv")))
{
}

QString RecordFolder::logsDir() const
{
    return QDir(m_configDir).filePath(QStringLiteral("logs"));
}

// Shared by the run and its hashing thread, which is never waited for: a read that blocks (a
// dead network share) must neither freeze the window nor keep the program from ending. The
// thread posts its result only while the run still wants it; the run lets go of it under the
// same lock, so nothing is ever posted to a run that is gone.
struct BurnRun::HashJob {
    std::atomic<bool> cancel{false};
    std::mutex mutex;
    BurnRun *run = nullptr;
};

BurnRun::BurnRun(const Request &request, RecordFolder *record, QObject *parent)
    : QObject(parent), m_request(request), m_record(record),
      m_arguments(esptool::burnArguments(request.filePath, request.port)),
      m_process(new esptool::ToolProcess(this)),
      m_silence(new esptool::StageLimit(
          m_process, esptool::StageLimit::Kind::Silence,
          firmware::Limits::milliseconds(firmware::Limits().burnSilenceSeconds))),
      m_decoder(new esptool::ChunkDecoder)
{
    qRegisterMetaType<burn::Outcome>();
    m_hashLimit.setSingleShot(true);
    m_hashLimit.setInterval(kHashLimitMs);
    connect(&m_hashLimit, &QTimer::timeout, this, &BurnRun::hashTimedOut);
    connect(m_process, &QProcess::started, this, [this] { emit writingChanged(true); });
    connect(m_process, &QProcess::readyReadStandardOutput, this, &BurnRun::readOutput);
    connect(m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &BurnRun::toolEnded);
    connect(m_process, &QProcess::errorOccurred, this, &BurnRun::toolError);
}

BurnRun::~BurnRun()
{
    const QSignalBlocker quiet(this);
    stop();
}

bool BurnRun::isActive() const
{
    return m_stage == Stage::Hashing || m_stage == Stage::Writing || m_stage == Stage::ReadingBack;
}

bool BurnRun::isWriting() const
{
    return m_stage == Stage::Writing && m_process->state() != QProcess::NotRunning;
}

QProcess *BurnRun::process() const
{
    return m_process;
}

void BurnRun::setReadBack(SerialInstance *worker, int limitMs)
{
    m_readBackWorker = worker;
    m_readBackLimit = limitMs;
}

void BurnRun::setSilenceLimit(int ms)
{
    m_silence->setLimit(ms);
}

void BurnRun::start()
{
    if (m_stage != Stage::Ready)
        return;
    m_stage = Stage::Hashing;
    m_row.started = QDateTime::currentDateTime();
    m_clock.start();
    m_row.program = m_request.program;
    m_row.serial = m_request.serial;
    m_row.deviceVersion = m_request.deviceVersion;
    m_row.file = m_request.filePath;
    m_row.fileVersion = flashtext::fileVersion(QFileInfo(m_request.filePath).fileName());
    m_row.port = m_request.port;
    m_commandLine = record::commandLine(esptool::program(), m_arguments);
    emit activeChanged(true);

    // One less than the limit: this run's transcript is still to come.
    record::pruneTranscripts(m_record->logsDir(), kKeptTranscripts - 1);
    hash();
}

void BurnRun::hash()
{
    // The image may be many megabytes on a slow disk: hashing it here would freeze the window.
    auto job = std::make_shared<HashJob>();
    job->run = this;
    m_job = job;
    try {
        std::thread([job, path = m_request.filePath] {
            const record::Digest digest = record::hashFile(path, job->cancel);
            const std::lock_guard<std::mutex> lock(job->mutex);
            if (BurnRun *run = job->run)
                QMetaObject::invokeMethod(
                    run, [run, digest] { run->hashed(digest); }, Qt::QueuedConnection);
        }).detach();
    } catch (const std::system_error &error) {
        // Better a row without the hash than a burn that waits for it.
        qDebug() << "record hash not started:" << error.what();
        QMetaObject::invokeMethod(
            this, [this] { hashed(record::Digest()); }, Qt::QueuedConnection);
    }
    m_hashLimit.start();
}

void BurnRun::hashed(const record::Digest &digest)
{
    // A result that comes after the limit has let the tool start is no longer wanted.
    if (m_stage != Stage::Hashing || !m_job)
        return;
    m_hashLimit.stop();
    m_job.reset();
    m_row.bytes = digest.bytes;
    m_row.sha256 = digest.sha256;
    write();
}

void BurnRun::hashTimedOut()
{
    if (m_stage != Stage::Hashing)
        return;
    qDebug() << "record hash given up after" << m_hashLimit.interval() << "ms:" << m_row.file;
    abandonHash();
    write();
}

void BurnRun::abandonHash()
{
    m_hashLimit.stop();
    if (!m_job)
        return;
    m_job->cancel = true;
    {
        const std::lock_guard<std::mutex> lock(m_job->mutex);
        m_job->run = nullptr;
    }
    m_job.reset();
}

void BurnRun::write()
{
    m_stage = Stage::Writing;
    m_silence->start(m_arguments);
}

void BurnRun::readOutput()
{
    const QString chunk = esptool::takeOutput(m_process, m_decoder.get(), &m_text);
    emit output(chunk);
    if (flashtext::mentionsFound(chunk))
        emit searching();
    double percent = 0;
    if (flashtext::findPercentage(chunk, &percent))
        emit percentage(percent);
}

void BurnRun::toolEnded(int exitCode, QProcess::ExitStatus status)
{
    if (m_stage != Stage::Writing)
        return;
    esptool::takeRest(m_process, m_decoder.get(), &m_text);
    emit writingChanged(false);
    if (m_stopping) {
        end({flashtext::BurnVerdict::Undecided, record::Result::Interrupted, std::nullopt});
        return;
    }
    if (m_silence->reached()) {
        end({flashtext::BurnVerdict::Failed, record::Result::TimedOut, std::nullopt});
        return;
    }
    const QString burntMac = flashtext::otherChipMac(m_request.readMac, m_text);
    if (!burntMac.isEmpty())
        qDebug() << "burn wrote another chip than the one read, MAC read:" << m_request.readMac
                 << "MAC written:" << burntMac;
    // A crash gives no exit code worth keeping; the verdict never looks at the code anyway.
    const bool crashed = status == QProcess::CrashExit;
    const flashtext::BurnVerdict verdict =
        flashtext::burnVerdict(m_text, crashed, m_request.readMac);
    const Outcome outcome{verdict, resultOf(verdict),
                          crashed ? std::nullopt : std::optional<int>(exitCode)};
    // A burn the tool failed is not read back: the device may hold half an image.
    if (verdict == flashtext::BurnVerdict::Succeeded && m_readBackWorker)
        readBack(outcome);
    else
        end(outcome);
}

void BurnRun::readBack(const Outcome &toolOutcome)
{
    m_stage = Stage::ReadingBack;
    m_toolOutcome = toolOutcome;
    m_readBack = new ReadBack(m_readBackWorker, m_request.port, this);
    connect(m_readBack, &ReadBack::answered, this, [this](const DeviceAnswer &answer) {
        readBackEnded(verifyAnswer(m_request.serial, m_row.fileVersion, answer), answer);
    });
    connect(m_readBack, &ReadBack::noAnswer, this, [this] { readBackEnded(Verify::NoAnswer); });
    emit verifying();
    m_readBack->start(m_readBackLimit);
}

void BurnRun::readBackEnded(Verify verify, const DeviceAnswer &answer)
{
    qDebug() << "read back:" << verifyName(verify) << answer.serial << answer.version;
    Outcome outcome = m_toolOutcome;
    outcome.verify = verify;
    outcome.verifiedVersion = answer.version;
    outcome.answer = answer;
    outcome.result = verify == Verify::Ok        ? record::Result::Success
                     : verify == Verify::Stopped ? record::Result::Interrupted
                                                 : record::Result::Failure;
    end(outcome);
}

void BurnRun::toolError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart || m_stage != Stage::Writing)
        return;
    end({flashtext::BurnVerdict::Undecided, record::Result::NotStarted, std::nullopt});
}

void BurnRun::stop()
{
    if (m_stage == Stage::ReadingBack) {
        m_readBack->stop();
        readBackEnded(Verify::Stopped);
        return;
    }
    if (m_stage == Stage::Hashing) {
        end({flashtext::BurnVerdict::Undecided, record::Result::Interrupted, std::nullopt});
        return;
    }
    if (m_stage != Stage::Writing)
        return;
    m_stopping = true;
    // Its end comes back through toolEnded(), unless the tree could not be waited for.
    m_process->stop();
    if (m_stage == Stage::Writing)
        end({flashtext::BurnVerdict::Undecided, record::Result::Interrupted, std::nullopt});
}

void BurnRun::end(Outcome outcome)
{
    m_stage = Stage::Ended;
    outcome.expectedVersion = m_row.fileVersion;
    m_row.verify = verifyName(outcome.verify);
    m_row.verifiedVersion = outcome.verifiedVersion;
    abandonHash();
    m_row.result = outcome.result;
    m_row.exitCode = outcome.exitCode;
    m_row.milliseconds = m_clock.elapsed();
    m_row.mac = flashtext::chipMac(m_text);
    m_row.toolVersion = flashtext::toolVersion(m_text);
    const QString label = m_request.program == QLatin1String("flasher") ? QStringLiteral("flasher")
                                                                        : m_request.serial;
    m_row.transcript =
        record::writeTranscript(m_record->logsDir(), m_row.started, label, m_commandLine, m_text);
    // Written before anyone is told: the verdict box waits for the user.
    m_record->history().append(m_row);
    emit activeChanged(false);
    if (outcome.result == record::Result::NotStarted)
        emit failedToStart();
    emit ended(outcome);
}

} // namespace burn
