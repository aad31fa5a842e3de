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
    Crash,
    LateSuccess,
    ExitNonZero,
    WatchdogReset,
    NoReset
};

struct World {
    Scenario scenario = Scenario::NoDevice;
    int pauseMs = 15;
    int hangMs = 600000;
    bool terminal = false; // the tool's terminal form: escape codes, progress in place
    QString statePath;     // the simulated device's state file; may be empty
    QString livePort;      // where the device answers; empty when none does
    QStringList ports;     // every port a scan sees, in the order it tries them
    QString busyPort;      // a port that exists but cannot be opened
    QString mac = QStringLiteral("24:58:7c:d1:0a:3e");
};

// Reads the environment, the control file and the state file. Returns an error text when the
// set-up itself is wrong (an unknown scenario, say).
QString loadWorld(World *world);

// Sets the version= line of the state file, keeping every other line; the file is replaced in
// one rename so the simulated device never reads half of it.
bool storeVersion(const QString &statePath, int version, QString *error);

// key=value lines; blank lines and lines starting with '#' are skipped.
QList<QPair<QString, QString>> readKeyValueFile(const QString &path);
