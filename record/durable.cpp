#include "durable.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace record
{

namespace
{

// A write cut short (a full disk, a file size limit) returns what went in without an error; only
// the next write tells why.
bool writeAll(QFileDevice &file, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

QString reasonOf(const QFileDevice &file)
{
    return file.error() != QFileDevice::NoError ? file.errorString()
                                                : QStringLiteral("not all of it reached the disk");
}

} // namespace

bool syncToDisk(QFileDevice &file)
{
#ifdef Q_OS_WIN
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
#else
    int result = 0;
    do {
        result = ::fsync(file.handle());
    } while (result != 0 && errno == EINTR);
    return result == 0;
#endif
}

void syncFolder(const QString &folder)
{
#ifdef Q_OS_WIN
    Q_UNUSED(folder)
#else
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#endif
}

bool appendDurably(QFile &file, const QByteArray &bytes, QString *error)
{
    const qint64 before = file.size();
    if (writeAll(file, bytes) && syncToDisk(file))
        return true;
    *error = reasonOf(file);
    // Whatever part of the bytes went in would stand as a cut row before the next one.
    file.resize(before);
    syncToDisk(file);
    return false;
}

bool createDurably(const QString &path, const QByteArray &bytes, bool *taken, QString *error)
{
    *taken = false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        *taken = QFileInfo::exists(path);
        *error = file.errorString();
        return false;
    }
    if (writeAll(file, bytes) && syncToDisk(file)) {
        file.close();
        syncFolder(QFileInfo(path).absolutePath());
        return true;
    }
    *error = reasonOf(file);
    file.close();
    QFile::remove(path);
    return false;
}

bool replaceDurably(const QString &path, const QByteArray &bytes, QString *error)
{
    // Unbuffered, or a full disk shows only at the flush in commit(), which Qt 5 does not check:
    // it would rename an empty file over the old one.
    QSaveFile save(path);
    if (!save.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || !writeAll(save, bytes) ||
        save.size() != bytes.size() || !syncToDisk(save)) {
        *error = reasonOf(save);
        save.cancelWriting();
        return false;
    }
    if (!save.commit()) {
        *error = save.errorString();
        return false;
    }
    syncFolder(QFileInfo(path).absolutePath());
    return true;
}

} // namespace record
