#pragma once

// The rules by which the tool's printed text is read. Pure functions: text in, values out.

#include <QString>

namespace flashtext
{

// The first percentage in one output chunk: a number directly after white space, then optional
// white space and '%'. Returns false when the chunk holds none. The number is not bounded: it
// may exceed 100, and a digit run beyond the range of a double gives infinity; truncatePercent
// below makes it a bar value.
bool findPercentage(const QString &chunk, double *percent);

// The tool has begun looking for the device.
bool mentionsFound(const QString &chunk);

enum class BurnVerdict { Failed, Succeeded, Undecided };

// Verdict over the whole text of a burn run: any failure text wins over the success texts. A
// tool that crashed (killed by a signal, say) before printing either has failed: the device may
// now hold half an image. A normal exit is judged by the text alone, whatever its code. When
// readMac names the chip that was read and the run names another one, the image went to another
// device: that is a failure too.
BurnVerdict burnVerdict(const QString &runText, bool crashed = false,
                        const QString &readMac = QString());

// The chip's MAC as the tool prints it ("MAC:" and six hex bytes), in lower case with colons;
// the first one in the text, empty when there is none.
QString chipMac(const QString &runText);

// The MAC the run names when it is another chip's than readMac; empty when they agree or either
// is unknown.
QString otherChipMac(const QString &readMac, const QString &runText);

// The tool's version from its banner line ("esptool v5.3.1" gives 5.3.1); empty without one.
QString toolVersion(const QString &runText);

enum class ProbeVerdict { NoDevice, Connected, Undecided };

// How the tool names serial ports: COM<n> on Windows, a /dev/ path elsewhere.
enum class PortNaming { Com, DevicePath };
PortNaming nativePortNaming();

// Verdict over the whole text of a probe run. A connection line naming a port means the device
// was found there, whatever failures the tool reported for other ports.
ProbeVerdict probeVerdict(const QString &runText, PortNaming naming = nativePortNaming());

// The port the device answered on: the one of "Connected to ESP32-S3 on <port>" when that line
// is there, otherwise the first port name anywhere in the text; empty when there is none.
QString probePortName(const QString &runText, PortNaming naming = nativePortNaming());

// A firmware file name's version, from its first "_V<digits>_": -1 without one, 0 when the
// digits do not fit an int. digits receives the matched digits (when not null).
int fileVersion(const QString &fileName, QString *digits = nullptr);

// A found percentage as the progress bar takes it: truncated toward zero. The bar ignores
// anything past 100 anyway; clamping first keeps a huge printed number from overflowing.
int truncatePercent(double percent);

} // namespace flashtext
