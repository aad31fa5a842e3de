#include "world.h"

#include "lifetime.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPair>
#include <QSaveFile>
#include <QThread>

#include <algorithm>

namespace
{

const QList<QPair<QString, Scenario>> &scenarioNames()
{
    static const QList<QPair<QString, Scenario>> names{
        {"ok", Scenario::Ok},
        {"dead-port-first", Scenario::DeadPortFirst},
        {"busy-port-first", Scenario::BusyPortFirst},
        {"no-device", Scenario::NoDevice},
        {"burn-fail", Scenario::BurnFail},
        {"hash-mismatch", Scenario::HashMismatch},
        {"hang", Scenario::Hang},
        {"hang-connected", Scenario::HangConnected},
        {"crash", Scenario::Crash},
        {"late-success", Scenario::LateSuccess},
        {"exit-nonzero", Scenario::ExitNonZero},
        {"watchdog-reset", Scenario::WatchdogReset},
        {"no-reset", Scenario::NoReset},
    };
    return names;
}

QString valueOf(const QList<QPair<QString, QString>> &pairs, const QString &key)
{
    for (const auto &pair : pairs) {
        if (pair.first == key)
            return pair.second;
    }
    return QString();
}

// An environment variable wins over the control file, so one run can be steered without
// touching a file the demo shares.
QString setting(const char *envName, const QList<QPair<QString, QString>> &control,
                const QString &key)
{
    if (qEnvironmentVariableIsSet(envName))
        return qEnvironmentVariable(envName);
    return valueOf(control, key);
}

bool isTerminalType(const QString &term)
{
    static const QStringList kTerminals{"xterm", "xterm-256color", "screen", "linux", "vt100"};
    return kTerminals.contains(term);
}

// A port that the scan tries before the live one: ports are tried in reverse sorted order, so
// it has to sort after the live port.
QString portSortingAfter(const QString &live)
{
    const QString serial = QStringLiteral("/dev/ttyS0");
    if (live.startsWith("/dev/") && serial > live)
        return serial;
    const QChar last = live.isEmpty() ? QChar() : live.at(live.size() - 1);
    if (last >= '0' && last < '9')
        return live.left(live.size() - 1) + QChar(last.unicode() + 1);
    return live + '0';
}

const QString kMac = QStringLiteral("24:58:7c:d1:0a:3e");
const int kBootWaitMs = 2000;

// Four simulated devices must show four chips: each serial number makes a MAC of its own.
QString macFor(const QString &serialNumber)
{
    quint32 hash = 2166136261u;
    for (const char byte : serialNumber.toUtf8()) {
        hash ^= quint8(byte);
        hash *= 16777619u;
    }
    return QStringLiteral("24:58:7c:%1:%2:%3")
        .arg((hash >> 16) & 0xff, 2, 16, QChar('0'))
        .arg((hash >> 8) & 0xff, 2, 16, QChar('0'))
        .arg(hash & 0xff, 2, 16, QChar('0'));
}

bool isKey(const QString &line, const QString &key)
{
    return line.contains('=') && line.section('=', 0, 0).trimmed() == key;
}

QString valueOf(const QStringList &lines, const QString &key)
{
    for (const QString &line : lines) {
        if (isKey(line, key))
            return line.mid(line.indexOf('=') + 1).trimmed();
    }
    return QString();
}

void setValue(QStringList &lines, const QString &key, const QString &value)
{
    const QString newLine = key + '=' + value;
    bool replaced = false;
    for (QString &line : lines) {
        if (isKey(line, key)) {
            line = newLine;
            replaced = true;
        }
    }
    if (!replaced)
        lines << newLine;
}

// Changes lines of the state file and keeps every other line as it was, in its order. The file
// is replaced in one rename, so its device never reads half of it; a running device and the
// tests change it too, and the lock keeps any of them from losing another's change.
template <typename Edit> bool editState(const SimulatedDevice &device, Edit edit, QString *error)
{
    const StateFileLock lock(device.running ? device.statePath : QString());
    QFile in(device.statePath);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = in.errorString();
        return false;
    }
    QStringList lines = QString::fromUtf8(in.readAll()).split('\n');
    in.close();
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    edit(lines);

    QSaveFile out(device.statePath);
    if (!out.open(QIODevice::WriteOnly)) {
        *error = out.errorString();
        return false;
    }
    out.write((lines.join('\n') + '\n').toUtf8());
    if (!out.commit()) {
        *error = out.errorString();
        return false;
    }
    return true;
}

// SIMDEVICE_STATE lists one state file per device. Without any port named there, the device
// is the first file's, on the fallback port.
void loadDevices(World *world, const QString &fallbackPort)
{
    SimulatedDevice portless;
    bool havePortless = false;
    for (const QString &path :
         qEnvironmentVariable("SIMDEVICE_STATE").split(QDir::listSeparator())) {
        if (path.isEmpty())
            continue;
        const auto state = readKeyValueFile(path);
        const QString pid = valueOf(state, "pid");
        SimulatedDevice device{path, valueOf(state, "port"), valueOf(state, "mac"),
                               !pid.isEmpty() && processRunning(pid.toLongLong())};
        // Its process ended without tidying the file (it was killed): that device is gone.
        if (!pid.isEmpty() && !device.running)
            continue;
        if (device.mac.isEmpty()) {
            const QString sn = valueOf(state, "sn");
            device.mac = sn.isEmpty() ? kMac : macFor(sn);
        }
        if (!device.port.isEmpty()) {
            world->devices << device;
        } else if (!havePortless) {
            portless = device;
            havePortless = true;
        }
    }
    if (world->devices.isEmpty() && !fallbackPort.isEmpty()) {
        portless.port = fallbackPort;
        if (portless.mac.isEmpty())
            portless.mac = kMac;
        world->devices << portless;
    }
}

} // namespace

