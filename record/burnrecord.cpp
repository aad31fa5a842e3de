#include "burnrecord.h"

#include "esptool.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMetaObject>

#include <system_error>

namespace record
{

BurnRecord::BurnRecord(const QString &program, const QString &configDir, QObject *parent)
    : QObject(parent), m_program(program), m_configDir(configDir)
{
}

BurnRecord::~BurnRecord()
{
    stopHashing();
}

void BurnRecord::begin(const RunInfo &run)
{
    if (m_active)
        finish(Result::Interrupted, std::nullopt, QString());
    stopHashing();

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
    m_arguments = run.arguments;
    m_commandLine = commandLine(esptool::program(), run.arguments);

    // One less than the limit: this run's transcript is still to come.
    pruneTranscripts(QDir(m_configDir).filePath(QStringLiteral("logs")), kKeptTranscripts - 1);

    // The image may be many megabytes on a slow disk: hashing it here would freeze the window.
    const auto report = [this, id = m_run](const Digest &digest) {
        QMetaObject::invokeMethod(
            this, [this, id, digest] { hashed(id, digest); }, Qt::QueuedConnection);
    };
    try {
        m_hasher = std::thread([this, report, path = run.filePath] {
            const Digest digest = hashFile(path, m_cancel);
            if (!m_cancel)
                report(digest);
        });
    } catch (const std::system_error &error) {
        // Better a row without the hash than a burn that waits for it.
        qDebug() << "record hash not started:" << error.what();
        report(Digest());
    }
}

void BurnRecord::hashed(quint64 run, const Digest &digest)
{
    if (!m_active || run != m_run)
        return;
    stopHashing(); // the thread has nothing left to do but end
    m_row.bytes = digest.bytes;
    m_row.sha256 = digest.sha256;
    emit ready();
}

void BurnRecord::finish(Result result, std::optional<int> exitCode, const QString &runText)
{
    if (!m_active)
        return;
    m_active = false;
    stopHashing();

    m_row.result = result;
    const bool ran = result != Result::NotStarted && result != Result::Interrupted;
    m_row.exitCode = ran ? exitCode : std::nullopt;
    m_row.milliseconds = m_clock.elapsed();
    const QString label =
        m_program == QLatin1String("flasher") ? QStringLiteral("flasher") : m_row.serial;
    const QDir config(m_configDir);
    m_row.transcript = writeTranscript(config.filePath(QStringLiteral("logs")), m_row.started,
                                       label, m_commandLine, runText);
    appendRow(config.filePath(QStringLiteral("history.csv")), m_row);
}

void BurnRecord::stopHashing()
{
    if (!m_hasher.joinable())
        return;
    m_cancel = true;
    m_hasher.join();
    m_cancel = false;
}

} // namespace record
