#include "mainwindow.h"
#include "messages.h"
#include "serialinstance.h"
#include "startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    startup::scaleWithDisplay();
    QApplication a(argc, argv);
    startup::quitOnTerminationSignals();

    qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");
    SerialInstance::GetInstance()->Init();

    int exitCode = 0;
    {
        MainWindow w;
        w.show();
        startup::reportWindowWhenAsked(&w, "m_pGetInfo");
        exitCode = a.exec();
    }
    // Only once the window is gone: nothing may ask the worker for anything any more.
    SerialInstance::ShutdownInstance();
    return exitCode;
}
