#include "toolprocess.h"

#include "esptool.h"

#include <QDebug>
#include <QSignalBlocker>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <csignal>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace esptool
{

namespace
{

// A killed tree ends at once; one that does not (a process stuck in a driver) must not hold
// the window for longer than this.
const int kStopWaitMs = 5000;

#ifdef Q_OS_WIN
// The exit code QProcess gives a process it kills itself, so that the tool ended with its job
// is reported as a crash too.
const UINT kKilledExitCode = 0xf291;
#endif

} // namespace

ToolProcess::ToolProcess(QObject *parent) : QProcess(parent)
{
    setProcessChannelMode(QProcess::MergedChannels);
    // Connected first, so that nothing the tool left behind outlives the report of its end.
    connect(this, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this] { endTree(); });
    // A tool that could not be started reports no finished(); its number, already reused
    // perhaps, must not be signalled later as the group of a tool.
    connect(this, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            forgetTree();
    });
}

ToolProcess::~ToolProcess()
{
    const QSignalBlocker quiet(this);
    stop();
}

void ToolProcess::start(const QStringList &arguments)
{
    qDebug() << "args[" << arguments << "]";
    endTree();
    setProcessEnvironment(esptool::environment());
#ifdef Q_OS_WIN
    // Suspended until it is in the job: a child started at once would be out of its reach.
    setCreateProcessArgumentsModifier([this](CreateProcessArguments *args) {
        args->flags |= CREATE_SUSPENDED;
        m_starting = args->processInformation;
    });
    QProcess::start(esptool::program(), arguments, QIODevice::ReadWrite);
    setCreateProcessArgumentsModifier(CreateProcessArgumentModifier());
    // The information is the process object's own until the process has ended.
    if (m_starting && state() != QProcess::NotRunning)
        holdTree();
    m_starting = nullptr;
#else
    QProcess::start(esptool::program(), arguments, QIODevice::ReadWrite);
    // The child makes its group itself (setupChildProcess); made here as well, the group is
    // there however far the child has got, so a stop right after the start reaches it.
    const qint64 pid = processId();
    if (pid > 0) {
        ::setpgid(pid_t(pid), pid_t(pid));
        m_group = pid;
    }
#endif
}

void ToolProcess::stop()
{
    endTree();
    if (state() == QProcess::NotRunning)
        return;
    kill();
    waitForFinished(kStopWaitMs);
}

#ifdef Q_OS_WIN

void ToolProcess::holdTree()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job &&
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) &&
        AssignProcessToJobObject(job, m_starting->hProcess)) {
        m_job = job;
    } else {
        // The tool runs all the same; only its own process can then be ended.
        qDebug() << "esptool process tree not held:" << GetLastError();
        if (job)
            CloseHandle(job);
    }
    ResumeThread(m_starting->hThread);
}

void ToolProcess::forgetTree()
{
    if (m_job)
        CloseHandle(m_job);
    m_job = nullptr;
}

void ToolProcess::endTree()
{
    if (!m_job)
        return;
    TerminateJobObject(m_job, kKilledExitCode);
    CloseHandle(m_job);
    m_job = nullptr;
}

#else

void ToolProcess::setupChildProcess()
{
    ::setpgid(0, 0);
}

void ToolProcess::forgetTree()
{
    m_group = 0;
}

void ToolProcess::endTree()
{
    // Once the group has been ended its number may belong to someone else.
    if (m_group > 0)
        ::kill(-pid_t(m_group), SIGKILL);
    m_group = 0;
}

#endif

} // namespace esptool
