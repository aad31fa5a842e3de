#pragma once

// What the firmware-choice tests of both programs share: a working directory of their own (the
// settings file lives under it), an open-file dialog that answers from a script, and small file
// helpers.

#include "firmwarechoice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QTemporaryDir>
#include <QWidget>

// A fresh temporary folder made the current working directory for as long as it lives.
class WorkDir
{
public:
    WorkDir() : m_previous(QDir::currentPath()) { enter(); }
    ~WorkDir() { QDir::setCurrent(m_previous); }
    WorkDir(const WorkDir &) = delete;
    WorkDir &operator=(const WorkDir &) = delete;

    bool isValid() const { return m_dir.isValid(); }
    void enter() const { QDir::setCurrent(m_dir.path()); }

    // The path as the working directory reports it (links resolved).
    QString path() const { return QFileInfo(m_dir.path()).canonicalFilePath(); }
    QString path(const QString &relative) const { return path() + "/" + relative; }
    QString configFile() const { return path("CONFIG/config.ini"); }

private:
    QString m_previous;
    QTemporaryDir m_dir;
};

// Stands in for the user at the open-file dialog: each call takes the next scripted answer (an
// empty one, or none left, is a cancel) and is recorded with its arguments.
class DialogScript
{
public:
    struct Call {
        QPointer<QWidget> parent;
        QString caption;
        QString dir;
        QString filter;
        QFileDialog::Options options;
    };

    DialogScript()
    {
        firmware::setFileDialog([this](QWidget *parent, const QString &caption, const QString &dir,
                                       const QString &filter, QFileDialog::Options options) {
            m_calls.append({parent, caption, dir, filter, options});
            return m_answers.isEmpty() ? QString() : m_answers.takeFirst();
        });
    }
    ~DialogScript() { firmware::setFileDialog(nullptr); }
    DialogScript(const DialogScript &) = delete;
    DialogScript &operator=(const DialogScript &) = delete;

    void answer(const QString &path) { m_answers << path; }
    void cancel() { m_answers << QString(); }
    const QList<Call> &calls() const { return m_calls; }

private:
    QStringList m_answers;
    QList<Call> m_calls;
};

inline QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QFile::ReadOnly) ? file.readAll() : QByteArray();
}

// A file of the given size (pseudo-random content, so the stand-in cannot compress it away).
inline bool makeFile(const QString &path, int size = 0)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QByteArray bytes(size, '\0');
    quint32 x = 2463534242u;
    for (char &b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = char(x & 0xff);
    }
    QFile file(path);
    return file.open(QFile::WriteOnly) && file.write(bytes) == size;
}

// How the settings file ends its lines: the system's own way, as QSettings writes it.
#ifdef Q_OS_WIN
constexpr char kSettingsLineEnd[] = "\r\n";
#else
constexpr char kSettingsLineEnd[] = "\n";
#endif

// The settings file's text once the settings object has written it, each line ended by "\n"
// whatever the system; empty until then.
inline QString configText(const QString &configFile)
{
    return QString::fromLatin1(fileBytes(configFile)).replace(kSettingsLineEnd, "\n");
}
