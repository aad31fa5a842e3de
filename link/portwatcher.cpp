#include "portwatcher.h"

#include <QDebug>
#include <QSocketNotifier>

#ifdef QUORBEL_HAVE_UDEV
#include <libudev.h>
#endif

#ifdef Q_OS_WIN
#include "devicechange.h"
#include <windows.h>
#endif

PortWatcher::PortWatcher(QObject *parent) : QObject(parent)
{
#ifdef QUORBEL_HAVE_UDEV
    m_udev = udev_new();
    if (!m_udev)
        return;
    // The "udev" source, not the kernel's: its events come after the device node exists and
    // carries the properties the port list filters on.
    m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (!m_monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(m_monitor) < 0) {
        qDebug() << "PortWatcher: no udev monitor; ports coming and going are not followed";
        return;
    }
    m_notifier = new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PortWatcher::readEvents);
#endif
}

PortWatcher::~PortWatcher()
{
#ifdef QUORBEL_HAVE_UDEV
    delete m_notifier;
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    if (m_udev)
        udev_unref(m_udev);
#endif
}

void PortWatcher::readEvents()
{
#ifdef QUORBEL_HAVE_UDEV
    while (udev_device *device = udev_monitor_receive_device(m_monitor)) {
        const QString action = QString::fromUtf8(udev_device_get_action(device));
        const char *node = udev_device_get_devnode(device);
        const QString portName = QString::fromUtf8(node ? node : udev_device_get_sysname(device));
        udev_device_unref(device);
        if (action == QLatin1String("add"))
            emit portArrived(portName);
        else if (action == QLatin1String("remove"))
            emit portRemoved(portName);
    }
#endif
}

void PortWatcher::takeNativeMessage(const void *message)
{
#ifdef Q_OS_WIN
    const MSG *msg = static_cast<const MSG *>(message);
    if (msg->message != WM_DEVICECHANGE)
        return;
    const DeviceChange change =
        decodeDeviceBroadcast(msg->wParam, reinterpret_cast<const void *>(msg->lParam));
    if (change.kind == DeviceChange::Arrival)
        emit portArrived(change.portName);
    else if (change.kind == DeviceChange::Removal)
        emit portRemoved(change.portName);
#else
    Q_UNUSED(message)
#endif
}
