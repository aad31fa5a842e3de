#include "commandline.h"

#include <QFileInfo>

namespace
{

const QStringList kChips{"auto", "esp32s3"};
const QStringList kBefore{"default-reset", "no-reset"};
const QStringList kAfter{"hard-reset", "no-reset"};
const QStringList kFlashModes{"keep", "qio", "qout", "dio", "dout"};
const QStringList kFlashSizes{"keep", "detect", "1MB", "2MB", "4MB", "8MB", "16MB", "32MB"};
const QStringList kFlashFreqs{"keep", "80m", "60m", "48m", "40m", "30m", "26m", "24m", "20m"};

QString quotedList(const QStringList &items)
{
    QStringList quoted;
    for (const QString &item : items)
        quoted << "'" + item + "'";
    return quoted.join(", ");
}

// Walks the arguments once; options may carry their value after '=' or as the next argument.
class Parser
{
public:
    explicit Parser(const QStringList &arguments) : m_args(arguments) {}

    bool atEnd() const { return m_next >= m_args.size(); }
    QString peek() const { return m_args.at(m_next); }
    QString take() { return m_args.at(m_next++); }

    // Splits "--name=value"; the value part stays pending for value().
    QString takeOption()
    {
        QString arg = take();
        m_pending.clear();
        m_hasPending = false;
        const int eq = arg.indexOf('=');
        if (arg.startsWith("--") && eq > 0) {
            m_pending = arg.mid(eq + 1);
            m_hasPending = true;
            arg.truncate(eq);
        }
        return arg;
    }

    bool value(const QString &option, QString *out, QString *error)
    {
        if (m_hasPending) {
            *out = m_pending;
            m_hasPending = false;
            return true;
        }
        if (atEnd()) {
            *error = QStringLiteral("Option '%1' requires an argument.").arg(option);
            return false;
        }
        *out = take();
        return true;
    }

    bool choice(const QString &option, const QStringList &choices, QString *out, QString *error)
    {
        QString v;
        if (!value(option, &v, error))
            return false;
        if (!choices.contains(v)) {
            *error = QStringLiteral("Invalid value for '%1': '%2' is not one of %3.")
                         .arg(option, v, quotedList(choices));
            return false;
        }
        *out = v;
        return true;
    }

private:
    QStringList m_args;
    int m_next = 0;
    QString m_pending;
    bool m_hasPending = false;
};

bool parseNumber(const QString &text, quint32 *out)
{
    bool ok = false;
    const qulonglong v = text.startsWith("0x", Qt::CaseInsensitive)
                             ? text.mid(2).toULongLong(&ok, 16)
                             : text.toULongLong(&ok, 10);
    if (!ok || v > 0xffffffffULL)
        return false;
    *out = static_cast<quint32>(v);
    return true;
}

QString parseWriteFlash(Parser &p, Invocation *inv)
{
    QString error;
    QStringList positional;
    while (!p.atEnd()) {
        if (!p.peek().startsWith('-') || p.peek() == "-") {
            positional << p.take();
            continue;
        }
        const QString opt = p.takeOption();
        if (opt == "-h" || opt == "--help") {
            inv->command = Invocation::Command::Help;
            return QString();
        }
        if (opt == "--flash-mode" || opt == "-fm") {
            if (!p.choice(opt, kFlashModes, &inv->flashMode, &error))
                return error;
        } else if (opt == "--flash-size" || opt == "-fs") {
            if (!p.choice(opt, kFlashSizes, &inv->flashSize, &error))
                return error;
        } else if (opt == "--flash-freq" || opt == "-ff") {
            if (!p.choice(opt, kFlashFreqs, &inv->flashFreq, &error))
                return error;
        } else {
            return QStringLiteral("No such option: %1").arg(opt);
        }
    }
    if (positional.isEmpty())
        return QStringLiteral("Missing argument 'ADDRESS FILENAME'.");
    if (positional.size() % 2 != 0)
        return QStringLiteral("Missing argument 'FILENAME' after address '%1'.")
            .arg(positional.last());
    for (int i = 0; i < positional.size(); i += 2) {
        FlashImage image;
        if (!parseNumber(positional.at(i), &image.address))
            return QStringLiteral("Invalid value for 'ADDRESS': '%1' is not a valid address.")
                .arg(positional.at(i));
        image.path = positional.at(i + 1);
        if (!QFileInfo(image.path).isFile())
            return QStringLiteral("Invalid value for 'ADDRESS FILENAME': File '%1' does not exist.")
                .arg(image.path);
        inv->images << image;
    }
    return QString();
}

} // namespace

