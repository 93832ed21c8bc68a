#include "tcp/asyncwaiter.h"

#include <QEventLoop>
#include <QTimer>

AsyncWaiter::AsyncWaiter(QObject* parent)
    : QObject(parent), m_loop(new QEventLoop(this)), m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, m_loop, &QEventLoop::quit);
    connect(this, &AsyncWaiter::signalReceived, this, &AsyncWaiter::onSignalReceived);
}

AsyncWaiter::~AsyncWaiter()
{
    if (m_loop->isRunning()) {
        m_loop->quit();
    }
}

bool AsyncWaiter::wait(int timeoutMs)
{
    if (m_received) {
        reset();
    }
    if (timeoutMs > 0) {
        m_timer->start(timeoutMs);
    }
    // A signal raised from inside the loop before exec() would be lost without this check; the
    // flag is only ever set by onSignalReceived, which also quits the loop.
    if (!m_received) {
        m_loop->exec();
    }
    const bool received = m_received;
    reset();
    return received;
}

void AsyncWaiter::reset()
{
    m_received = false;
    if (m_timer->isActive()) {
        m_timer->stop();
    }
    if (m_loop->isRunning()) {
        m_loop->quit();
    }
}

void AsyncWaiter::onSignalReceived()
{
    m_received = true;
    if (m_loop->isRunning()) {
        m_loop->quit();
    }
}
