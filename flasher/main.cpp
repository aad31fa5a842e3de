#include "flasherwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    flasher::MainWindow w;
    w.show();
    return a.exec();
}
