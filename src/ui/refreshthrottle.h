#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QVector>
#include <QWidget>

/// Keeps a progress window from repainting more often than the eye can follow.
///
/// The window's owner sets its labels and bars on every change as before, so they always hold
/// the latest texts and values, and then tells the throttle whether the change was one of many
/// (progress) or one that must be seen at once (a status, an error, success, the start or end of
/// a file). Progress refreshes at most once per interval. In between, the widgets that repaint
/// themselves at every change (progress bars paint at once, inside setValue) hold their updates
/// back, and a timer repaints their latest state when the interval is over, so a pause in the
/// changes never leaves an old picture on the screen. Where the owner keeps the GUI thread busy,
/// a refresh also pumps the event loop, which paints the labels that changed.
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

    /// `held` are the widgets whose updates wait for the next refresh; the throttle is a child
    /// of `window`.
    RefreshThrottle(QWidget* window, const QVector<QWidget*>& held, Pumping pumping);

    /// One change among many: refreshes only when the last refresh is an interval old.
    void changed();
    /// A change that must be seen now: refreshes at once.
    void settled();

private:
    /// Releases held updates and pumps the event loop when the owner needs that.
    void refresh();
    /// Repaints held widgets; a running event loop paints the rest.
    void release();
    void holdUpdates(bool hold);

    QVector<QPointer<QWidget>> m_held;
    Pumping m_pumping;
    QElapsedTimer m_sinceRefresh;
    QTimer m_pending;
    bool m_holding = false;
};
