#pragma once

// The command line the stand-in understands: the tool's global options, the chip-id probe and
// write-flash. Everything else is a usage error, reported the way the tool reports it.

#include <QList>
#include <QString>
#include <QStringList>

struct FlashImage {
    quint32 address = 0;
    QString path;
};

struct Invocation {
    enum class Command { Help, ChipId, WriteFlash };
    Command command = Command::Help;
    QString chip = QStringLiteral("auto");
    int baud = 115200;
    QString before = QStringLiteral("default-reset");
    QString after = QStringLiteral("hard-reset");
    QString port; // empty: scan every port
    QString flashMode = QStringLiteral("keep");
    QString flashSize = QStringLiteral("keep");
    QString flashFreq = QStringLiteral("keep");
    QList<FlashImage> images;
};

// Fills *invocation, or returns the one-line reason of a usage error.
QString parseCommandLine(const QStringList &arguments, Invocation *invocation);

// The usage text with the error reason in a panel, as printed on standard error.
QString usageErrorText(const QString &reason);

// What --help prints.
QString helpText();
