#include "stagelimits.h"

#include <QSettings>

#include <algorithm>

namespace firmware
{

namespace
{

// A timer counts milliseconds in an int: anything longer than about three weeks would wrap.
constexpr int kLongestSeconds = 2000000;

int positive(const QSettings &settings, const char *key, int fallback)
{
    bool ok = false;
    const int value = settings.value(QLatin1String(key)).toString().trimmed().toInt(&ok);
    return ok && value > 0 ? value : fallback;
}

} // namespace

int Limits::milliseconds(int seconds)
{
    return std::min(seconds, kLongestSeconds) * 1000;
}

Limits readLimits(QSettings &settings)
{
    settings.sync();
    const Limits defaults;
    Limits limits;
    limits.probeSeconds = positive(settings, "Limits/ProbeSeconds", defaults.probeSeconds);
    limits.burnSilenceSeconds =
        positive(settings, "Limits/BurnSilenceSeconds", defaults.burnSilenceSeconds);
    limits.verifySeconds = positive(settings, "Limits/VerifySeconds", defaults.verifySeconds);
    limits.maxParallel = positive(settings, "Station/MaxParallel", defaults.maxParallel);
    return limits;
}

} // namespace firmware
