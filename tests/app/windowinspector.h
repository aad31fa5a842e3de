#pragma once

// Reaches into Quorbel's window for the tests: the state the user cannot see directly (device
// version, port name, run text) and the handlers that the platform or the worker would call.

#include "burnrun.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QProcess>
#include <QTimer>

class WindowInspector
{
public:
    static Ui_MainWindow *ui(MainWindow &w) { return w.ui; }
    static QProcess *process(MainWindow &w) { return w.m_pProcess; }
    // The tool's process of the burn under way or last ended: its run's own. None before.
    static QProcess *burnProcess(MainWindow &w) { return w.m_pRun ? w.m_pRun->process() : nullptr; }
    static QTimer &getInfoTimer(MainWindow &w) { return w.m_timerGetInfo; }
    static int deviceVersion(const MainWindow &w) { return w.m_DeviceVersion; }
    static int firmwareVersion(const MainWindow &w) { return w.m_FirmwareVersion; }
    static int processMode(const MainWindow &w) { return w.m_iProcessMode; }
    static QString portName(const MainWindow &w) { return w.m_strPortName; }
    static QString chipMac(const MainWindow &w) { return w.m_strChipMac; }
    static QString filePath(const MainWindow &w) { return w.m_strFilePath; }
    static QString runText(const MainWindow &w) { return w.m_strInfo; }
    static QString lastDir(const MainWindow &w) { return w.m_LastDir; }
    static QString configFileName(const MainWindow &w) { return w.m_CfgFileName; }
    static QSettings *settings(const MainWindow &w) { return w.m_pSettings; }

    static void setPortName(MainWindow &w, const QString &name) { w.m_strPortName = name; }
    static void setChipMac(MainWindow &w, const QString &mac) { w.m_strChipMac = mac; }
    static void setFilePath(MainWindow &w, const QString &path) { w.m_strFilePath = path; }
    static void setDeviceVersion(MainWindow &w, int version) { w.m_DeviceVersion = version; }
    static void setFirmwareVersion(MainWindow &w, int version) { w.m_FirmwareVersion = version; }
    static void setProcessMode(MainWindow &w, int mode) { w.m_iProcessMode = mode; }

    static void portArrived(MainWindow &w, const QString &name) { w.slotSerialPortArrived(name); }
    static void portRemoved(MainWindow &w, const QString &name) { w.slotSerialPortRemoved(name); }
    static void startTest(MainWindow &w) { w.startTest(); }
    static int getFileVersion(MainWindow &w, const QString &name) { return w.GetFileVersion(name); }
    static void animationStep(MainWindow &w) { w.slotTimeOut(); }
};
