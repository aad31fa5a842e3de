#pragma once

// One burn, from the press of the button to its row in the upgrade record, owned by one object.
// Its stages follow each other in order: the image hashed (in a thread of its own, within a
// limit), the tool run (its text, its percentages, its verdict; stopped when it falls silent),
// the device read back when its owner asks for it, the transcript and the row. A
// window, or a station with one run per board, shows what it emits and asks it whether it is
// writing; any number of runs may exist at once, each with its own tool process.

#include "flashtext.h"
#include "readback.h"
#include "record.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMetaType>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <optional>

class SerialInstance;

namespace esptool
{
class ChunkDecoder;
class StageLimit;
class ToolProcess;
} // namespace esptool

namespace burn
{

// The upgrade record of one CONFIG folder: its history file, one for every run that writes
// there, and the folder of the transcripts beside it. Rows that an earlier start could not
// write go in when it is made; it must outlive its runs.
class RecordFolder
{
public:
    explicit RecordFolder(const QString &configDir);

    QString logsDir() const;
    record::History &history() { return m_history; }

private:
    const QString m_configDir;
    record::History m_history;
};

// What a burn is asked for with.
struct Request {
    QString program;        // the row's program: "Quorbel" or "flasher"
    QString filePath;       // the firmware file, full path
    QString port;           // the port the tool is told; empty: it looks for one itself
    QString readMac;        // the MAC of the chip that was read; empty: none is known
    QString serial;         // as last read; empty: none was
    int deviceVersion = -1; // as last read; < 0: unknown
};

// What the device confirmed when it was read back after the tool's success texts. None: it was
// not read back (no read-back asked for, or the tool's texts gave no success).
enum class Verify { None, Ok, OtherVersion, OtherDevice, NoAnswer, Stopped };

// How a burn ended.
struct Outcome {
    Outcome() = default;
    Outcome(flashtext::BurnVerdict verdict, record::Result result, std::optional<int> exitCode)
        : verdict(verdict), result(result), exitCode(exitCode)
    {
    }

    flashtext::BurnVerdict verdict = flashtext::BurnVerdict::Undecided;
    record::Result result = record::Result::NotStarted;
    std::optional<int> exitCode; // none when the tool did not start, was stopped or crashed
    Verify verify = Verify::None;
    int verifiedVersion = -1; // the version the device reported; < 0: it reported none
    int expectedVersion = -1; // the file's, which it was to report; < 0: the name carries none
    DeviceAnswer answer;      // all it answered; version < 0: nothing
};

// What the device's answer confirms of a burn of a file with fileVersion (< 0: any version
// will do) into the device read before as serial (empty: unknown, only the version counts).
Verify verifyAnswer(const QString &serial, int fileVersion, const DeviceAnswer &answer);
// The record's word for it: "ok", "other-version", ...; empty for None.
QString verifyName(Verify verify);
// Why the device did not confirm the burn, without the box's "升级失败：" before it; empty when
// it did, or when nothing was read back.
QString failureReason(const Outcome &outcome);

class BurnRun : public QObject
{
    Q_OBJECT

public:
    // The run writes into record, which must outlive it.
    BurnRun(const Request &request, RecordFolder *record, QObject *parent = nullptr);
    // A run still active is stopped and recorded as interrupted; nothing is emitted any more.
    ~BurnRun() override;

    // Once. The stages follow through the event loop; the end comes in any case, once.
    void start();
    // Gives up the hash, or ends the tool's whole process tree, and records the run as
    // interrupted; nothing when the run is not active.
    void stop();

    // From start() to the end, the hash and the read-back included: the file of the burn must not
    // change, and its port is not free.
    bool isActive() const;
    // The tool runs: a stop now cuts a write short.
    bool isWriting() const;

    const Request &request() const { return m_request; }
    // The tool's write-flash arguments: the port they name is the row's.
    QStringList arguments() const { return m_arguments; }
    // Everything the tool has printed so far, in the order it came.
    QString text() const { return m_text; }
    // When the burn was asked for, as it goes into the row and the transcript's name.
    QDateTime startTime() const { return m_row.started; }
    // The tool's process, to watch (its id, its state); stop() is how a run is ended.
    QProcess *process() const;

    // An image that cannot be read in this time (a share that does not answer, say) is given
    // up and the tool starts without its hash.
    static constexpr int kHashLimitMs = 10000;
    void setHashLimit(int ms) { m_hashLimit.setInterval(ms); }

    static constexpr int kKeptTranscripts = 500;

    // After the tool's success texts the device is read back through worker, for up to limitMs
    // from the tool's end, and the run succeeds only when it confirms. The worker is the owner's
    // and must outlive the run. Without this the tool's texts decide alone, as in flasher.
    void setReadBack(SerialInstance *worker, int limitMs);
    // A tool that prints nothing for this long is stopped, and the run has timed out.
    void setSilenceLimit(int ms);

signals:
    void activeChanged(bool active);
    // The tool started; it ended, before its verdict is reached.
    void writingChanged(bool writing);
    // The tool has begun looking for the device ("Found").
    void searching();
    // The tool's success texts are in: the device is being read back.
    void verifying();
    // The first percentage of a chunk, as printed.
    void percentage(double percent);
    // Each piece of output, as it came; text() already holds it.
    void output(const QString &chunk);
    // The row is written, and ended() follows.
    void failedToStart();
    // The row is written. The run itself may be deleted later.
    void ended(const burn::Outcome &outcome);

private:
    enum class Stage { Ready, Hashing, Writing, ReadingBack, Ended };
    struct HashJob;

    void hash();
    void hashed(const record::Digest &digest);
    void hashTimedOut();
    void abandonHash();
    void write();
    void readOutput();
    void toolEnded(int exitCode, QProcess::ExitStatus status);
    void toolError(QProcess::ProcessError error);
    void readBack(const Outcome &toolOutcome);
    void readBackEnded(Verify verify, const DeviceAnswer &answer = DeviceAnswer());
    void end(Outcome outcome);

    const Request m_request;
    RecordFolder *const m_record;
    const QStringList m_arguments;
    Stage m_stage = Stage::Ready;
    bool m_stopping = false;
    record::Row m_row;
    QString m_commandLine;
    QElapsedTimer m_clock;
    QTimer m_hashLimit;
    std::shared_ptr<HashJob> m_job; // the hash, until it reports or is given up
    esptool::ToolProcess *m_process = nullptr;
    esptool::StageLimit *m_silence = nullptr;
    SerialInstance *m_readBackWorker = nullptr;
    int m_readBackLimit = 0;
    ReadBack *m_readBack = nullptr;
    Outcome m_toolOutcome; // what the tool's texts said, while the device is read back
    std::unique_ptr<esptool::ChunkDecoder> m_decoder;
    QString m_text;
};

// Joins a window's handlers to a run: each piece of output, each percentage, the tool that
// could not be started (as its process would report it) and the end.
template <class Window>
void connectWindow(BurnRun *run, Window *window, void (Window::*output)(),
                   void (Window::*percentage)(double),
                   void (Window::*error)(QProcess::ProcessError),
                   void (Window::*end)(const Outcome &))
{
    QObject::connect(run, &BurnRun::output, window, output);
    QObject::connect(run, &BurnRun::percentage, window, percentage);
    QObject::connect(run, &BurnRun::failedToStart, window,
                     [window, error] { (window->*error)(QProcess::FailedToStart); });
    QObject::connect(run, &BurnRun::ended, window, end);
}

} // namespace burn

Q_DECLARE_METATYPE(burn::Outcome)
