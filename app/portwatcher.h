#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

// Tells of serial ports plugged in and pulled out, where the platform offers a way to listen
// for that without a window message (udev on Linux). Windows reports the same through the
// window's native events instead, so there this watcher stays silent.
class PortWatcher : public QObject
{
    Q_OBJECT

public:
    explicit PortWatcher(QObject *parent = nullptr);
    ~PortWatcher() override;

signals:
    void portArrived(const QString &portName);
    void portRemoved(const QString &portName);

private:
    void readEvents();

    struct udev *m_udev = nullptr;
    struct udev_monitor *m_monitor = nullptr;
    QSocketNotifier *m_notifier = nullptr;
};
