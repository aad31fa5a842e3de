#include "lifetime.h"

#include <QFile>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <windows.h>

// Needs the types windows.h declares.
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace
{

const int kFatalExit = 2;

} // namespace

#ifdef Q_OS_WIN

// Windows keeps no parent link that follows the parent's death, so the watch holds the
// parent's handle: the handle is signalled once that process has ended, and keeps its id from
// being given to another process meanwhile.
ParentWatch::ParentWatch()
{
    const DWORD self = GetCurrentProcessId();
    DWORD parentId = 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            parentId = entry.th32ParentProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    if (parentId != 0)
        m_parent = reinterpret_cast<long long>(OpenProcess(SYNCHRONIZE, FALSE, parentId));
}

ParentWatch::~ParentWatch()
{
    if (m_parent)
        CloseHandle(reinterpret_cast<HANDLE>(m_parent));
}

bool ParentWatch::parentAlive() const
{
    // Without a handle (the parent was gone before the watch began) there is nobody to wait for.
    return m_parent && WaitForSingleObject(reinterpret_cast<HANDLE>(m_parent), 0) == WAIT_TIMEOUT;
}

void dieAsKilled()
{
    // An exit code that reads as a crash, as an unhandled fault leaves it; TerminateProcess
    // skips the error reporting a real fault would start.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(EXCEPTION_ACCESS_VIOLATION));
    std::_Exit(kFatalExit);
}

void useBinaryStreams()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

bool processRunning(long long)
{
    return false;
}

StateFileLock::StateFileLock(const QString &) {}

StateFileLock::~StateFileLock() = default;

#else

// A process whose parent dies is handed to another one, so a changed parent id means the
// parent is gone.
ParentWatch::ParentWatch() : m_parent(getppid()) {}

ParentWatch::~ParentWatch() = default;

bool ParentWatch::parentAlive() const
{
    return getppid() == m_parent;
}

// A signal, not abort(): no core file is left behind in the test's working directory.
void dieAsKilled()
{
    std::raise(SIGKILL);
    std::_Exit(kFatalExit);
}

void useBinaryStreams() {}

bool processRunning(long long pid)
{
    // Another user's process answers EPERM: it runs all the same.
    return pid > 0 && (kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

StateFileLock::StateFileLock(const QString &statePath)
{
    if (statePath.isEmpty())
        return;
    m_fd = open(QFile::encodeName(statePath + ".lock").constData(), O_RDWR | O_CREAT | O_CLOEXEC,
                0644);
    if (m_fd >= 0)
        flock(m_fd, LOCK_EX);
}

StateFileLock::~StateFileLock()
{
    if (m_fd >= 0)
        close(m_fd);
}

#endif
