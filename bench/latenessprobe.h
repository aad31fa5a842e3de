#pragma once

// How late a 1 ms repeating timer on the GUI thread fires: the stalls a user would feel.

#include "benchsupport.h"

#include <QObject>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

// Fires every millisecond and keeps, once recording, how late each firing came.
class LatenessProbe
{
public:
    LatenessProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
    }

    void start() { m_timer.start(); }
    void stop() { m_timer.stop(); }
    void record() { m_recording = true; }
    bool recording() const { return m_recording; }
    const std::vector<double> &latenessMs() const { return m_latenessMs; }

    // Called on every firing after the lateness is noted.
    std::function<void()> onTick;

private:
    void tick()
    {
        const std::int64_t now = bench::nowNs();
        if (m_recording && m_last)
            m_latenessMs.push_back(std::max(0.0, double(now - m_last) / 1e6 - 1.0));
        m_last = now;
        if (onTick)
            onTick();
    }

    QTimer m_timer;
    std::int64_t m_last = 0;
    bool m_recording = false;
    std::vector<double> m_latenessMs;
};
