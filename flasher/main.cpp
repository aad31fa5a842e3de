#include "flasherwindow.h"
#include "startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    startup::scaleWithDisplay();
    QApplication a(argc, argv);
    startup::quitOnTerminationSignals();
    flasher::MainWindow w;
    w.show();
    startup::reportWindowWhenAsked(&w, "pushButton_Burn");
    return a.exec();
}
