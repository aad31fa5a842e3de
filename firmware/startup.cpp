#include "startup.h"

#include <QApplication>
#include <QDebug>
#include <QFile>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <cstdio>

#ifndef Q_OS_WIN
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace startup
{

namespace
{

#ifndef Q_OS_WIN
// A signal handler may do almost nothing: it writes one byte, and the event loop reads it.
int s_signalPipe[2] = {-1, -1};

void notifyLoop(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(s_signalPipe[0], &byte, 1);
}
#endif

} // namespace

void scaleWithDisplay()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    // The default policy rounds 1.5 up to 2, drawing a window at 150 % as if at 200 %.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
#endif
}

void applyStyleSheet()
{
    QFile styleFile(QStringLiteral(":/qss/style.qss"));
    qDebug() << "Find styleFile:" << styleFile.exists();
    QByteArray styleSheet;
    if (styleFile.open(QFile::ReadOnly))
        styleSheet = styleFile.readAll();
    // fromUtf8 of the raw pointer: a zero byte, should one slip in, ends the sheet.
    qApp->setStyleSheet(QString::fromUtf8(styleSheet.constData()));
}

void reportWindowWhenAsked(QWidget *window, const char *buttonName)
{
    if (qEnvironmentVariableIsEmpty("QUORBEL_REPORT_WINDOW"))
        return;
    // Queued, so the window is on its screen and polished by its style sheet when measured.
    QTimer::singleShot(0, window, [window, buttonName] {
        const qreal ratio = window->devicePixelRatioF();
        auto inDevicePixels = [ratio](const QSizeF &size) {
            const QSize device = (size * ratio).toSize();
            return QStringLiteral("%1x%2").arg(device.width()).arg(device.height());
        };
        QSizeF text;
        if (const auto *button = window->findChild<QPushButton *>(QLatin1String(buttonName)))
            text = QFontMetricsF(button->font()).size(Qt::TextShowMnemonic, button->text());
        QStringList icons;
        for (const QSize &size : window->windowIcon().availableSizes())
            icons << QString::number(size.width());
        const QString line = QStringLiteral("window=%1 text=%2 icons=%3\n")
                                 .arg(inDevicePixels(window->size()), inDevicePixels(text),
                                      icons.join(QLatin1Char(',')));
        std::fputs(line.toUtf8().constData(), stdout);
        std::fflush(stdout);
    });
}

void quitOnTerminationSignals(std::function<void()> action)
{
#ifdef Q_OS_WIN
    Q_UNUSED(action)
#else
    if (!action)
        action = [] { QCoreApplication::quit(); };
    if (s_signalPipe[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s_signalPipe) != 0)
        return;
    auto *notifier =
        new QSocketNotifier(s_signalPipe[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [action] {
        char byte = 0;
        if (::read(s_signalPipe[1], &byte, 1) == 1)
            action();
    });
    struct sigaction handler = {};
    handler.sa_handler = notifyLoop;
    sigemptyset(&handler.sa_mask);
    handler.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(signal, &handler, nullptr);
#endif
}

} // namespace startup
