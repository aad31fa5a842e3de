#include "console.h"

#include <QThread>

#include <cstdio>

namespace
{

const char kClearLine[] = "\r\x1b[K";
const char kLineUpAndClear[] = "\x1b[1A\x1b[2K";
const char kRed[] = "\x1b[31m";
const char kYellow[] = "\x1b[33m";
const char kReset[] = "\x1b[0m";

void writeAll(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

void Console::out(const QByteArray &bytes)
{
    if (m_holding)
        m_held += bytes;
    else
        writeAll(stdout, bytes);
}

// Held output goes to standard output too: the point of holding is one write, and a merged
// reader could not tell the streams apart anyway.
void Console::err(const QByteArray &bytes)
{
    if (m_holding)
        m_held += bytes;
    else
        writeAll(stderr, bytes);
}

void Console::line(const QString &text)
{
    endProgress();
    out(text.toLocal8Bit() + '\n');
}

void Console::text(const QString &text)
{
    out(text.toLocal8Bit());
}

void Console::errorLine(const QString &text)
{
    endProgress();
    if (m_terminal)
        err(kRed + text.toLocal8Bit() + kReset + '\n');
    else
        err(text.toLocal8Bit() + '\n');
}

void Console::warningLine(const QString &text)
{
    endProgress();
    if (m_terminal)
        err(kYellow + text.toLocal8Bit() + kReset + '\n');
    else
        err(text.toLocal8Bit() + '\n');
}

void Console::progress(const QString &text)
{
    if (m_terminal) {
        out(kClearLine + text.toLocal8Bit());
        m_inProgress = true;
    } else {
        out('\r' + text.toLocal8Bit() + '\n');
    }
}

void Console::endProgress()
{
    if (m_inProgress) {
        m_inProgress = false;
        out("\n");
    }
}

void Console::eraseLines(int count)
{
    if (!m_terminal)
        return;
    endProgress();
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes += kLineUpAndClear;
    out(bytes);
}

void Console::pause(int times) const
{
    if (m_pauseMs > 0 && times > 0)
        QThread::msleep(static_cast<unsigned long>(m_pauseMs) * static_cast<unsigned long>(times));
}

void Console::release()
{
    m_holding = false;
    writeAll(stdout, m_held);
    m_held.clear();
}
