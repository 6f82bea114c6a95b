/// @brief SignalWatcher: an interrupt reaches the event loop as caught(), never inside the handler's own context.
#include "platform/signalwatcher.h"

#include <QSignalSpy>
#include <QTest>
#include <csignal>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

class TestSignalWatcher : public QObject {
    Q_OBJECT
private slots:
    void interruptArrivesThroughTheEventLoop()
    {
        SignalWatcher watcher;
        QVERIFY(watcher.isActive());
        QSignalSpy caught(&watcher, &SignalWatcher::caught);
#ifdef Q_OS_WIN
        // Ctrl-Break to every process of this console: a console of the test's own, so that
        // nothing else that shares the caller's console is interrupted.
        ::FreeConsole();
        QVERIFY(::AllocConsole());
        if (!::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0))
            QSKIP("this system cannot send a console event (Wine without a console window)");
        const int expected = SIGINT;
#else
        QVERIFY(std::raise(SIGTERM) == 0);
        const int expected = SIGTERM;
#endif
        // Nothing is emitted from the handler itself: the event loop delivers it.
        QCOMPARE(caught.size(), 0);
        QVERIFY(caught.wait(5000));
        QCOMPARE(caught.size(), 1);
        QCOMPARE(caught.first().first().toInt(), expected);
    }

    void aSecondWatcherTakesOverAndTheFirstIsGone()
    {
        // The panel makes one; a test may make several in turn. The handler must never reach
        // a watcher that no longer exists.
        auto first = std::make_unique<SignalWatcher>();
        first.reset();
        SignalWatcher second;
        QSignalSpy caught(&second, &SignalWatcher::caught);
#ifdef Q_OS_WIN
        if (!::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0))
            QSKIP("this system cannot send a console event (Wine without a console window)");
#else
        QVERIFY(std::raise(SIGINT) == 0);
#endif
        QVERIFY(caught.wait(5000));
        QCOMPARE(caught.first().first().toInt(), int(SIGINT));
    }
};

QTEST_GUILESS_MAIN(TestSignalWatcher)
#include "tst_signalwatcher.moc"
