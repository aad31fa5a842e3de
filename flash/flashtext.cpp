#include "flashtext.h"

#include <QRegularExpression>

namespace flashtext
{

namespace
{

// No UseUnicodePropertiesOption anywhere below: \d and \s stay ASCII-only, so that a fullwidth
// or Arabic-Indic digit is never read as part of a number.

const QRegularExpression &percentagePattern()
{
    static const QRegularExpression re(QStringLiteral("(?<=\\s)(\\d+(?:\\.\\d+)?)(?=\\s*%)"));
    return re;
}

const QString kConnected = QStringLiteral("Connected to ESP32-S3");

QString portPattern(PortNaming naming)
{
    if (naming == PortNaming::Com)
        return QStringLiteral("(COM\\d+)");
    // A device path ends before the punctuation that follows it in a sentence ("...on
    // /dev/ttyUSB0:", "/dev/pts/3."): it may contain dots and slashes inside but not end in one.
    // Colons never belong to it: the tool names enumerated ports, which have none.
    return QStringLiteral("(?<![\\w./-])(/dev/[\\w.+/-]*[\\w+-])");
}

QString firstCapture(const QRegularExpression &re, const QString &text)
{
    const QRegularExpressionMatch match = re.match(text);
    return match.hasMatch() ? match.captured(1) : QString();
}

// The port of the "Connected to ESP32-S3 on <port>" line, empty without one.
QString connectedPortName(const QString &runText, PortNaming naming)
{
    static const QRegularExpression com(QRegularExpression::escape(kConnected + " on ") +
                                        portPattern(PortNaming::Com));
    static const QRegularExpression path(QRegularExpression::escape(kConnected + " on ") +
                                         portPattern(PortNaming::DevicePath));
    return firstCapture(naming == PortNaming::Com ? com : path, runText);
}

} // namespace

bool findPercentage(const QString &chunk, double *percent)
{
    const QRegularExpressionMatch match = percentagePattern().match(chunk);
    if (!match.hasMatch())
        return false;
    if (percent)
        *percent = match.captured(1).toDouble();
    return true;
}

bool mentionsFound(const QString &chunk)
{
    return chunk.contains(QLatin1String("Found"));
}

BurnVerdict burnVerdict(const QString &runText, bool crashed, const QString &readMac)
{
    // Newer releases of the tool print their fatal errors as "ERROR: A fatal error occurred".
    if (runText.contains(QLatin1String("No such option")) ||
        runText.contains(QLatin1String("Error")) || runText.contains(QLatin1String("error")) ||
        runText.contains(QLatin1String("ERROR")))
        return BurnVerdict::Failed;
    if (!otherChipMac(readMac, runText).isEmpty())
        return BurnVerdict::Failed;
    // Over the chip's own USB the tool resets it with the watchdog instead of the RTS line.
    if (runText.contains(QLatin1String("100.0%")) &&
        (runText.contains(QLatin1String("Hard resetting via RTS pin")) ||
         runText.contains(QLatin1String("Hard resetting with a watchdog"))))
        return BurnVerdict::Succeeded;
    return crashed ? BurnVerdict::Failed : BurnVerdict::Undecided;
}

QString chipMac(const QString &runText)
{
    static const QRegularExpression re(
        QStringLiteral("(?<!\\w)MAC:[ \\t]+([0-9A-Fa-f]{2}(?::[0-9A-Fa-f]{2}){5})(?![:\\w])"));
    return firstCapture(re, runText).toLower();
}

QString otherChipMac(const QString &readMac, const QString &runText)
{
    const QString burntMac = chipMac(runText);
    return !readMac.isEmpty() && burntMac != readMac.toLower() ? burntMac : QString();
}

QString toolVersion(const QString &runText)
{
    // The banner is the first line; a warning of the tool's interpreter may come before it on
    // the merged channel, so the first banner-shaped line counts.
    static const QRegularExpression re(
        QStringLiteral("^esptool(?:\\.py)? v(\\d[\\w.+-]*)[ \\t]*\\r?$"),
        QRegularExpression::MultilineOption);
    return firstCapture(re, runText);
}

ProbeVerdict probeVerdict(const QString &runText, PortNaming naming)
{
    // The tool tries every port in turn and reports each failure on its way, in any words the
    // operating system chooses ("Input/output error" for a port that cannot be opened). A
    // connection line naming a port outweighs all of them: the device answered there.
    if (!connectedPortName(runText, naming).isEmpty())
        return ProbeVerdict::Connected;
    if (runText.contains(QLatin1String("failed to connect")) ||
        runText.contains(QLatin1String("error")) ||
        runText.contains(QLatin1String("Could not connect")))
        return ProbeVerdict::NoDevice;
    return runText.contains(kConnected) ? ProbeVerdict::Connected : ProbeVerdict::Undecided;
}

PortNaming nativePortNaming()
{
#ifdef Q_OS_WIN
    return PortNaming::Com;
#else
    return PortNaming::DevicePath;
#endif
}

QString probePortName(const QString &runText, PortNaming naming)
{
    // The ports tried before the one that answered are named earlier in the text, so the
    // answering port is taken from the connection line whenever there is one.
    static const QRegularExpression comAnywhere(portPattern(PortNaming::Com));
    static const QRegularExpression pathAnywhere(portPattern(PortNaming::DevicePath));

    const QString port = connectedPortName(runText, naming);
    if (!port.isEmpty())
        return port;
    return firstCapture(naming == PortNaming::Com ? comAnywhere : pathAnywhere, runText);
}

int fileVersion(const QString &fileName, QString *digits)
{
    static const QRegularExpression re(QStringLiteral("_V(\\d+)_"));
    const QRegularExpressionMatch match = re.match(fileName);
    if (digits)
        *digits = match.captured(1);
    if (!match.hasMatch())
        return -1;
    bool ok = false;
    const int version = match.captured(1).toInt(&ok, 10);
    return ok ? version : 0;
}

int truncatePercent(double percent)
{
    return percent > 1000.0 ? 1000 : static_cast<int>(percent);
}

} // namespace flashtext
