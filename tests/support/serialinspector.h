#pragma once

// Reads and drives the serial worker's private state in the worker's own thread, the only
// thread allowed to touch it once the worker runs.

#include "serialinstance.h"

#include <QList>
#include <QMetaObject>
#include <QStringList>
#include <QTimer>

class SerialInstanceInspector
{
public:
    template <typename F> static auto inWorker(SerialInstance *worker, F function)
    {
        decltype(function()) result{};
        QMetaObject::invokeMethod(
            worker, [&] { result = function(); }, Qt::BlockingQueuedConnection);
        return result;
    }
    static bool portOpen(SerialInstance *w)
    {
        return inWorker(w, [w] { return w->IsOpen(); });
    }
    static bool retrying(SerialInstance *w)
    {
        return inWorker(w, [w] { return w->m_pTimer && w->m_pTimer->isActive(); });
    }
    // Everything queued to the worker before this call has been handled when it returns.
    static void flush(SerialInstance *w)
    {
        inWorker(w, [] { return true; });
    }
    static void closePort(SerialInstance *w)
    {
        inWorker(w, [w] { return w->IsOpen() && w->slotCloseSerialPort(); });
    }
    static int times(SerialInstance *w)
    {
        return inWorker(w, [w] { return w->m_Times; });
    }
    static QStringList portList(SerialInstance *w)
    {
        return inWorker(w, [w] { return w->GetPortInfoList(); });
    }
    static void setPorts(SerialInstance *w, const QList<SerialPortDescription> &ports)
    {
        inWorker(w, [w, ports] {
            w->SetPortEnumerator([ports] { return ports; });
            return true;
        });
    }
    // Set once, by Init in the calling thread.
    static QThread *thread(SerialInstance *w) { return w->m_pThread; }
    static bool hasPort(SerialInstance *w) { return w->m_pSerialPort != nullptr; }
    static void request(SerialInstance *w, uchar msgId, const QByteArray &payload)
    {
        w->slotMessageReceived(msgId, payload);
    }
};

