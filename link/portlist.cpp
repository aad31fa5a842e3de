#include "portlist.h"

#include <QDebug>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <algorithm>

namespace
{

constexpr unsigned long kStopWaitMs = 3000;

} // namespace

// Shared with the enumerations, which may outlive the list when one hangs: they post their
// result only while the list is there, and it lets go of them under the same lock.
struct PortList::Owner {
    QMutex mutex;
    PortList *list = nullptr;
};

PortList::PortList(QObject *parent)
    : QObject(parent), m_thread(new QThread), m_context(new QObject),
      m_owner(std::make_shared<Owner>())
{
    m_owner->list = this;
    m_context->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_context, &QObject::deleteLater);
    m_thread->start();
}

PortList::~PortList()
{
    {
        const QMutexLocker lock(&m_owner->mutex);
        m_owner->list = nullptr;
    }
    m_thread->quit();
    if (m_thread->wait(kStopWaitMs))
        delete m_thread;
    else
        qWarning() << "PortList: enumeration did not end in" << kStopWaitMs << "ms";
}

void PortList::SetPortEnumerator(SerialPortEnumerator enumerator)
{
    m_enumerator = std::move(enumerator);
}

void PortList::refresh()
{
    QMetaObject::invokeMethod(
        m_context,
        [owner = m_owner, enumerator = m_enumerator] {
            QStringList names;
            for (const SerialPortDescription &port : UsablePorts(enumerator()))
                names << ToolPortName(port);
            std::sort(names.begin(), names.end());
            const QMutexLocker lock(&owner->mutex);
            if (PortList *list = owner->list)
                QMetaObject::invokeMethod(
                    list, [list, names] { emit list->listed(names); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}
