// Quorbel's start-up, step for step as its main does it, with the first-frame stamp watching.

#include "firstframe.h"

#include "mainwindow.h"
#include "messages.h"
#include "serialinstance.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    FirstFrameStamp stamp;

    qRegisterMetaType<stru_BatteryInfo>("stru_BatteryInfo");
    SerialInstance::GetInstance()->Init();

    int exitCode = 0;
    {
        MainWindow w;
        w.show();
        exitCode = a.exec();
    }
    SerialInstance::ShutdownInstance();
    return exitCode;
}
