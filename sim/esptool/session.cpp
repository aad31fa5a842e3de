#include "session.h"

#include "commandline.h"
#include "console.h"
#include "lifetime.h"
#include "world.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

#include <cstdlib>

namespace
{

const int kFatalExit = 2;
const int kBlockSize = 16 * 1024;
const int kDeadPortSyncs = 7;
const int kLivePortSyncs = 3;

// Stops where it is, as a tool waiting on a port that never answers: until killed, until the
// process that started it is gone (so a test that dies leaves no orphan), or until hangMs.
[[noreturn]] void hang(const World &world)
{
    const ParentWatch parent;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < world.hangMs && parent.parentAlive())
        QThread::msleep(50);
    std::_Exit(kFatalExit);
}

void fatal(Console &console, const QString &reason)
{
    console.errorLine(QStringLiteral("A fatal error occurred: ") + reason);
}

void hardReset(const Invocation &invocation, const World &world, const SimulatedDevice &device,
               Console &console)
{
    console.line();
    if (invocation.after != "hard-reset" || world.scenario == Scenario::NoReset) {
        console.line(QStringLiteral("Staying in bootloader."));
        return;
    }
    if (world.scenario == Scenario::WatchdogReset)
        // Over the chip's own USB there is no RTS line to pull.
        console.line(QStringLiteral("Hard resetting with a watchdog..."));
    else
        console.line(QStringLiteral("Hard resetting via RTS pin..."));
    QString error;
    if (!resetDevice(device, &error))
        console.warningLine(QStringLiteral("stand-in: could not reset the device on %1: %2")
                                .arg(device.port, error));
}

bool answers(const QString &port, const World &world)
{
    const SimulatedDevice *device = world.deviceOn(port);
    return device && portPresent(*device) && world.scenario != Scenario::NoDevice;
}

void syncDots(Console &console, int count)
{
    console.text(QStringLiteral("Connecting"));
    for (int i = 0; i < count; ++i) {
        console.pause();
        console.text(QStringLiteral("."));
    }
    console.line();
}

void chipDescription(const SimulatedDevice &device, Console &console)
{
    console.line(QStringLiteral("Chip type:          ESP32-S3 (QFN56) (revision v0.2)"));
    console.line(QStringLiteral("Features:           Wi-Fi, BT 5 (LE), Dual Core + LP Core, "
                                "240MHz, Embedded PSRAM 8MB (AP_3v3)"));
    console.line(QStringLiteral("Crystal frequency:  40MHz"));
    console.line(QStringLiteral("MAC:                ") + device.mac);
    console.line();
    console.pause();
    console.line(QStringLiteral("Uploading stub flasher..."));
    console.pause();
    console.line(QStringLiteral("Running stub flasher..."));
    console.pause();
    console.eraseLines(2);
    console.line(QStringLiteral("Stub flasher running."));
    console.line();
}

