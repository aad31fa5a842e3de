#include "stagelimit.h"

#include "toolprocess.h"

#include <QDebug>

namespace esptool
{

StageLimit::StageLimit(ToolProcess *process, Kind kind, int limitMs)
    : QObject(process), m_process(process), m_kind(kind)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(limitMs);
    connect(&m_timer, &QTimer::timeout, this, &StageLimit::expire);
    connect(process, &QProcess::started, this, [this] { m_timer.start(); });
    connect(process, &QProcess::readyReadStandardOutput, this, [this] {
        if (m_kind == Kind::Silence && m_timer.isActive())
            m_timer.start();
    });
    connect(process, &QProcess::stateChanged, this, [this](QProcess::ProcessState state) {
        if (state == QProcess::NotRunning)
            m_timer.stop();
    });
}

void StageLimit::start(const QStringList &arguments)
{
    m_reached = false;
    m_process->start(arguments);
}

void StageLimit::expire()
{
    const double seconds = m_timer.interval() / 1000.0;
    if (m_kind == Kind::Probe)
        qDebug() << "probe stopped after" << seconds << "s";
    else
        qDebug() << "burn stopped: no output for" << seconds << "s";
    // Set first: the end of the run is reported before stop() returns.
    m_reached = true;
    m_process->stop();
}

} // namespace esptool
