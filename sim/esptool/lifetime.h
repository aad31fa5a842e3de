#pragma once

// What the stand-in asks of the operating system about its own life: whether the process that
// started it is still there, how to die as if killed, and output streams that pass bytes as
// written; and about the simulated devices': whether one still runs, and the lock on its state
// file. Each system answers in its own words; the session only asks.

class QString;

// The process that started the stand-in, as it was when the watch began.
class ParentWatch
{
public:
    ParentWatch();
    ~ParentWatch();
    ParentWatch(const ParentWatch &) = delete;
    ParentWatch &operator=(const ParentWatch &) = delete;

    bool parentAlive() const;

private:
    // The parent's process id on POSIX systems, a handle to it on Windows (0 when none).
    long long m_parent = 0;
};

// Ends the process at once, as a kill from outside would, leaving no core file behind.
[[noreturn]] void dieAsKilled();

// Standard output and error carry the tool's bytes unchanged: no line-end translation, so the
// text is the same whatever the system.
void useBinaryStreams();

// Whether the process runs: a simulated device's, named by the pid= of its state file. There is
// no simulated device on Windows, so none runs there.
bool processRunning(long long pid);

// The lock a simulated device, the tests and every stand-in hold while they change the device's
// state file (the file "<state>.lock" beside it). An empty path locks nothing.
class StateFileLock
{
public:
    explicit StateFileLock(const QString &statePath);
    ~StateFileLock();
    StateFileLock(const StateFileLock &) = delete;
    StateFileLock &operator=(const StateFileLock &) = delete;

private:
    int m_fd = -1;
};
