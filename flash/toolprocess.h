#pragma once

// The tool's process. The tool may be a tree of processes: a wrapper script, or a single-file
// program that unpacks itself and runs the real tool as its child. Killing the first process
// alone leaves the others writing the device and holding its port, so this one ends the whole
// tree: on POSIX systems the tool runs in a process group of its own, on Windows in a job
// object that ends its processes when it is closed.

#include <QProcess>
#include <QStringList>

#ifdef Q_OS_WIN
struct _PROCESS_INFORMATION;
#endif

namespace esptool
{

class ToolProcess : public QProcess
{
public:
    // Standard error merged into standard output.
    explicit ToolProcess(QObject *parent = nullptr);
    // Ends the tree without telling anyone.
    ~ToolProcess() override;

    // Logs the argument list and starts the tool with it (read-write, the environment of
    // environment()). Whatever an earlier run of this process left behind is ended first.
    void start(const QStringList &arguments);

    // Ends the tool and every process it started, and waits a little for the end, which is then
    // reported (as a crash) before this returns.
    void stop();

protected:
#ifndef Q_OS_WIN
    // In the child, before the tool's program is loaded.
    void setupChildProcess() override;
#endif

private:
    // Ends what is left of the tree; nothing once it has been ended.
    void endTree();
    // Lets go of a tree that never ran, without ending anything.
    void forgetTree();
#ifdef Q_OS_WIN
    void holdTree();

    void *m_job = nullptr;
    _PROCESS_INFORMATION *m_starting = nullptr;
#else
    qint64 m_group = 0;
#endif
};

} // namespace esptool
