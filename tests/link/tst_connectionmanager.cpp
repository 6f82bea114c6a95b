/// @brief Connection rules on their own timers and a fake clock: heartbeat, silence, lost and reopening lines, refused connects.
#include "common/fakes.h"
#include "link/connectionmanager.h"

#include <QTest>

namespace {

/// Collects what the manager tells the window, in order.
struct Recorder {
    explicit Recorder(ConnectionManager& m)
    {
        QObject::connect(&m, &ConnectionManager::logMessage, [this](const QString& t, bool caret) {
            lines.prepend(t); // newest first, as the log shows them
            carets.append(caret);
        });
        QObject::connect(&m, &ConnectionManager::linkIndicator, [this](bool up) { indicator.append(up); });
        QObject::connect(&m, &ConnectionManager::connectionLost, [this] { events.append(QStringLiteral("lost")); });
        QObject::connect(&m, &ConnectionManager::runStopRequested, [this] { events.append(QStringLiteral("run-stop")); });
        QObject::connect(&m, &ConnectionManager::connectionEstablished, [this] { events.append(QStringLiteral("established")); });
        QObject::connect(&m, &ConnectionManager::heartbeatFlash, [this](bool black) { flashes.append(black); });
    }
    QStringList lines;
    QList<bool> carets;
    QList<bool> indicator;
    QStringList events;
    QList<bool> flashes;
};

/// A manager on a socket that never leaves the process, already asked to connect to 127.0.0.1.
struct Scripted {
    FakeSocket sock;
    FakeClock clock;
    ConnectionManager m{sock, clock};
    Recorder r{m};
    Scripted()
    {
        m.setHostText(QStringLiteral("127.0.0.1"));
        m.open();
    }
};

} // namespace

class TestConnectionManager : public QObject {
    Q_OBJECT
private slots:
    // Connected: one line, the indicator on, and the keep-alive's own timer sends a heartbeat
    // every 4.5 s; a reply keeps the link up.
    void healthyLinkSendsHeartbeatsAndNeverLoses()
    {
        Scripted f;
        auto& [sock, clock, m, r] = f;
        QCOMPARE(sock.connects, QStringList{QStringLiteral("127.0.0.1:37829")});
        sock.completeConnect();
        QCOMPARE(r.carets, QList<bool>{true});
        QCOMPARE(r.indicator, QList<bool>{true});
        QCOMPARE(r.events, QStringList{QStringLiteral("established")});
        QCOMPARE(m.lastRxTime().value_or(-1), clock.seconds);
        for (int i = 0; i < 20; ++i) {
            clock.elapse(4.5);
            QCOMPARE(sock.sent, QList<QByteArray>(i + 1, "H"));
            sock.deliver(QByteArrayLiteral("H"));
        }
        QCOMPARE(r.lines, QStringList{QStringLiteral("Connected.")});
        QCOMPARE(sock.closes, 0);
        clock.elapse(4.49);
        QCOMPARE(sock.sent.size(), 20);
    }

    void silenceLosesWithinTwoTicksAndReopens()
    {
        Scripted f;
        auto& [sock, clock, m, r] = f;
        sock.completeConnect();
        r.events.clear();
        m.setHostText(QStringLiteral("127.0.0.2")); // read at the next connect, not before

        clock.elapse(4.5); // 4.5 s of silence: still within the limit
        QCOMPARE(r.lines.size(), 1);
        clock.elapse(4.5); // 9 s: lost
        QCOMPARE(r.lines, (QStringList{QStringLiteral(" Reopening..."), QStringLiteral(" Lost connection, closed.  "),
                                       QStringLiteral("Connected.")}));
        QCOMPARE(r.indicator, (QList<bool>{true, false}));
        // The window voids the calibration and unticks Run and Auto first, then Run again after the close.
        QCOMPARE(r.events, (QStringList{QStringLiteral("lost"), QStringLiteral("run-stop")}));
        QCOMPARE(sock.connects, (QStringList{QStringLiteral("127.0.0.1:37829"), QStringLiteral("127.0.0.2:37829")}));
        QVERIFY(!m.lastRxTime().has_value());

        // Fruitless ticks while connecting restart the attempt silently.
        clock.elapse(4.5);
        QCOMPARE(r.lines.size(), 3);
        QCOMPARE(sock.connects.size(), 3);
    }

    void failedConnectLogsThenReportsLostAtTheNextTick()
    {
        Scripted f;
        auto& [sock, clock, m, r] = f;
        sock.fail(QStringLiteral("Connection refused"));
        QCOMPARE(r.lines, QStringList{QStringLiteral(" Doh! (sock) Connection refused")});
        clock.elapse(4.5);
        QCOMPARE(r.lines.first(), QStringLiteral(" Reopening..."));
        QCOMPARE(r.lines.at(1), QStringLiteral(" Lost connection, closed.  "));
    }

    // The calibration holds the keep-alive: no heartbeat and no silence test while it is off.
    void keepAliveOffSendsNothingAndLosesNothing()
    {
        Scripted f;
        auto& [sock, clock, m, r] = f;
        sock.completeConnect();
        m.setKeepAliveEnabled(false);
        clock.elapse(30);
        QVERIFY(sock.sent.isEmpty());
        QCOMPARE(r.lines.size(), 1);
        m.setKeepAliveEnabled(true);
        clock.elapse(4.5);
        QCOMPARE(r.lines.value(1), QStringLiteral(" Lost connection, closed.  "));
    }

    void heartbeatFlashLastsOneSecond()
    {
        Scripted f;
        auto& [sock, clock, m, r] = f;
        m.heartbeatReceived();
        clock.elapse(0.99);
        QCOMPARE(r.flashes, (QList<bool>{true}));
        clock.elapse(0.01);
        QCOMPARE(r.flashes, (QList<bool>{true, false}));
        clock.elapse(3);
        QCOMPARE(r.flashes.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestConnectionManager)
#include "tst_connectionmanager.moc"
