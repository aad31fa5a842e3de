#pragma once

// Whether a process a test started is gone for good: ended, and on POSIX systems reaped too.

#include <QFile>
#include <QtGlobal>

#ifdef Q_OS_WIN
#include <qt_windows.h>
// 16-bit pointer qualifiers, defined empty; they would swallow the colour helper's name.
#undef near
#undef far
#else
#include <cerrno>
#include <csignal>
#include <sys/types.h>
#endif

inline bool processGone(qint64 pid)
{
#ifdef Q_OS_WIN
    // Windows has no zombies to reap. Its id may still open the ended process for a while
    // (Wine keeps it longer than Windows does), and then the exit code tells.
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    DWORD exitCode = STILL_ACTIVE;
    const bool ended = GetExitCodeProcess(process, &exitCode) && exitCode != STILL_ACTIVE;
    CloseHandle(process);
    return ended;
#else
    // A zombie still answers: only a reaped process is gone.
    return ::kill(pid_t(pid), 0) == -1 && errno == ESRCH;
#endif
}

// Whether a process that is not this program's child has ended. Where nothing reaps orphans,
// one that has ended stays a zombie, which holds nothing any more (no port, no pipe).
inline bool processEnded(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return processGone(pid);
    // The state follows the command's name, which is in parentheses and may hold anything.
    const QByteArray fields = stat.readAll();
    return fields.mid(fields.lastIndexOf(')') + 2, 1) == "Z";
}
