#pragma once

// Reaches into the burn tool's window for the tests: its widget set, its last burn's process,
// and the choice and settings state the user cannot see directly.

#include "flasherwindow.h"
#include "ui_flasherwindow.h"

#include <QProcess>
#include <QString>

class QSettings;

namespace flasher
{

class FlasherInspector
{
public:
    static Ui_MainWindow *ui(MainWindow &w) { return w.ui; }
    static QProcess *process(MainWindow &w) { return w.m_pProcess; }
    static QString filePath(const MainWindow &w) { return w.m_strFilePath; }
    static QString lastDir(const MainWindow &w) { return w.m_LastDir; }
    static QString configFileName(const MainWindow &w) { return w.m_CfgFileName; }
    static QSettings *settings(const MainWindow &w) { return w.m_pSettings; }
    static QString runText(const MainWindow &w) { return w.m_strInfo; }
};

} // namespace flasher