// Tries the ports in order; prints the tool's connection lines. Returns the device connected to,
// or null when the fatal error has been printed.
const SimulatedDevice *connectToChip(const Invocation &invocation, const World &world,
                                     Console &console)
{
    console.line(QStringLiteral("esptool v5.3.1"));
    QStringList ports = world.ports;
    if (!invocation.port.isEmpty()) {
        ports = QStringList{invocation.port};
    } else {
        console.line(QStringLiteral("Found %1 serial ports...").arg(ports.size()));
    }
    console.pause();

    for (const QString &port : ports) {
        console.line(QStringLiteral("Serial port %1:").arg(port));
        const SimulatedDevice *device = world.deviceOn(port);
        const bool gone = device && !portPresent(*device);
        if (port == world.busyPort || gone) {
            // The tool cannot even open it: no sync attempts, the OS error in its own words.
            console.warningLine(QStringLiteral("%1 failed to connect: Could not open %1, the port "
                                               "is busy or doesn't exist.")
                                    .arg(port));
            const QString error = gone ? QStringLiteral("[Errno 2]") : QStringLiteral("[Errno 5]");
            const QString reason = gone ? QStringLiteral("No such file or directory")
                                        : QStringLiteral("Input/output error");
            console.warningLine(QStringLiteral("(%1 could not open port %2: %1 %3: '%2')")
                                    .arg(error, port, reason));
            continue;
        }
        if (!answers(port, world)) {
            syncDots(console, kDeadPortSyncs);
            console.warningLine(QStringLiteral("%1 failed to connect: Failed to connect to "
                                               "Espressif device: No serial data received.")
                                    .arg(port));
            console.warningLine(QStringLiteral("For troubleshooting steps see the "
                                               "'Troubleshooting' chapter of the tool's manual."));
            continue;
        }
        if (world.scenario == Scenario::LateSuccess &&
            invocation.command == Invocation::Command::ChipId)
            console.hold();
        syncDots(console, kLivePortSyncs);
        if (world.scenario == Scenario::Hang && invocation.command == Invocation::Command::ChipId)
            hang(world);
        console.eraseLines(2);
        console.line(QStringLiteral("Detecting chip type... ESP32-S3"));
        console.pause();
        if (world.scenario == Scenario::Crash && invocation.command == Invocation::Command::ChipId)
            dieAsKilled();
        console.line(QStringLiteral("Connected to ESP32-S3 on %1:").arg(port));
        chipDescription(*device, console);
        if (world.scenario == Scenario::HangConnected &&
            invocation.command == Invocation::Command::ChipId)
            hang(world);
        return device;
    }

    if (invocation.port.isEmpty())
        fatal(console, QStringLiteral("Could not connect to an Espressif device on any of the "
                                      "%1 available serial ports.")
                           .arg(ports.size()));
    else
        fatal(console, QStringLiteral("Failed to connect to Espressif device: No serial data "
                                      "received."));
    return nullptr;
}

int successExit(const World &world)
{
    return world.scenario == Scenario::ExitNonZero ? 1 : 0;
}

QString hex32(quint32 value)
{
    return QStringLiteral("0x%1").arg(value, 8, 16, QChar('0'));
}

QString progressText(quint32 address, qint64 written, qint64 total)
{
    const double percent = total > 0 ? 100.0 * written / total : 100.0;
    const int filled = static_cast<int>(percent * 30 / 100);
    QString bar(filled, '=');
    if (filled < 30)
        bar += '>';
    return QStringLiteral("Writing at %1 [%2] %3% %4/%5 bytes... ")
        .arg(hex32(address))
        .arg(bar, -30)
        .arg(percent, 5, 'f', 1)
        .arg(written)
        .arg(total);
}

enum class WriteOutcome { Written, Stopped };

