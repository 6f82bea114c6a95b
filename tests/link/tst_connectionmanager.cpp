/// @brief Connection rules: heartbeat, silence, lost and reopening lines, refused connects; scripted and on loopback.
#include "common/fakes.h"
#include "link/connectionmanager.h"
#include "platform/qtsocket.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
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
    void connectLogsAndStartsTheKeepAlive()
    {
        Scripted f;
        auto& [sock, clock, m, r] = f;
        QCOMPARE(sock.connects, QStringList{QStringLiteral("127.0.0.1:37829")});
        sock.completeConnect();
        QCOMPARE(r.lines, QStringList{QStringLiteral("Connected.")});
        QCOMPARE(r.carets, QList<bool>{true});
        QCOMPARE(r.indicator, QList<bool>{true});
        QCOMPARE(r.events, QStringList{QStringLiteral("established")});
        QVERIFY(m.keepAliveEnabled());
        QCOMPARE(m.lastRxTime().value_or(-1), clock.seconds);
    }

    void healthyLinkSendsHeartbeatsAndNeverLoses()
    {
        Scripted f;
        auto& [sock, clock, m, r] = f;
        sock.completeConnect();
        for (int i = 0; i < 20; ++i) {
            clock.advance(4.5);
            m.tmrKeepAlive_Timer();
            sock.deliver(QByteArrayLiteral("H")); // the reply, a moment after the tick
            clock.advance(0.01);
        }
        QCOMPARE(sock.sent.size(), 20);
        QVERIFY(std::all_of(sock.sent.begin(), sock.sent.end(), [](const QByteArray& b) { return b == "H"; }));
        QCOMPARE(r.lines, QStringList{QStringLiteral("Connected.")});
        QCOMPARE(sock.closes, 0);
    }

    void silenceLosesWithinTwoTicksAndReopens()
    {
        Scripted f;
        auto& [sock, clock, m, r] = f;
        sock.completeConnect();
        r.events.clear();

        clock.advance(4.5);
        m.tmrKeepAlive_Timer(); // 4.5 s of silence: still within the limit
        QCOMPARE(r.lines.size(), 1);
        clock.advance(4.5);
        m.tmrKeepAlive_Timer(); // 9 s: lost
        QCOMPARE(r.lines, (QStringList{QStringLiteral(" Reopening..."), QStringLiteral(" Lost connection, closed.  "),
                                       QStringLiteral("Connected.")}));
        QCOMPARE(r.indicator, (QList<bool>{true, false}));
        // The window voids the calibration and unticks Run and Auto first, then Run again after the close.
        QCOMPARE(r.events, (QStringList{QStringLiteral("lost"), QStringLiteral("run-stop")}));
        QCOMPARE(sock.connects.size(), 2);
        QVERIFY(!m.lastRxTime().has_value());

        // Fruitless ticks while connecting restart the attempt silently.
        clock.advance(4.5);
        m.tmrKeepAlive_Timer();
        QCOMPARE(r.lines.size(), 3);
        QCOMPARE(sock.connects.size(), 3);
    }

    void firstTickWhileConnectingRestartsSilently()
    {
        Scripted f;
        auto& [sock, clock, m, r] = f;
        clock.advance(4.5);
        m.tmrKeepAlive_Timer();
        QVERIFY(r.lines.isEmpty());
        QCOMPARE(sock.connects.size(), 2);
        QVERIFY(sock.sent.isEmpty());
    }

    void failedConnectLogsThenReportsLostAtTheNextTick()
    {
        Scripted f;
        auto& [sock, clock, m, r] = f;
        sock.fail(QStringLiteral("Connection refused"));
        QCOMPARE(r.lines, QStringList{QStringLiteral(" Doh! (sock) Connection refused")});
        clock.advance(4.5);
        m.tmrKeepAlive_Timer();
        QCOMPARE(r.lines.first(), QStringLiteral(" Reopening..."));
        QCOMPARE(r.lines.at(1), QStringLiteral(" Lost connection, closed.  "));
    }

    void hostTextIsReadAtEachConnect()
    {
        FakeSocket sock;
        FakeClock clock;
        ConnectionManager m(sock, clock);
        m.setHostText(QStringLiteral("127.0.0.1"));
        m.setPort(40000);
        m.open();
        sock.completeConnect();
        m.setHostText(QStringLiteral("127.0.0.2"));
        QCOMPARE(sock.connects.size(), 1);
        clock.advance(10);
        m.tmrKeepAlive_Timer();
        QCOMPARE(sock.connects.last(), QStringLiteral("127.0.0.2:40000"));
    }

    void midnightIsNoEvent()
    {
        // The silence test runs on a monotonic clock; a wall clock's wrap at midnight cannot
        // make a healthy link look lost or a dead one look alive.
        FakeSocket sock;
        FakeClock clock;
        clock.seconds = 86399.0;
        ConnectionManager m(sock, clock);
        m.setHostText(QStringLiteral("127.0.0.1"));
        m.open();
        sock.completeConnect();
        clock.advance(9.0);
        QSignalSpy lost(&m, &ConnectionManager::connectionLost);
        m.tmrKeepAlive_Timer();
        QCOMPARE(lost.size(), 1);
    }

    void heartbeatFlashLastsOneTick()
    {
        FakeSocket sock;
        FakeClock clock;
        ConnectionManager m(sock, clock);
        Recorder r(m);
        m.heartbeatReceived();
        QVERIFY(m.heartbeatTimer().isActive());
        m.tmrHb_Timer();
        QVERIFY(!m.heartbeatTimer().isActive());
        QCOMPARE(r.flashes, (QList<bool>{true, false}));
    }

    // On a real loopback socket against a scripted peer that answers nothing.
    void loopbackPeerGoesQuiet()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QtSocket sock;
        FakeClock clock;
        ConnectionManager m(sock, clock);
        m.keepAliveTimer().stop();
        Recorder r(m);
        m.setHostText(QStringLiteral("127.0.0.1"));
        m.setPort(server.serverPort());
        m.open();
        QTRY_COMPARE_WITH_TIMEOUT(r.lines.value(0), QStringLiteral("Connected."), 5000);
        QVERIFY(server.hasPendingConnections() || server.waitForNewConnection(2000));
        QTcpSocket* peer = server.nextPendingConnection();

        clock.advance(4.5);
        m.tmrKeepAlive_Timer();
        QTRY_VERIFY_WITH_TIMEOUT(peer->bytesAvailable() > 0, 5000);
        QCOMPARE(peer->readAll(), QByteArrayLiteral("H"));

        clock.advance(4.5);
        m.tmrKeepAlive_Timer();
        QCOMPARE(r.lines.value(0), QStringLiteral(" Reopening..."));
        QCOMPARE(r.lines.value(1), QStringLiteral(" Lost connection, closed.  "));
        // It connects again, to the same peer.
        QTRY_COMPARE_WITH_TIMEOUT(r.lines.value(0), QStringLiteral("Connected."), 5000);
    }

    void loopbackRefusedConnectsLogOneLinePerAttempt()
    {
        quint16 port = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            port = probe.serverPort();
        } // closed again: nothing listens there now
        QtSocket sock;
        FakeClock clock;
        ConnectionManager m(sock, clock);
        m.keepAliveTimer().stop();
        Recorder r(m);
        m.setHostText(QStringLiteral("127.0.0.1"));
        m.setPort(port);
        m.open();
        QTRY_COMPARE_WITH_TIMEOUT(r.lines.size(), 1, 5000);
        QVERIFY(r.lines.first().startsWith(QStringLiteral(" Doh! (sock) ")));
        for (int attempt = 2; attempt <= 3; ++attempt) {
            clock.advance(4.5);
            m.tmrKeepAlive_Timer();
            QTRY_VERIFY_WITH_TIMEOUT(r.lines.first().startsWith(QStringLiteral(" Doh! (sock) ")), 5000);
        }
        QCOMPARE(r.lines.filter(QStringLiteral(" Doh! (sock) ")).size(), 3);
        QCOMPARE(r.lines.filter(QStringLiteral(" Reopening...")).size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestConnectionManager)
#include "tst_connectionmanager.moc"
