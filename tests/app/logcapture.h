#pragma once

// Collects the debug log while alive: the log lines are part of the window's behaviour.

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

#include <atomic>

class LogCapture
{
public:
    LogCapture()
    {
        m_previous = qInstallMessageHandler(&LogCapture::handler);
        instance() = this;
    }
    ~LogCapture()
    {
        instance() = nullptr;
        qInstallMessageHandler(m_previous);
    }

    QStringList lines() const
    {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }

    // Lines that begin with the given label.
    QStringList linesStartingWith(const QString &label) const
    {
        QStringList found;
        for (const QString &line : lines())
            if (line.startsWith(label))
                found << line;
        return found;
    }

private:
    // The worker thread logs too.
    static std::atomic<LogCapture *> &instance()
    {
        static std::atomic<LogCapture *> current{nullptr};
        return current;
    }

    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (LogCapture *self = instance()) {
            QMutexLocker lock(&self->m_mutex);
            self->m_lines << message;
        }
        // Warnings stay visible in the test output; the debug chatter does not.
        LogCapture *self = instance();
        if (type != QtDebugMsg && self && self->m_previous)
            self->m_previous(type, context, message);
    }

    mutable QMutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
};
