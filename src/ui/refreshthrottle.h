#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>

/// Keeps a progress window from repainting more often than the eye can follow.
///
/// The window's owner sets its labels and bars on every change as before, so they always hold
/// the latest texts, and then tells the throttle whether the change was one of many (progress)
/// or one that must be seen at once (a status, an error, success, the end of a file). Progress
/// refreshes at most once per interval. Where the owner keeps the GUI thread busy, a refresh
/// pumps the event loop, which paints what changed. Where an event loop runs between changes and
/// would paint after each one, the window's updates are held back in between, and a timer
/// repaints the latest state when the interval is over, so a pause in the changes never leaves
/// an old picture on the screen.
class RefreshThrottle : public QObject
{
    Q_OBJECT
public:
    enum Pumping
    {
        /// The owner keeps the GUI thread busy between changes: each refresh pumps the event loop.
        PumpEvents,
        /// The event loop runs between changes and paints by itself.
        LeaveToEventLoop
    };

    /// About 60 refreshes a second.
    static constexpr int IntervalMs = 16;

    RefreshThrottle(QWidget* window, Pumping pumping);

    /// One change among many: refreshes only when the last refresh is an interval old.
    void changed();
    /// A change that must be seen now: refreshes at once.
    void settled();

private:
    /// Releases held updates and pumps the event loop when the owner needs that.
    void refresh();
    /// Releases held updates; the running event loop paints them.
    void release();
    void holdUpdates(bool hold);

    QPointer<QWidget> m_window;
    Pumping m_pumping;
    QElapsedTimer m_sinceRefresh;
    QTimer m_pending;
    bool m_holding = false;
};
