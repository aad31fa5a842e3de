#include "world.h"

#include <QFile>
#include <QPair>
#include <QSaveFile>

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

    world->statePath = qEnvironmentVariable("SIMDEVICE_STATE");
    const auto state = readKeyValueFile(world->statePath);
    world->livePort = valueOf(state, "port");
    if (world->livePort.isEmpty())
        world->livePort = setting("ESPTOOL_STANDIN_PORT", control, "port");
    if (!valueOf(state, "mac").isEmpty())
        world->mac = valueOf(state, "mac");

    // A test that asks for a device-present scenario explicitly gets one even without a
    // simulated device; left to itself, the stand-in finds nothing where no port is named.
    if (world->livePort.isEmpty() && scenarioChosen && world->scenario != Scenario::NoDevice)
        world->livePort = QStringLiteral("/dev/ttyACM0");
    if (world->livePort.isEmpty())
        world->scenario = Scenario::NoDevice;
    else if (!scenarioChosen)
        world->scenario = Scenario::Ok;

    QStringList ports;
    for (const QString &port :
         setting("ESPTOOL_STANDIN_DEAD_PORTS", control, "dead_ports").split(',')) {
        if (!port.trimmed().isEmpty())
            ports << port.trimmed();
    }
    if (!world->livePort.isEmpty())
        ports << world->livePort;
    if (world->scenario == Scenario::DeadPortFirst)
        ports << portSortingAfter(world->livePort);
    if (world->scenario == Scenario::BusyPortFirst) {
        world->busyPort = portSortingAfter(world->livePort);
        ports << world->busyPort;
    }
    ports.removeDuplicates();
    ports.sort();
    std::reverse(ports.begin(), ports.end());
    world->ports = ports;
    return QString();
}

bool storeVersion(const QString &statePath, int version, QString *error)
{
    QFile in(statePath);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = in.errorString();
        return false;
    }
    QStringList lines = QString::fromUtf8(in.readAll()).split('\n');
    in.close();
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();

    const QString versionLine = QStringLiteral("version=%1").arg(version);
    bool replaced = false;
    for (QString &line : lines) {
        if (line.contains('=') && line.section('=', 0, 0).trimmed() == "version") {
            line = versionLine;
            replaced = true;
        }
    }
    if (!replaced)
        lines << versionLine;

    QSaveFile out(statePath);
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
