#pragma once

// What we hand to the external flashing tool and how we read what it prints. Both programs
// start the tool through ToolProcess (toolprocess.h) only.

#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <memory>

class QTextDecoder;

namespace esptool
{

// Bare program name, found on the program search path.
QString program();

// The fixed write-flash command line; the firmware path goes last, as given. A port, when given,
// is named right after the chip: left to itself the tool writes the first device it finds,
// which need not be the one that was read.
QStringList burnArguments(const QString &firmwarePath, const QString &port = QString());

// The device probe. Given a port, the tool tries that port alone, as a station lane does: a
// search of all ports would reset every board on the bench.
QStringList probeArguments(const QString &port = QString());

// The inherited environment plus NO_COLOR=1 and PYTHONUNBUFFERED=1: a TERM inherited from a
// terminal must not switch the tool to its terminal form, and its output must arrive as written.
QProcessEnvironment environment();

// Joins a window's three handlers to a process of its own: new output, the end of a run (with
// the exit code only), and errors such as a tool that cannot be started.
template <class Window>
void connectRun(QProcess *process, Window *window, void (Window::*output)(),
                void (Window::*finished)(int), void (Window::*error)(QProcess::ProcessError))
{
    QObject::connect(process, &QProcess::readyReadStandardOutput, window, output);
    QObject::connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), window,
                     finished);
    QObject::connect(process, &QProcess::errorOccurred, window, error);
}

// Decodes one run's output, chunk by chunk, as local 8-bit text. The output arrives in arbitrary
// pieces, so a multi-byte character (UTF-8 or a Windows code page such as GBK) can be cut in
// two: the cut bytes are kept for the next chunk. One per run: restart() forgets them.
class ChunkDecoder
{
public:
    ChunkDecoder();
    ~ChunkDecoder();
    ChunkDecoder(const ChunkDecoder &) = delete;
    ChunkDecoder &operator=(const ChunkDecoder &) = delete;

    QString decode(const QByteArray &bytes);
    void restart();

private:
    std::unique_ptr<QTextDecoder> m_decoder;
};

// Everything the merged channel holds now, decoded.
QString readChunk(QProcess *process, ChunkDecoder *decoder);

// The output that has just arrived: logged, appended to the run's text, and returned for the
// caller's own rules.
QString takeOutput(QProcess *process, ChunkDecoder *decoder, QString *runText);

// At the end of a run: whatever is still unread, logged and appended too (it may hold the
// verdict itself), then the whole run's text logged.
void takeRest(QProcess *process, ChunkDecoder *decoder, QString *runText);

// Shown when the tool cannot be started at all.
extern const char *const kToolMissingText;

} // namespace esptool