QList<QPair<QString, QString>> readKeyValueFile(const QString &path)
{
    QList<QPair<QString, QString>> pairs;
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return pairs;
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    for (QString line : lines) {
        line = line.trimmed();
        const int eq = line.indexOf('=');
        if (line.isEmpty() || line.startsWith('#') || eq <= 0)
            continue;
        pairs.append({line.left(eq).trimmed(), line.mid(eq + 1).trimmed()});
    }
    return pairs;
}

QString loadWorld(World *world)
{
    const auto control = readKeyValueFile(qEnvironmentVariable("ESPTOOL_STANDIN_CONTROL"));

    const QString scenarioName = setting("ESPTOOL_STANDIN_SCENARIO", control, "scenario");
    bool scenarioChosen = false;
    if (!scenarioName.isEmpty()) {
        for (const auto &entry : scenarioNames()) {
            if (entry.first == scenarioName) {
                world->scenario = entry.second;
                scenarioChosen = true;
            }
        }
        if (!scenarioChosen)
            return QStringLiteral("unknown scenario '%1' (see esptool --help)").arg(scenarioName);
    }

    bool ok = false;
    const int pause = setting("ESPTOOL_STANDIN_PAUSE_MS", control, "pause_ms").toInt(&ok);
    if (ok && pause >= 0)
        world->pauseMs = pause;
    const int hang = setting("ESPTOOL_STANDIN_HANG_MS", control, "hang_ms").toInt(&ok);
    if (ok && hang >= 0)
        world->hangMs = hang;

    const QString noColor = qEnvironmentVariable("NO_COLOR");
    world->terminal = isTerminalType(qEnvironmentVariable("TERM")) && noColor.isEmpty();

    // A test that asks for a device-present scenario explicitly gets one even without a
    // simulated device; left to itself, the stand-in finds nothing where no port is named.
    QString fallbackPort = setting("ESPTOOL_STANDIN_PORT", control, "port");
    if (fallbackPort.isEmpty() && scenarioChosen && world->scenario != Scenario::NoDevice)
        fallbackPort = QStringLiteral("/dev/ttyACM0");
    loadDevices(world, fallbackPort);
    if (world->devices.isEmpty())
        world->scenario = Scenario::NoDevice;
    else if (!scenarioChosen)
        world->scenario = Scenario::Ok;

    QStringList ports;
    for (const QString &port :
         setting("ESPTOOL_STANDIN_DEAD_PORTS", control, "dead_ports").split(',')) {
        if (!port.trimmed().isEmpty())
            ports << port.trimmed();
    }
    // A scan sees the ports there are: not the one of a device restarting or pulled.
    QStringList devicePorts;
    for (const SimulatedDevice &device : qAsConst(world->devices)) {
        if (portPresent(device))
            devicePorts << device.port;
    }
    ports << devicePorts;
    std::sort(devicePorts.begin(), devicePorts.end());
    const QString last = devicePorts.isEmpty() ? QString() : devicePorts.last();
    if (world->scenario == Scenario::DeadPortFirst)
        ports << portSortingAfter(last);
    if (world->scenario == Scenario::BusyPortFirst) {
        world->busyPort = portSortingAfter(last);
        ports << world->busyPort;
    }
    ports.removeDuplicates();
    ports.sort();
    std::reverse(ports.begin(), ports.end());
    world->ports = ports;
    return QString();
}

const SimulatedDevice *World::deviceOn(const QString &port) const
{
    for (const SimulatedDevice &device : devices) {
        if (device.port == port)
            return &device;
    }
    return nullptr;
}

bool portPresent(const SimulatedDevice &device)
{
    return !device.running || QFileInfo::exists(device.port);
}

bool storeImage(const SimulatedDevice &device, int version, QString *error)
{
    if (device.statePath.isEmpty() || !QFileInfo::exists(device.statePath))
        return true;
    return editState(
        device,
        [&](QStringList &lines) {
            setValue(lines, device.running ? "image" : "version", QString::number(version));
        },
        error);
}

bool resetDevice(const SimulatedDevice &device, QString *error)
{
    if (!device.running)
        return true;
    QString resets;
    if (!editState(
            device,
            [&](QStringList &lines) {
                resets = QString::number(valueOf(lines, "resets").toInt() + 1);
                setValue(lines, "resets", resets);
            },
            error))
        return false;
    QElapsedTimer waited;
    waited.start();
    while (valueOf(readKeyValueFile(device.statePath), "booted") != resets) {
        if (waited.elapsed() > kBootWaitMs) {
            *error = QStringLiteral("the device did not restart within %1 ms").arg(kBootWaitMs);
            return false;
        }
        QThread::msleep(5);
    }
    return true;
}