QString parseCommandLine(const QStringList &arguments, Invocation *inv)
{
    Parser p(arguments);
    QString error;
    while (!p.atEnd() && p.peek().startsWith('-')) {
        const QString opt = p.takeOption();
        if (opt == "-h" || opt == "--help") {
            inv->command = Invocation::Command::Help;
            return QString();
        }
        QString v;
        if (opt == "--chip" || opt == "-c") {
            if (!p.choice(opt, kChips, &inv->chip, &error))
                return error;
        } else if (opt == "--port" || opt == "-p") {
            if (!p.value(opt, &inv->port, &error))
                return error;
        } else if (opt == "--baud" || opt == "-b") {
            if (!p.value(opt, &v, &error))
                return error;
            bool ok = false;
            inv->baud = v.toInt(&ok);
            if (!ok || inv->baud <= 0)
                return QStringLiteral("Invalid value for '%1': '%2' is not a valid integer.")
                    .arg(opt, v);
        } else if (opt == "--before") {
            if (!p.choice(opt, kBefore, &inv->before, &error))
                return error;
        } else if (opt == "--after") {
            if (!p.choice(opt, kAfter, &inv->after, &error))
                return error;
        } else {
            return QStringLiteral("No such option: %1").arg(opt);
        }
    }
    if (p.atEnd())
        return QStringLiteral("Missing command.");
    const QString command = p.take();
    if (command == "chip-id") {
        inv->command = Invocation::Command::ChipId;
        if (p.atEnd())
            return QString();
        const QString arg = p.peek();
        if (arg == "-h" || arg == "--help") {
            inv->command = Invocation::Command::Help;
            return QString();
        }
        if (arg.startsWith('-'))
            return QStringLiteral("No such option: %1").arg(p.takeOption());
        return QStringLiteral("Got unexpected extra argument (%1)").arg(arg);
    }
    if (command == "write-flash") {
        inv->command = Invocation::Command::WriteFlash;
        return parseWriteFlash(p, inv);
    }
    return QStringLiteral("No such command '%1'.").arg(command);
}

QString usageErrorText(const QString &reason)
{
    const int inner = 76;
    QStringList rows;
    QString rest = reason;
    while (rest.size() > inner) {
        int cut = rest.lastIndexOf(' ', inner);
        if (cut <= 0)
            cut = inner;
        rows << rest.left(cut);
        rest = rest.mid(cut).trimmed();
    }
    rows << rest;

    QString text = QStringLiteral("Usage: esptool [OPTIONS] COMMAND [ARGS]...\n"
                                  "Try 'esptool -h' for help.\n");
    text += "+- Error " + QString(inner - 6, '-') + "+\n";
    for (const QString &row : rows)
        text += "| " + row.leftJustified(inner) + " |\n";
    text += "+" + QString(inner + 2, '-') + "+\n";
    return text;
}

QString helpText()
{
    return QStringLiteral(
        "Usage: esptool [OPTIONS] COMMAND [ARGS]...\n"
        "\n"
        "Stand-in for the flashing tool, for tests and the demo. It talks to no hardware: the\n"
        "devices it finds are the simulated ones named by SIMDEVICE_STATE.\n"
        "\n"
        "Options:\n"
        "  -c, --chip [auto|esp32s3]          target chip type\n"
        "  -p, --port PORT                    serial port: the device on it alone (default:\n"
        "                                     scan all ports)\n"
        "  -b, --baud INTEGER                 baud rate for flashing\n"
        "  --before [default-reset|no-reset]  what to do before connecting\n"
        "  --after [hard-reset|no-reset]      what to do after finishing\n"
        "  -h, --help                         show this text and exit\n"
        "\n"
        "Commands:\n"
        "  chip-id                            read the chip (prints its MAC, as it has no ID)\n"
        "  write-flash [OPTIONS] ADDRESS FILENAME...\n"
        "      -fm, --flash-mode [keep|qio|qout|dio|dout]\n"
        "      -fs, --flash-size [keep|detect|1MB|2MB|4MB|8MB|16MB|32MB]\n"
        "      -ff, --flash-freq [keep|80m|60m|48m|40m|30m|26m|24m|20m]\n"
        "\n"
        "Scenarios (ESPTOOL_STANDIN_SCENARIO, or scenario= in the control file):\n"
        "  ok               the device answers; a burn succeeds (default when the state file\n"
        "                   names a port)\n"
        "  dead-port-first  as ok, but a port that never answers is tried before the device\n"
        "  busy-port-first  as ok, but a port that cannot be opened (I/O error) is tried first\n"
        "  no-device        no port answers (default when there is no port)\n"
        "  burn-fail        the burn stops midway with a fatal error\n"
        "  hash-mismatch    the burn reaches 100.0%, then verification fails\n"
        "  hang             stops printing partway and never ends on its own\n"
        "  hang-connected   chip-id: names the chip and its port, then hangs\n"
        "  crash            dies from a signal after partial output\n"
        "  late-success     the closing lines come in one piece right before exit\n"
        "  exit-nonzero     prints the success texts, then exits with code 1\n"
        "  watchdog-reset   as ok, but the chip is reset over its own USB, with the watchdog\n"
        "  no-reset         as ok, but the chip stays in its boot loader after the write\n"
        "\n"
        "Environment:\n"
        "  SIMDEVICE_STATE              the simulated devices' state files (port=, version=),\n"
        "                               separated like PATH; a successful burn rewrites the\n"
        "                               version= line, or tells a running simdevice (pid=)\n"
        "                               of its image= and resets it (resets=)\n"
        "  ESPTOOL_STANDIN_CONTROL      control file: key=value lines scenario, pause_ms,\n"
        "                               dead_ports, port, hang_ms (the variables below win)\n"
        "  ESPTOOL_STANDIN_SCENARIO     scenario name, see above\n"
        "  ESPTOOL_STANDIN_PAUSE_MS     pause between output pieces (default 15)\n"
        "  ESPTOOL_STANDIN_DEAD_PORTS   comma-separated ports that never answer\n"
        "  ESPTOOL_STANDIN_PORT         the device's port when the state file names none\n"
        "  ESPTOOL_STANDIN_HANG_MS      upper bound of a hang (default 600000)\n"
        "  TERM, NO_COLOR               a terminal TERM without NO_COLOR selects the\n"
        "                               terminal form of the output, even on a pipe\n");
}
