#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

// Tells of serial ports plugged in and pulled out: from udev on Linux, and on Windows from the
// device-change messages that only a window receives, so there the window hands its native
// messages to takeNativeMessage().
class PortWatcher : public QObject
{
    Q_OBJECT

public:
    explicit PortWatcher(QObject *parent = nullptr);
    ~PortWatcher() override;

    // A window's native message (a MSG on Windows; nothing is read elsewhere): a port arrival or
    // removal among them comes out as the signals below, before the toolkit handles it.
    void takeNativeMessage(const void *message);

signals:
    void portArrived(const QString &portName);
    void portRemoved(const QString &portName);

private:
    void readEvents();

    struct udev *m_udev = nullptr;
    struct udev_monitor *m_monitor = nullptr;
    QSocketNotifier *m_notifier = nullptr;
};
