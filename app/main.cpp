#include "mainwindow.h"
#include "messages.h"
#include "serialinstance.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);

    qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");
    SerialInstance::GetInstance()->Init();

    int exitCode = 0;
    {
        MainWindow w;
        w.show();
        exitCode = a.exec();
    }
    // Only once the window is gone: nothing may ask the worker for anything any more.
    SerialInstance::ShutdownInstance();
    return exitCode;
}
