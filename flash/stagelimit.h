#pragma once

// How long one run of the tool may go on. A tool that hangs (a wedged USB driver, a stuck
// interpreter) would otherwise freeze the bar for as long as the window stays open, and closing
// it would be the only way out. At the limit the tool's whole tree is stopped, as a stop by the
// user does, and the run ends through its process's end like any other.

#include <QObject>
#include <QStringList>
#include <QTimer>

namespace esptool
{

class ToolProcess;

class StageLimit : public QObject
{
public:
    enum class Kind {
        Probe,   // the whole run, from the tool's start: "probe stopped after N s"
        Silence, // a stretch without a byte of output: "burn stopped: no output for N s"
    };

    // Watches every run of process; a child of it.
    StageLimit(ToolProcess *process, Kind kind, int limitMs);

    // Starts the tool, to be stopped once it reaches the limit.
    void start(const QStringList &arguments);
    void setLimit(int ms) { m_timer.setInterval(ms); }
    // The last run was ended by this limit; false again at the next start.
    bool reached() const { return m_reached; }

private:
    void expire();

    ToolProcess *const m_process;
    const Kind m_kind;
    QTimer m_timer;
    bool m_reached = false;
};

} // namespace esptool
