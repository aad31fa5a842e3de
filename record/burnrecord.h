#pragma once

#include "record.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <optional>

namespace record
{

// What a window knows when its burn button is pressed.
struct RunInfo {
    QString serial;         // last read; empty in flasher
    int deviceVersion = -1; // < 0: unknown
    QString filePath;       // the firmware file, full path
    QString port;           // the port the burn names; empty: the tool finds one itself
};

// The record of one window's burns: CONFIG/history.csv and CONFIG/logs/. One per window, as its
// child. begin() when the burn is asked for, start the tool on ready(), finish() when the run
// has ended in any way. Nothing here can stop or change a burn: what cannot be written costs a
// debug line, and the window goes on.
class BurnRecord : public QObject
{
    Q_OBJECT

public:
    // program: "Quorbel" or "flasher"; configDir: the folder that holds config.ini. Rows that an
    // earlier start could not write are written now.
    BurnRecord(const QString &program, const QString &configDir, QObject *parent = nullptr);
    // Never waits for a hash still running; writes no row, so a window that closes during a run
    // calls finish() itself first. Rows still waiting are written, or kept for the next start.
    ~BurnRecord() override;

    // Notes the start time, deletes the oldest transcripts and hashes the file in a thread of
    // its own; ready() follows, always through the event loop, at the latest after the hash
    // limit. A record still active is first finished as interrupted.
    void begin(const RunInfo &run);
    bool isActive() const { return m_active; }
    // Writes the transcript and the row, and ends the record; does nothing when none is active.
    // Before ready() the hash is abandoned and its columns stay empty. The exit code is kept
    // only for runs that started and were not interrupted.
    void finish(Result result, std::optional<int> exitCode, const QString &runText);
    // The same for a run whose tool has ended with that verdict.
    void finish(flashtext::BurnVerdict verdict, const QProcess &process, const QString &runText)
    {
        finish(resultOf(verdict), exitCodeOf(process), runText);
    }

    // The start time of the active or last record, as it goes into the row and transcript name.
    QDateTime startTime() const { return m_row.started; }
    // The tool's write-flash arguments of the active or last record, for its file and port:
    // what to start on ready().
    QStringList arguments() const { return m_arguments; }

    // An image that cannot be read in this time (a share that does not answer, say) is given up
    // and the tool starts without its hash.
    static constexpr int kHashLimitMs = 10000;
    void setHashLimit(int ms) { m_hashLimit.setInterval(ms); }

    static constexpr int kKeptTranscripts = 500;

signals:
    void ready();
    // From begin() to finish(): while true, the file of the burn must not change.
    void activeChanged(bool active);

private:
    struct HashJob;

    void hashed(quint64 run, const Digest &digest);
    void hashTimedOut();
    void abandonHash();

    const QString m_program;
    const QString m_configDir;
    History m_history;
    bool m_active = false;
    quint64 m_run = 0; // tells a late hash result from the current one
    Row m_row;
    QString m_commandLine;
    QStringList m_arguments;
    QElapsedTimer m_clock;
    QTimer m_hashLimit;
    std::shared_ptr<HashJob>
        m_job; // the hash of the active record, until it reports or is given up
};

} // namespace record
