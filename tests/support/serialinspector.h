#pragma once

// The serial worker's own state, read in the worker's thread: the only thread that may touch
// it once the worker runs. For the window tests, which drive the real worker.

#include "serialinstance.h"

#include <QMetaObject>
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
};

