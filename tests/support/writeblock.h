#pragma once

// Keeps this process from writing a file, as a full disk or another program would.

#include <QFileInfo>
#include <QString>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <sys/resource.h>
#endif

// Keeps this process from writing the file while it lives. On Windows the file is held open
// without write sharing, as a spreadsheet program holds it. Elsewhere a file size limit a few
// bytes above its size stands in (permissions cannot: the tests may run as root), which also
// cuts a write short as a full disk does; it holds for every file, new ones too.
class WriteBlock
{
public:
    explicit WriteBlock(const QString &path)
    {
#ifdef Q_OS_WIN
        m_handle =
            CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ,
                        FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
#else
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = rlim_t(QFileInfo(path).size() + 5);
        setrlimit(RLIMIT_FSIZE, &limit);
#endif
    }
    ~WriteBlock()
    {
#ifdef Q_OS_WIN
        CloseHandle(m_handle);
#else
        setrlimit(RLIMIT_FSIZE, &m_old);
#endif
    }
    WriteBlock(const WriteBlock &) = delete;
    WriteBlock &operator=(const WriteBlock &) = delete;

private:
#ifdef Q_OS_WIN
    HANDLE m_handle = INVALID_HANDLE_VALUE;
#else
    rlimit m_old{};
#endif
};
