// The esptool stand-in: accepts the flashing tool's chip-id and write-flash command lines and
// answers them with the tool's texts, against a simulated device and a chosen scenario.

#include "commandline.h"
#include "console.h"
#include "lifetime.h"
#include "session.h"
#include "world.h"

#include <QStringList>

#include <cstdio>

namespace
{

const int kUsageExit = 2;

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

int main(int argc, char *argv[])
{
    useBinaryStreams();
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    Invocation invocation;
    const QString usageError = parseCommandLine(arguments, &invocation);
    if (!usageError.isEmpty()) {
        print(stderr, usageErrorText(usageError));
        return kUsageExit;
    }
    if (invocation.command == Invocation::Command::Help) {
        print(stdout, helpText());
        return 0;
    }

    World world;
    const QString setupError = loadWorld(&world);
    if (!setupError.isEmpty()) {
        print(stderr, QStringLiteral("esptool stand-in error: %1\n").arg(setupError));
        return kUsageExit;
    }

    Console console(world.terminal, world.pauseMs);
    if (invocation.command == Invocation::Command::ChipId)
        return runChipId(invocation, world, console);
    return runWriteFlash(invocation, world, console);
}