WriteOutcome writeImage(const FlashImage &image, const Invocation &invocation, const World &world,
                        const SimulatedDevice &device, Console &console, bool lastImage)
{
    QFile file(image.path);
    if (!file.open(QIODevice::ReadOnly)) {
        fatal(console, QStringLiteral("Failed to open %1: %2").arg(image.path, file.errorString()));
        return WriteOutcome::Stopped;
    }
    const QByteArray data = file.readAll();
    // qCompress prefixes the length in four bytes; the tool sends the bare stream.
    const qint64 compressed = std::max<qint64>(qCompress(data, 9).size() - 4, 1);
    const qint64 size = data.size();

    const quint32 eraseEnd = image.address + static_cast<quint32>((size + 0xfff) & ~0xfffLL) - 1;
    console.line(QStringLiteral("Flash will be erased from %1 to %2...")
                     .arg(hex32(image.address), hex32(size > 0 ? eraseEnd : image.address)));
    console.line(QStringLiteral("Compressed %1 bytes to %2...").arg(size).arg(compressed));
    console.pause();

    const qint64 blocks = (compressed + kBlockSize - 1) / kBlockSize;
    for (qint64 block = 0; block <= blocks; ++block) {
        const qint64 written = std::min<qint64>(block * kBlockSize, compressed);
        // A device pulled from its socket mid-write: the next block finds no port to go to.
        if (!portPresent(device)) {
            fatal(console, QStringLiteral("Could not write to %1: the port is gone ([Errno 5] "
                                          "Input/output error)")
                               .arg(device.port));
            return WriteOutcome::Stopped;
        }
        if (lastImage && block > 0) {
            if (world.scenario == Scenario::BurnFail && block > blocks / 2) {
                console.endProgress();
                hardReset(invocation, world, device, console);
                fatal(console, QStringLiteral("Serial data stream stopped: Possible serial "
                                              "noise or corruption."));
                return WriteOutcome::Stopped;
            }
            if (world.scenario == Scenario::Hang && block > blocks / 3)
                hang(world);
            if (world.scenario == Scenario::Crash && block > blocks / 3)
                dieAsKilled();
            if (world.scenario == Scenario::LateSuccess && block == blocks) {
                console.pause(5);
                console.hold();
            }
        }
        const quint32 address = image.address + static_cast<quint32>(size * written / compressed);
        console.progress(progressText(address, written, compressed));
        console.pause();
    }
    console.endProgress();

    // The time a real link at this baud rate would take, so the text stays reproducible.
    const double seconds = compressed * 10.0 / invocation.baud + 0.1;
    console.line(QStringLiteral("Wrote %1 bytes (%2 compressed) at %3 in %4 seconds (%5 kbit/s).")
                     .arg(size)
                     .arg(compressed)
                     .arg(hex32(image.address))
                     .arg(seconds, 0, 'f', 1)
                     .arg(static_cast<qint64>(size * 8 / seconds / 1000)));
    console.line(QStringLiteral("Verifying written data..."));
    console.pause();
    if (lastImage && world.scenario == Scenario::HashMismatch) {
        hardReset(invocation, world, device, console);
        fatal(console, QStringLiteral("MD5 of file does not match data in flash!"));
        return WriteOutcome::Stopped;
    }
    console.line(QStringLiteral("Hash of data verified."));
    return WriteOutcome::Written;
}

// The version a firmware file's name carries, "_V<digits>_", or -1. Written here rather than
// borrowed from the products, so that a fault in their rule shows up as a wrong device
// version instead of hiding behind the same fault in the stand-in.
int versionInName(const QString &fileName)
{
    static const QRegularExpression re(QStringLiteral("_V([0-9]+)_"));
    const QRegularExpressionMatch match = re.match(fileName);
    bool ok = false;
    const int version = match.hasMatch() ? match.captured(1).toInt(&ok) : -1;
    return ok ? version : -1;
}

// The image just written carries the version in its file name; the device starts it at its
// next reset.
void storeWrittenImage(const Invocation &invocation, const SimulatedDevice &device,
                       Console &console)
{
    const int version = versionInName(QFileInfo(invocation.images.last().path).fileName());
    QString error;
    if (version >= 0 && !storeImage(device, version, &error))
        console.warningLine(
            QStringLiteral("stand-in: could not update %1: %2").arg(device.statePath, error));
}

} // namespace

int runChipId(const Invocation &invocation, const World &world, Console &console)
{
    const SimulatedDevice *device = connectToChip(invocation, world, console);
    if (!device)
        return kFatalExit;
    console.line(QStringLiteral("Warning: ESP32-S3 has no chip ID. Reading MAC address instead."));
    console.line(QStringLiteral("MAC:                ") + device->mac);
    hardReset(invocation, world, *device, console);
    console.release();
    return successExit(world);
}

int runWriteFlash(const Invocation &invocation, const World &world, Console &console)
{
    const SimulatedDevice *device = connectToChip(invocation, world, console);
    if (!device)
        return kFatalExit;
    if (invocation.baud != 115200) {
        console.line(QStringLiteral("Changing baud rate to %1...").arg(invocation.baud));
        console.line(QStringLiteral("Changed."));
    }
    console.line(QStringLiteral("Configuring flash size..."));
    console.pause();

    for (int i = 0; i < invocation.images.size(); ++i) {
        const bool last = i == invocation.images.size() - 1;
        if (writeImage(invocation.images.at(i), invocation, world, *device, console, last) ==
            WriteOutcome::Stopped)
            return kFatalExit;
        if (!last)
            console.line();
    }
    storeWrittenImage(invocation, *device, console);
    hardReset(invocation, world, *device, console);
    console.release();
    return successExit(world);
}
