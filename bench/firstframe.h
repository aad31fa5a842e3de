#pragma once

// The start-up harnesses stamp the moment their first window is drawn, measured from the
// launcher's stamp taken just before it started the process (QUORBEL_BENCH_T0_NS, monotonic
// nanoseconds). The figure goes to standard output in nanoseconds and the program then quits
// through its event loop, so everything after the loop runs as it does in the product. Without
// the stamp in the environment the program simply runs (the idle measure uses that).

#include "benchsupport.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWindow>

#include <cstdio>

class FirstFrameStamp : public QObject
{
public:
    // Installed on the application before anything else happens, so that no window can be
    // exposed unseen.
    FirstFrameStamp()
    {
        bool ok = false;
        m_t0 = qEnvironmentVariable("QUORBEL_BENCH_T0_NS").toLongLong(&ok);
        if (ok)
            QCoreApplication::instance()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Expose || !watched->isWindowType() ||
            !static_cast<QWindow *>(watched)->isExposed())
            return false;
        QCoreApplication::instance()->removeEventFilter(this);
        // The user waits for the drawn frame, not for the notice that one may be drawn: let the
        // window paint, then stamp. The event is then handled and goes no further.
        watched->event(event);
        const std::int64_t elapsed = bench::nowNs() - m_t0;
        std::printf("%lld\n", static_cast<long long>(elapsed));
        std::fflush(stdout);
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
        return true;
    }

private:
    std::int64_t m_t0 = 0;
};
