/// @brief Connection rules on their own timers and a fake clock: heartbeat, silence, lost and reopening lines, refused
/// connects.
#include "common/fakes.h"
#include "link/connectionmanager.h"

#include <QTest>

namespace {

/// A manager on a socket that never leaves the process, already asked to connect to 127.0.0.1,
/// and what it tells the window, in order.
struct Scripted {
    FakeSocket sock;
    FakeClock clock;
    ConnectionManager m{sock, clock};
    QStringList lines; ///< newest first, as the log shows them
    QList<LogKind> kinds;
    QStringList events;
    Scripted()
    {
        QObject::connect(&m, &ConnectionManager::logLine, [this](LogKind kind, const QString& t) {
            lines.prepend(t);
            kinds.append(kind);
        });
        QObject::connect(&m, &ConnectionManager::connectionLost, [this] { events.append(QStringLiteral("lost")); });
        QObject::connect(&m, &ConnectionManager::runStopRequested,
                         [this] { events.append(QStringLiteral("run-stop")); });
        QObject::connect(&m, &ConnectionManager::connectionEstablished,
                         [this] { events.append(QStringLiteral("established")); });
        m.setHostText(QStringLiteral("127.0.0.1"));
        m.open();
    }
};

} // namespace

class TestConnectionManager : public QObject {
    Q_OBJECT
private slots:
    // Connected: one line, the link up, and the keep-alive's own timer sends a heartbeat
    // every 4.5 s; a reply keeps the link up.
    void healthyLinkSendsHeartbeatsAndNeverLoses()
    {
        Scripted f;
        QCOMPARE(f.sock.connects, QStringList{QStringLiteral("127.0.0.1:37829")});
        f.sock.completeConnect();
        QCOMPARE(f.kinds, QList<LogKind>{LogKind::Info});
        QCOMPARE(f.events, QStringList{QStringLiteral("established")});
        QCOMPARE(f.m.lastRxTime().value_or(-1), f.clock.seconds);
        for (int i = 0; i < 20; ++i) {
            f.clock.elapse(4.5);
            QCOMPARE(f.sock.sent, QList<QByteArray>(i + 1, "H"));
            f.sock.deliver(QByteArrayLiteral("H"));
        }
        QCOMPARE(f.lines, QStringList{QStringLiteral("Connected.")});
        QCOMPARE(f.sock.closes, 0);
        f.clock.elapse(4.49);
        QCOMPARE(f.sock.sent.size(), 20);
    }

    void silenceLosesWithinTwoTicksAndReopens()
    {
        Scripted f;
        f.sock.completeConnect();
        f.events.clear();
        f.m.setHostText(QStringLiteral("127.0.0.2")); // read at the next connect, not before

        f.clock.elapse(4.5); // 4.5 s of silence: still within the limit
        QCOMPARE(f.lines.size(), 1);
        f.clock.elapse(4.5); // 9 s: lost
        QCOMPARE(f.lines, (QStringList{QStringLiteral(" Reopening..."), QStringLiteral(" Lost connection, closed.  "),
                                       QStringLiteral("Connected.")}));
        QCOMPARE(f.kinds, (QList<LogKind>{LogKind::Info, LogKind::Error, LogKind::Info}));
        // The window voids the calibration and unticks Run and Auto first, then Run again after the close.
        QCOMPARE(f.events, (QStringList{QStringLiteral("lost"), QStringLiteral("run-stop")}));
        QCOMPARE(f.sock.connects, (QStringList{QStringLiteral("127.0.0.1:37829"), QStringLiteral("127.0.0.2:37829")}));
        QVERIFY(!f.m.lastRxTime().has_value());

        // Fruitless ticks while connecting restart the attempt silently.
        f.clock.elapse(4.5);
        QCOMPARE(f.lines.size(), 3);
        QCOMPARE(f.sock.connects.size(), 3);
    }

    void failedConnectLogsThenReportsLostAtTheNextTick()
    {
        Scripted f;
        f.sock.fail(QStringLiteral("Connection refused"));
        QCOMPARE(f.lines, QStringList{QStringLiteral(" Doh! (sock) Connection refused")});
        QCOMPARE(f.kinds, QList<LogKind>{LogKind::Error});
        f.clock.elapse(4.5);
        QCOMPARE(f.lines.first(), QStringLiteral(" Reopening..."));
        QCOMPARE(f.lines.at(1), QStringLiteral(" Lost connection, closed.  "));
    }

    // The calibration holds the keep-alive: no heartbeat and no silence test while it is off.
    void keepAliveOffSendsNothingAndLosesNothing()
    {
        Scripted f;
        f.sock.completeConnect();
        f.m.setKeepAliveEnabled(false);
        f.clock.elapse(30);
        QVERIFY(f.sock.sent.isEmpty());
        QCOMPARE(f.lines.size(), 1);
        f.m.setKeepAliveEnabled(true);
        f.clock.elapse(4.5);
        QCOMPARE(f.lines.value(1), QStringLiteral(" Lost connection, closed.  "));
    }

    // Nothing before the first open: no connect, no heartbeat, however long the wait. Then an
    // open on a link that is being made, or stands, leaves it as it is.
    void keepAliveWaitsForTheFirstOpenAndOpenKeepsALink()
    {
        FakeSocket sock;
        FakeClock clock;
        ConnectionManager m(sock, clock);
        m.setHostText(QStringLiteral("127.0.0.1"));
        QStringList lines;
        QObject::connect(&m, &ConnectionManager::logLine, [&lines](LogKind, const QString& t) { lines.prepend(t); });
        clock.elapse(60);
        QVERIFY(sock.connects.isEmpty() && sock.closes == 0);
        m.open();
        m.open(); // still connecting
        QCOMPARE(sock.connects.size(), 1);
        sock.completeConnect();
        m.open();
        QCOMPARE(sock.connects.size(), 1);
        QCOMPARE(sock.closes, 0);
        for (int i = 0; i < 4; ++i) {
            clock.elapse(4.5);
            sock.deliver(QByteArrayLiteral("H"));
        }
        QCOMPARE(sock.sent, QList<QByteArray>(4, "H"));
        QCOMPARE(lines, QStringList{QStringLiteral("Connected.")});
    }
};

QTEST_GUILESS_MAIN(TestConnectionManager)
#include "tst_connectionmanager.moc"
