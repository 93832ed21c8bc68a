// The nested-loop wait that the client's blocking-looking calls are built on.
#include "tcp/asyncwaiter.h"

#include <QtTest>

class TestAsyncWaiter : public QObject
{
    Q_OBJECT
private slots:
    void signalDuringWait_data();
    void signalDuringWait();
    void timesOut();
    void signalBeforeWaitDoesNotCount();
    void eventsRunDuringWait();
};

void TestAsyncWaiter::signalDuringWait_data()
{
    QTest::addColumn<int>("timeoutMs");
    QTest::newRow("limited") << 5000;
    QTest::newRow("without limit (0)") << 0;
    QTest::newRow("without limit (-1)") << -1;
}

void TestAsyncWaiter::signalDuringWait()
{
    QFETCH(int, timeoutMs);
    AsyncWaiter waiter;
    QTimer::singleShot(20, &waiter, [&waiter] { emit waiter.signalReceived(); });
    QVERIFY(waiter.wait(timeoutMs));
    // The flag is reset after each wait: a second wait needs a second signal.
    QVERIFY(!waiter.wait(30));
}

void TestAsyncWaiter::timesOut()
{
    AsyncWaiter waiter;
    QVERIFY(!waiter.wait(30));
}

void TestAsyncWaiter::signalBeforeWaitDoesNotCount()
{
    AsyncWaiter waiter;
    emit waiter.signalReceived();
    QVERIFY(!waiter.wait(30));
}

void TestAsyncWaiter::eventsRunDuringWait()
{
    AsyncWaiter waiter;
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] {
        if (++ticks == 3) {
            emit waiter.signalReceived();
        }
    });
    ticker.start(5);
    QVERIFY(waiter.wait(-1));
    QCOMPARE(ticks, 3);
}

QTEST_GUILESS_MAIN(TestAsyncWaiter)
#include "testasyncwaiter.moc"
