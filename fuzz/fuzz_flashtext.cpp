// Arbitrary tool output through every text rule. Besides memory and undefined-behaviour faults
// it checks the relations between the rules that hold for any text.

#include "flashtext.h"

#include <QString>

#include <cstdint>
#include <cstdlib>

namespace
{

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<int>(size));

    double percent = -1;
    if (flashtext::findPercentage(text, &percent)) {
        check(percent >= 0);
        const int value = flashtext::truncatePercent(percent);
        check(value >= 0 && value <= 1000);
    }
    flashtext::mentionsFound(text);

    // A failure text always wins over the success texts.
    const flashtext::BurnVerdict burn = flashtext::burnVerdict(text);
    if (text.contains(QLatin1String("error")) || text.contains(QLatin1String("Error")))
        check(burn == flashtext::BurnVerdict::Failed);

    const flashtext::ProbeVerdict probe = flashtext::probeVerdict(text);
    if (probe == flashtext::ProbeVerdict::Connected)
        check(text.contains(QLatin1String("Connected to ESP32-S3")));

    for (const auto naming : {flashtext::PortNaming::Com, flashtext::PortNaming::DevicePath}) {
        const QString port = flashtext::probePortName(text, naming);
        check(port.isEmpty() || text.contains(port));
        if (naming == flashtext::PortNaming::Com)
            check(port.isEmpty() || port.startsWith(QLatin1String("COM")));
        else
            check(port.isEmpty() || (port.startsWith(QLatin1String("/dev/")) &&
                                     !port.endsWith('.') && !port.endsWith(':')));
    }

    QString digits;
    const int version = flashtext::fileVersion(text, &digits);
    check(version >= -1);
    check((version == -1) == digits.isEmpty());
    check(digits.isEmpty() || text.contains(QLatin1String("_V") + digits + QLatin1Char('_')));
    return 0;
}
