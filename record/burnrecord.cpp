#include "burnrecord.h"

#include "esptool.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMetaObject>

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

namespace record
{

// Shared by the record and its hashing thread, which is never waited for: a read that blocks
// (a dead network share) must neither freeze the window nor keep the program from ending. The
// thread posts its result only while the record still wants it; the record lets go of it under
// the same lock, so nothing is ever posted to a record that is gone.
struct BurnRecord::HashJob {
    std::atomic<bool> cancel{false};
    std::mutex mutex;
    BurnRecord *record = nullptr;
};

BurnRecord::BurnRecord(const QString &program, const QString &configDir, QObject *parent)
    : QObject(parent), m_program(program), m_configDir(configDir),
      m_history(QDir(configDir).filePath(QStringLiteral("history.csv")))
{
    m_hashLimit.setSingleShot(true);
    m_hashLimit.setInterval(kHashLimitMs);
    connect(&m_hashLimit, &QTimer::timeout, this, &BurnRecord::hashTimedOut);
}

BurnRecord::~BurnRecord()
{
    abandonHash();
}

void BurnRecord::begin(const RunInfo &run)
{
    if (m_active)
        finish(Result::Interrupted, std::nullopt, QString());
    abandonHash();

    ++m_run;
    m_active = true;
    m_row = Row();
    m_row.started = QDateTime::currentDateTime();
    m_clock.start();
    m_row.program = m_program;
    m_row.serial = run.serial;
    m_row.deviceVersion = run.deviceVersion;
    m_row.file = run.filePath;
    m_row.fileVersion = flashtext::fileVersion(QFileInfo(run.filePath).fileName());
    m_row.port = run.port;
    // Built here from the file and port, so the row's port is always the one the tool is told.
    m_arguments = esptool::burnArguments(run.filePath, run.port);
    m_commandLine = commandLine(esptool::program(), m_arguments);
    emit activeChanged(true);

    // One less than the limit: this run's transcript is still to come.
    pruneTranscripts(QDir(m_configDir).filePath(QStringLiteral("logs")), kKeptTranscripts - 1);

    // The image may be many megabytes on a slow disk: hashing it here would freeze the window.
    auto job = std::make_shared<HashJob>();
    job->record = this;
    m_job = job;
    const quint64 id = m_run;
    try {
        std::thread([job, id, path = run.filePath] {
            const Digest digest = hashFile(path, job->cancel);
            const std::lock_guard<std::mutex> lock(job->mutex);
            if (BurnRecord *record = job->record)
                QMetaObject::invokeMethod(
                    record, [record, id, digest] { record->hashed(id, digest); },
                    Qt::QueuedConnection);
        }).detach();
    } catch (const std::system_error &error) {
        // Better a row without the hash than a burn that waits for it.
        qDebug() << "record hash not started:" << error.what();
        QMetaObject::invokeMethod(
            this, [this, id] { hashed(id, Digest()); }, Qt::QueuedConnection);
    }
    m_hashLimit.start();
}

void BurnRecord::hashed(quint64 run, const Digest &digest)
{
    // A result that comes after the limit has let the tool start is no longer this run's.
    if (!m_active || run != m_run || !m_job)
        return;
    m_hashLimit.stop();
    m_job.reset();
    m_row.bytes = digest.bytes;
    m_row.sha256 = digest.sha256;
    emit ready();
}

void BurnRecord::hashTimedOut()
{
    if (!m_active || !m_job)
        return;
    qDebug() << "record hash given up after" << m_hashLimit.interval() << "ms:" << m_row.file;
    abandonHash();
    emit ready();
}

void BurnRecord::finish(Result result, std::optional<int> exitCode, const QString &runText)
{
    if (!m_active)
        return;
    m_active = false;
    abandonHash();

    m_row.result = result;
    const bool ran = result != Result::NotStarted && result != Result::Interrupted;
    m_row.exitCode = ran ? exitCode : std::nullopt;
    m_row.milliseconds = m_clock.elapsed();
    m_row.mac = flashtext::chipMac(runText);
    m_row.toolVersion = flashtext::toolVersion(runText);
    const QString label =
        m_program == QLatin1String("flasher") ? QStringLiteral("flasher") : m_row.serial;
    m_row.transcript = writeTranscript(QDir(m_configDir).filePath(QStringLiteral("logs")),
                                       m_row.started, label, m_commandLine, runText);
    m_history.append(m_row);
    emit activeChanged(false);
}

void BurnRecord::abandonHash()
{
    m_hashLimit.stop();
    if (!m_job)
        return;
    m_job->cancel = true;
    {
        const std::lock_guard<std::mutex> lock(m_job->mutex);
        m_job->record = nullptr;
    }
    m_job.reset();
}

} // namespace record
