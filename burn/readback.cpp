#include "readback.h"

#include "messages.h"
#include "serialinstance.h"

#include <QByteArray>

namespace burn
{

ReadBack::ReadBack(SerialInstance *worker, const QString &port, QObject *parent)
    : QObject(parent), m_worker(worker), m_port(port)
{
    m_limit.setSingleShot(true);
    m_retry.setSingleShot(true);
    m_retry.setInterval(kOpenRetryMs);
    connect(&m_limit, &QTimer::timeout, this, &ReadBack::timedOut);
    connect(&m_retry, &QTimer::timeout, this, &ReadBack::open);
}

ReadBack::~ReadBack()
{
    stop();
}

void ReadBack::start(int limitMs)
{
    if (!m_connections.isEmpty() || m_limit.isActive())
        return;
    // Only while it reads: a worker its owner shares may answer other readings before and after.
    const auto queued = Qt::QueuedConnection;
    m_connections << connect(m_worker, &SerialInstance::SigConnectState, this,
                             &ReadBack::connectState, queued)
                  << connect(m_worker, &SerialInstance::SigCommunicationFailed, this,
                             &ReadBack::failed, queued)
                  << connect(m_worker, &SerialInstance::SigGetInfo, this, &ReadBack::answer,
                             queued);
    m_limit.start(limitMs);
    open();
}

void ReadBack::stop()
{
    if (m_connections.isEmpty())
        return;
    finish();
}

void ReadBack::open()
{
    SerialInstance *worker = m_worker;
    const QString port = m_port;
    QMetaObject::invokeMethod(
        worker, [worker, port] { worker->slotOpenPort(port, kDeviceBaudRate); },
        Qt::QueuedConnection);
}

void ReadBack::connectState(int mode, bool open)
{
    if (mode != 1 || !m_limit.isActive())
        return;
    if (open)
        emit m_worker->SigMessageReceived(MSG_GET_INFO, QByteArray(1, '\0'));
    else
        m_retry.start();
}

void ReadBack::failed()
{
    if (!m_limit.isActive())
        return;
    // A device that starts late misses all the transmissions of one request; one whose port went
    // away under the open file is reached only through a new open.
    QMetaObject::invokeMethod(m_worker, &SerialInstance::slotCloseSerialPort, Qt::QueuedConnection);
    m_retry.start();
}

void ReadBack::answer(const QString &serial, int version, int soc)
{
    if (!m_limit.isActive())
        return;
    finish();
    emit answered({serial, version, soc});
}

void ReadBack::timedOut()
{
    finish();
    emit noAnswer();
}

void ReadBack::finish()
{
    m_limit.stop();
    m_retry.stop();
    for (const QMetaObject::Connection &connection : qAsConst(m_connections))
        disconnect(connection);
    m_connections.clear();
    QMetaObject::invokeMethod(m_worker, &SerialInstance::slotCloseSerialPort, Qt::QueuedConnection);
}

} // namespace burn
