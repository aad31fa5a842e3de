#pragma once

// One run of the stand-in against the simulated world: the port scan, the chip-id probe and
// write-flash. Each returns the process exit code (or never returns, in the hang and crash
// scenarios).

class Console;
struct Invocation;
struct World;

int runChipId(const Invocation &invocation, const World &world, Console &console);
int runWriteFlash(const Invocation &invocation, const World &world, Console &console);
