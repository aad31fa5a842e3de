// Renders Quorbel's window, as first shown, into a PNG without needing a display:
//   quorbel-screenshot [out.png]      (default: quorbel.png)

#include "mainwindow.h"
#include "messages.h"

#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <QtGlobal>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("quorbel.png");

    MainWindow window;
    window.show();
    int status = 0;
    // Let the first port list arrive and the layout settle before taking the picture.
    QTimer::singleShot(200, [&] {
        if (!window.grab().save(out)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(out));
            status = 1;
        } else {
            std::printf("%s\n", qPrintable(out));
        }
        app.quit();
    });
    app.exec();
    return status;
}
