#include "ui/refreshthrottle.h"

#include <QApplication>

RefreshThrottle::RefreshThrottle(QWidget* window, const QVector<QWidget*>& held, Pumping pumping)
    : QObject(window), m_pumping(pumping)
{
    for (QWidget* widget : held) {
        m_held.append(widget);
    }
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
    if (!m_holding) {
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
    if (m_holding == hold) {
        return;
    }
    m_holding = hold;
    for (const QPointer<QWidget>& widget : qAsConst(m_held)) {
        if (!widget) {
            continue;
        }
        widget->setUpdatesEnabled(!hold);
        if (!hold) {
            // Paint now: an update request that came while updates were held was dropped, and
            // Qt posts no other one for a widget that it still counts as dirty.
            widget->repaint();
        }
    }
}
