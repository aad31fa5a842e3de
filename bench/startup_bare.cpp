// The reference for start-up and idle cost: the least a Qt widget program does to show a main
// window.

#include "firstframe.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    FirstFrameStamp stamp;

    QMainWindow w;
    w.show();
    return a.exec();
}
