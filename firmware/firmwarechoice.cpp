#include "firmwarechoice.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QSettings>

namespace firmware
{

namespace
{

QList<QSettings *> &openSettings()
{
    static QList<QSettings *> list;
    return list;
}

// Runs from the application object's destructor, i.e. after the windows that use the settings.
void freeSettings()
{
    qDeleteAll(openSettings());
    openSettings().clear();
}

QString systemFileDialog(QWidget *parent, const QString &caption, const QString &dir,
                         const QString &filter, QFileDialog::Options options)
{
    return QFileDialog::getOpenFileName(parent, caption, dir, filter, nullptr, options);
}

FileDialog &fileDialog()
{
    static FileDialog dialog = systemFileDialog;
    return dialog;
}

} // namespace

Config openConfig()
{
    Config config;
    const QString dir = QDir::currentPath() + "/CONFIG";
    if (!QDir(dir).exists())
        QDir().mkpath(dir);
    config.fileName = dir + "/" + "config" + ".ini";
    qDebug() << "str_CfgFileName" << config.fileName;

    config.settings = new QSettings(config.fileName, QSettings::IniFormat);
    if (openSettings().isEmpty())
        qAddPostRoutine(freeSettings);
    openSettings().append(config.settings);

    config.lastDir = config.settings->value("LastDir").toString();
    return config;
}

void openConfig(QString *fileName, QSettings **settings, QString *lastDir)
{
    const Config config = openConfig();
    *fileName = config.fileName;
    *settings = config.settings;
    *lastDir = config.lastDir;
}

QString folderOf(const QString &filePath)
{
    return QFileInfo(filePath).absolutePath();
}

void storeLastDir(QSettings *settings, const QString &dir)
{
    settings->setValue("LastDir", dir);
}

void setFileDialog(FileDialog dialog)
{
    fileDialog() = dialog ? std::move(dialog) : FileDialog(systemFileDialog);
}

QString chooseFirmwareFile(QWidget *parent, const QString &lastDir)
{
    const QString filePath =
        fileDialog()(parent, QCoreApplication::translate("MainWindow", "选择文件"), lastDir,
                     "Files(*.bin)", QFileDialog::DontResolveSymlinks);
    if (filePath.isEmpty())
        qDebug() << "str_FilePath" << true;
    return filePath;
}

} // namespace firmware
