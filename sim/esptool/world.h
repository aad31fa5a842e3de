#pragma once

// What the stand-in finds around it: the scenario chosen by the test or demo, the simulated
// device's state file and the ports that can be scanned.

#include <QString>
#include <QStringList>

enum class Scenario {
    Ok,
    DeadPortFirst,
    BusyPortFirst,
    NoDevice,
    BurnFail,
    HashMismatch,
    Hang,
    HangConnected,
    Crash,
    LateSuccess,
    ExitNonZero,
    WatchdogReset,
    NoReset
};

// One simulated device, as its state file describes it.
struct SimulatedDevice {
    QString statePath; // empty for a port named by ESPTOOL_STANDIN_PORT without a state file
    QString port;
    QString mac;
    // A simdevice process owns the file (its pid= runs): it takes a written image at its own
    // reset, and its port may vanish. A file without pid= stands for a device on its own, whose
    // version= the stand-in rewrites itself.
    bool running = false;
};

struct World {
    Scenario scenario = Scenario::NoDevice;
    int pauseMs = 15;
    int hangMs = 600000;
    bool terminal = false;          // the tool's terminal form: escape codes, progress in place
    QList<SimulatedDevice> devices; // in the order SIMDEVICE_STATE lists them
    QStringList ports;              // every port a scan sees, in the order it tries them
    QString busyPort;               // a port that exists but cannot be opened

    const SimulatedDevice *deviceOn(const QString &port) const;
};

// Reads the environment, the control file and the state files. Returns an error text when the
// set-up itself is wrong (an unknown scenario, say).
QString loadWorld(World *world);

// Whether the device's port can be opened now: a running device's link vanishes while the chip
// restarts, and its port goes with it when it is pulled.
bool portPresent(const SimulatedDevice &device);

// The image just written: a running device takes it at its next reset (image=), a device on
// its own at once (version=).
bool storeImage(const SimulatedDevice &device, int version, QString *error);

// The chip is reset: a running device is told (resets= counts up), and the reset is over when
// it has said so (booted=), or after a bounded wait.
bool resetDevice(const SimulatedDevice &device, QString *error);

// key=value lines; blank lines and lines starting with '#' are skipped.
QList<QPair<QString, QString>> readKeyValueFile(const QString &path);
