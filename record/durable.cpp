#include "durable.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace record
{

namespace
{

#ifdef Q_OS_WIN
using Offset = __int64;

int openFile(const QString &path, int flags)
{
    int fd = -1;
    const QString native = QDir::toNativeSeparators(path);
    // Shared for reading and writing, as any other program's open: a spreadsheet that holds the
    // file without write sharing makes this fail, rather than the other way round.
    const errno_t failed =
        _wsopen_s(&fd, reinterpret_cast<const wchar_t *>(native.utf16()),
                  flags | _O_WRONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, _S_IREAD | _S_IWRITE);
    if (failed)
        errno = failed;
    return failed ? -1 : fd;
}
Offset lengthOf(int fd)
{
    return _filelengthi64(fd);
}
int writeSome(int fd, const char *data, qint64 size)
{
    return _write(fd, data, unsigned(qMin<qint64>(size, 1 << 30)));
}
bool cutTo(int fd, Offset size)
{
    return _chsize_s(fd, size) == 0;
}
bool toDisk(int fd)
{
    if (FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(fd))))
        return true;
    errno = EIO;
    return false;
}
bool closeFile(int fd)
{
    return _close(fd) == 0;
}
const int kAppend = _O_APPEND | _O_CREAT;
const int kCreate = _O_CREAT | _O_EXCL;
#else
using Offset = off_t;

int openFile(const QString &path, int flags)
{
    int fd = -1;
    do {
        fd = ::open(QFile::encodeName(path).constData(), flags | O_WRONLY | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}
Offset lengthOf(int fd)
{
    struct stat status;
    return ::fstat(fd, &status) == 0 ? status.st_size : -1;
}
ssize_t writeSome(int fd, const char *data, qint64 size)
{
    return ::write(fd, data, size_t(size));
}
bool cutTo(int fd, Offset size)
{
    return ::ftruncate(fd, size) == 0;
}
bool toDisk(int fd)
{
    return ::fsync(fd) == 0;
}
bool closeFile(int fd)
{
    return ::close(fd) == 0;
}
const int kAppend = O_APPEND | O_CREAT;
const int kCreate = O_CREAT | O_EXCL;
#endif

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const auto written = writeSome(fd, bytes.constData() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        done += written;
    }
    return true;
}

// Writes, flushes to the disk and closes; on failure the first error is kept in error.
bool writeAndClose(int fd, const QByteArray &bytes, Offset cutBackTo, QString *error)
{
    bool ok = writeAll(fd, bytes) && toDisk(fd);
    int code = ok ? 0 : errno;
    if (!ok && cutBackTo >= 0) {
        // Whatever part of the bytes went in would stand as a cut row before the next one.
        cutTo(fd, cutBackTo);
        toDisk(fd);
    }
    if (!closeFile(fd) && ok) {
        ok = false;
        code = errno;
    }
    if (!ok && error)
        *error = systemError(code);
    return ok;
}

} // namespace

bool appendDurably(const QString &path, const QByteArray &bytes, QString *error)
{
    const int fd = openFile(path, kAppend);
    if (fd < 0) {
        if (error)
            *error = systemError(errno);
        return false;
    }
    const Offset before = lengthOf(fd);
    return writeAndClose(fd, bytes, before, error);
}

bool createDurably(const QString &path, const QByteArray &bytes, bool *taken, QString *error)
{
    if (taken)
        *taken = false;
    const int fd = openFile(path, kCreate);
    if (fd < 0) {
        if (taken)
            *taken = errno == EEXIST;
        if (error)
            *error = systemError(errno);
        return false;
    }
    if (writeAndClose(fd, bytes, -1, error))
        return true;
    // By name, once closed: a removal through the open file would first flush, fail again on
    // a full disk, and leave the empty file behind.
    QFile::remove(path);
    return false;
}

} // namespace record
