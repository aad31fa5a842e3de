#pragma once

// How long each stage of a reading or a burn may take, and how many burns a station runs at
// once, from the settings file: [Limits] ProbeSeconds, BurnSilenceSeconds, VerifySeconds and
// [Station] MaxParallel. A bench that knows its tool or its hub sets them; nobody has to.

class QSettings;

namespace firmware
{

struct Limits {
    int probeSeconds = 120;       // the probe (chip-id), from its start
    int burnSilenceSeconds = 300; // the burn, without a byte of output
    int verifySeconds = 20;       // the read-back, from the tool's end
    int maxParallel = 8;          // the station's burns at once

    static int milliseconds(int seconds);
};

// A missing, unreadable or non-positive value gives the default. What was set in the file since
// the settings were last read counts: a bench changes a limit without a restart.
Limits readLimits(QSettings &settings);

} // namespace firmware
