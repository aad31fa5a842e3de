#pragma once

// The settings file and the firmware file choice, shared by both programs.

#include <QFileDialog>
#include <QString>

#include <functional>

class QSettings;
class QWidget;

namespace firmware
{

struct Config {
    QString fileName;              // <working dir>/CONFIG/config.ini
    QSettings *settings = nullptr; // lives until the application object is destroyed
    QString lastDir;               // stored LastDir, or empty
};

// Creates CONFIG under the current working directory when missing, logs the file name and
// reads LastDir. The settings object is freed when the application object goes, so it
// outlives every window.
Config openConfig();
// The same, into a window's own members.
void openConfig(QString *fileName, QSettings **settings, QString *lastDir);

// The folder of a chosen file, absolute, with forward slashes.
QString folderOf(const QString &filePath);

// Remembers the folder; the settings object writes the file once control is back in the
// event loop. A failed write is not reported.
void storeLastDir(QSettings *settings, const QString &dir);

// The open-file dialog, replaceable so tests can answer it.
using FileDialog =
    std::function<QString(QWidget *parent, const QString &caption, const QString &dir,
                          const QString &filter, QFileDialog::Options options)>;
void setFileDialog(FileDialog dialog);

// Asks for one .bin file, starting in lastDir. Empty when the user cancels, which is logged.
QString chooseFirmwareFile(QWidget *parent, const QString &lastDir);

} // namespace firmware
