#pragma once

#include <QObject>

class QEventLoop;
class QTimer;

/// Waits in a nested event loop until `signalReceived` is raised or a single-shot timer expires.
///
/// Created on the caller's stack for one wait. Events keep flowing during the wait, so socket
/// reads and window updates happen while the caller looks blocked.
class AsyncWaiter : public QObject
{
    Q_OBJECT
public:
    explicit AsyncWaiter(QObject* parent = nullptr);
    ~AsyncWaiter() override;

    /// True when a signal came during the wait, false when `timeoutMs` (> 0) expired first. A
    /// `timeoutMs` of 0 or less waits without limit. A signal raised before the call does not count.
    bool wait(int timeoutMs);
    void reset();

signals:
    void signalReceived();

private slots:
    void onSignalReceived();

private:
    QEventLoop* m_loop;
    QTimer* m_timer;
    bool m_received = false;
};
