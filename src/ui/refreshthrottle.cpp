#include "ui/refreshthrottle.h"

#include <QApplication>

RefreshThrottle::RefreshThrottle(QWidget* window, Pumping pumping)
    : QObject(window), m_window(window), m_pumping(pumping)
{
    m_pending.setSingleShot(true);
    // The timer fires inside a running event loop, which paints by itself.
    connect(&m_pending, &QTimer::timeout, this, &RefreshThrottle::release);
}

void RefreshThrottle::changed()
{
    const qint64 sinceRefresh = m_sinceRefresh.isValid() ? m_sinceRefresh.elapsed() : IntervalMs;
    if (sinceRefresh >= IntervalMs) {
        refresh();
        return;
    }
    // A busy owner leaves the changed widgets dirty until its next refresh, or until an event
    // loop runs and paints them; a running loop would paint after every change, so there the
    // updates are held back until the interval is over.
    if (m_pumping == LeaveToEventLoop && !m_holding) {
        holdUpdates(true);
        m_pending.start(static_cast<int>(IntervalMs - sinceRefresh));
    }
}

void RefreshThrottle::settled()
{
    refresh();
}

void RefreshThrottle::refresh()
{
    release();
    if (m_pumping == PumpEvents) {
        QApplication::processEvents();
    }
}

void RefreshThrottle::release()
{
    m_pending.stop();
    holdUpdates(false);
    m_sinceRefresh.start();
}

void RefreshThrottle::holdUpdates(bool hold)
{
    if (m_holding == hold || !m_window) {
        return;
    }
    m_holding = hold;
    // Released updates repaint the whole window once with everything that changed meanwhile.
    m_window->setUpdatesEnabled(!hold);
    if (!hold) {
        // Paint now: an update request that came while updates were held was dropped, and Qt
        // posts no other one for widgets that it still counts as dirty.
        m_window->repaint();
    }
}
