#pragma once

#include "serialinstance.h"

#include <QObject>
#include <QStringList>

#include <memory>

class QThread;

// The usable serial ports by the tool's names, in plain code-unit order as Quorbel lists them.
// Enumerating them can take a while (Windows asks its device manager), so it runs in a thread
// of its own and the list comes back as a signal; lists come back in the order asked for.
class PortList : public QObject
{
    Q_OBJECT

public:
    explicit PortList(QObject *parent = nullptr);
    // Waits a little for an enumeration under way; one that hangs in the system is left behind.
    ~PortList() override;

    // Where the ports come from; the system's list unless replaced.
    void SetPortEnumerator(SerialPortEnumerator enumerator);
    void refresh();

signals:
    void listed(const QStringList &ports);

private:
    struct Owner;

    QThread *m_thread = nullptr;
    QObject *m_context = nullptr; // lives in m_thread: the enumerations run there
    std::shared_ptr<Owner> m_owner;
    SerialPortEnumerator m_enumerator = SystemSerialPorts;
};
