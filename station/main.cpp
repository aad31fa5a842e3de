#include "startup.h"
#include "stationwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    startup::scaleWithDisplay();
    QApplication application(argc, argv);
    startup::quitOnTerminationSignals();
    station::StationWindow window;
    window.show();
    startup::reportWindowWhenAsked(&window, "pushButton_Burn");
    return application.exec();
}
