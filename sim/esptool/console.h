#pragma once

// The stand-in's two output streams. Every piece is flushed as it is written, so a reader sees
// the output in several chunks, as it sees the tool's.

#include <QByteArray>
#include <QString>

class Console
{
public:
    Console(bool terminal, int pauseMs) : m_terminal(terminal), m_pauseMs(pauseMs) {}

    bool terminal() const { return m_terminal; }

    void line(const QString &text = QString());
    void text(const QString &text); // standard output, no line end
    void errorLine(const QString &text);
    void warningLine(const QString &text);

    // A progress update: on its own line on a pipe, redrawn in place in the terminal form.
    void progress(const QString &text);
    void endProgress();
    // The terminal form rubs out lines that only told of a stage now passed.
    void eraseLines(int count);

    void pause(int times = 1) const;

    // From hold() on, output is kept back and released in one write by release().
    void hold() { m_holding = true; }
    void release();

private:
    void out(const QByteArray &bytes);
    void err(const QByteArray &bytes);

    bool m_terminal = false;
    int m_pauseMs = 0;
    bool m_inProgress = false;
    bool m_holding = false;
    QByteArray m_held;
};
