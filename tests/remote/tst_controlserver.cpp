/// @brief The control port's transport over real loopback sockets: framing, overruns, the
/// client limit, slow readers, clients that vanish, and handlers that close.
#include "platform/fakeclock.h"
#include "remote/controlserver.h"

#include <QTcpSocket>
#include <QtTest>
#include <memory>
#ifdef Q_OS_WIN
#include <winsock2.h>
#define SHUT_WR SD_SEND
#else
#include <sys/socket.h>
#endif

namespace {

/// A client socket that keeps everything it receives (unless given a read buffer that fills).
struct Peer {
    std::unique_ptr<QTcpSocket> socket = std::make_unique<QTcpSocket>();
    QByteArray received;

    Peer(const QHostAddress& address, quint16 port, qint64 readBuffer = 0)
    {
        socket->setReadBufferSize(readBuffer);
        if (readBuffer == 0)
            QObject::connect(socket.get(), &QTcpSocket::readyRead, socket.get(),
                             [this] { received += socket->readAll(); });
        socket->connectToHost(address, port);
    }
    bool gone() const { return socket->state() == QAbstractSocket::UnconnectedState; }
    bool connected() const { return socket->state() == QAbstractSocket::ConnectedState; }
};

/// The server with a stand-in for the command layer: echoes each line, answers "BIG?" with
/// 8 MiB, and answers "BYE" then closes from inside the handler.
struct Rig {
    FakeClock clock;
    ControlServer server;
    QList<QPair<quint64, QByteArray>> events;
    QList<bool> sendsAfterClose;

    explicit Rig(ControlServer::Limits limits = {}) : server(limits, &clock)
    {
        const auto note = [this](const char* what) { return [this, what](quint64 id) { events.append({id, what}); }; };
        QObject::connect(&server, &ControlServer::clientConnected, &server, note("+"));
        QObject::connect(&server, &ControlServer::clientDisconnected, &server, note("-"));
        QObject::connect(&server, &ControlServer::lineOverrun, &server, note("!overrun"));
        QObject::connect(&server, &ControlServer::lineTimedOut, &server, note("!timeout"));
        QObject::connect(&server, &ControlServer::lineReceived, &server, [this](quint64 id, const QByteArray& line) {
            events.append({id, line});
            if (line == "HOLD") {
                server.setReading(id, false);
                QTimer::singleShot(100, &server, [this, id] { server.setReading(id, true); });
            }
            if (line == "BYE") {
                server.send(id, "bye\n");
                server.close(id);
                sendsAfterClose.append(server.send(id, "after\n"));
            } else {
                server.send(id, line == "BIG?" ? QByteArray(8 << 20, 'x') + '\n' : line + '\n');
            }
        });
        if (!server.listen(QHostAddress(), 0, nullptr))
            qFatal("cannot listen on loopback");
    }
    QHostAddress address(int i = 0) const { return server.addresses().at(i % server.addresses().size()); }
    QByteArrayList of(quint64 id) const
    {
        QByteArrayList out;
        for (const auto& [who, what] : events)
            if (who == id)
                out.append(what);
        return out;
    }
    quint64 lastConnected() const
    {
        return std::find_if(events.crbegin(), events.crend(), [](const auto& e) { return e.second == "+"; })->first;
    }
    /// Each client: connected once, first; disconnected at most once, last.
    bool orderly() const
    {
        return std::all_of(events.cbegin(), events.cend(), [this](const auto& e) {
            const QByteArrayList mine = of(e.first);
            return mine.first() == "+" && mine.count("+") == 1 && mine.count("-") <= 1
                   && (!mine.contains("-") || mine.last() == "-");
        });
    }
};

} // namespace

class TestControlServer : public QObject {
    Q_OBJECT

private slots:
    void lines_data();
    void lines();
    void ninthClientRefused();
    void slowReaderDropped_data();
    void slowReaderDropped();
    void vanishingClients();
    void closeFromHandler();
    void halfClosedClientGetsItsAnswers();
    void unfinishedLineTimesOut();
    void idleClientMakesRoomForANewOne();
    void readingHeldBackKeepsTheOrder();
};

void TestControlServer::lines_data()
{
    QTest::addColumn<QByteArrayList>("pieces"); // written with a pause between them
    QTest::addColumn<QByteArrayList>("expected");
    const QByteArray longest(64 * 1024, 'L');
    const QByteArray over(64 * 1024 + 1, 'X');
    QTest::newRow("LF") << QByteArrayList{"*IDN?\n"} << QByteArrayList{"*IDN?"};
    QTest::newRow("CRLF and an empty line") << QByteArrayList{"A\r\n\r\nB\n"} << QByteArrayList{"A", "", "B"};
    QTest::newRow("pipelined in one write") << QByteArrayList{"A;B\nC?\nD\n"} << QByteArrayList{"A;B", "C?", "D"};
    QTest::newRow("split across writes") << QByteArrayList{"*ID", "N?\r", "\n"} << QByteArrayList{"*IDN?"};
    QTest::newRow("longest line kept") << QByteArrayList{longest + '\n'} << QByteArrayList{longest};
    QTest::newRow("overrun, then a good line")
        << QByteArrayList{over + "\nGOOD\n"} << QByteArrayList{"!overrun", "GOOD"};
    QTest::newRow("overrun across reads")
        << QByteArrayList{over + over, "tail\nGOOD\n"} << QByteArrayList{"!overrun", "GOOD"};
    QTest::newRow("two overruns") << QByteArrayList{over + "\n" + over + "\r\nOK\n"}
                                  << QByteArrayList{"!overrun", "!overrun", "OK"};
}

void TestControlServer::lines()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArrayList, expected);
    Rig rig;
    Peer peer(rig.address(), rig.server.port());
    for (const QByteArray& piece : pieces) {
        peer.socket->write(piece);
        QTest::qWait(20);
    }
    peer.socket->write("END\n");
    QTRY_VERIFY_WITH_TIMEOUT(peer.received.endsWith("END\n"), 5000);
    QCOMPARE(rig.of(rig.lastConnected()), QByteArrayList{"+"} + expected + QByteArrayList{"END"});
}

void TestControlServer::ninthClientRefused()
{
    Rig rig;
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 8; ++i) // alternating 127.0.0.1 and ::1 where both listen
        peers.push_back(std::make_unique<Peer>(rig.address(i), rig.server.port()));
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.clientCount(), 8, 5000);

    Peer ninth(rig.address(), rig.server.port());
    ninth.socket->write("*IDN?\n");
    QTRY_VERIFY_WITH_TIMEOUT(ninth.gone(), 5000);
    QCOMPARE(ninth.received, QByteArray("ERROR: too many clients (8)\n"));
    QCOMPARE(rig.server.clientCount(), 8);
    QCOMPARE(rig.events.size(), 8); // eight connected, and not a line from the ninth

    const quint64 highest = rig.lastConnected();
    peers.front()->socket->abort();
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.clientCount(), 7, 5000);
    Peer tenth(rig.address(), rig.server.port());
    tenth.socket->write("hello\n");
    QTRY_COMPARE_WITH_TIMEOUT(tenth.received, QByteArray("hello\n"), 5000);
    QVERIFY(rig.lastConnected() > highest); // ids are never reused
    QVERIFY(rig.orderly());
}

void TestControlServer::slowReaderDropped_data()
{
    QTest::addColumn<bool>("reads");
    QTest::newRow("never reads") << false;
    QTest::newRow("reads") << true;
}

void TestControlServer::slowReaderDropped()
{
    QFETCH(bool, reads);
    Rig rig(ControlServer::Limits{8, 64 * 1024, 256 * 1024});
    // A small read buffer that nobody empties: the kernel's buffers fill, then the server's.
    Peer peer(rig.address(), rig.server.port(), reads ? 0 : 4096);
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.clientCount(), 1, 5000);
    const quint64 id = rig.lastConnected();
    const QByteArray block(1 << 20, 'b');
    int accepted = 0;
    for (; accepted < 48 && rig.server.send(id, block); ++accepted) {
        if (reads)
            QTRY_COMPARE_WITH_TIMEOUT(peer.received.size(), (accepted + 1) * block.size(), 5000);
        else
            QTest::qWait(10);
    }
    QCOMPARE(accepted < 48, !reads);
    QCOMPARE(rig.server.clientCount(), reads ? 1 : 0);
    if (!reads) {
        QVERIFY(accepted >= 1); // one large reply is allowed while the backlog is small
        QCOMPARE(rig.of(id).last(), "-");
        peer.socket->setReadBufferSize(0); // reading again, it finds the connection cut
        QObject::connect(peer.socket.get(), &QTcpSocket::readyRead, peer.socket.get(),
                         [&peer] { peer.socket->readAll(); });
        QTRY_VERIFY_WITH_TIMEOUT(peer.gone(), 5000);
    }
}

void TestControlServer::vanishingClients()
{
    Rig rig;
    Peer midReply(rig.address(), rig.server.port());
    midReply.socket->write("BIG?\n");
    QTRY_VERIFY_WITH_TIMEOUT(!midReply.received.isEmpty(), 5000);
    midReply.socket->abort();
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.clientCount(), 0, 5000);

    // A hundred questions in one read, then gone: the answers pass the backlog limit at the
    // third, and the rest of the read must not reach the handler.
    Peer queued(rig.address(), rig.server.port());
    QTRY_VERIFY_WITH_TIMEOUT(queued.connected(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.clientCount(), 1, 5000);
    const quint64 queuedId = rig.lastConnected();
    queued.socket->write(QByteArray("BIG?\n").repeated(100));
    queued.socket->flush();
    queued.socket->abort();
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.clientCount(), 0, 5000);
    QCOMPARE(rig.of(queuedId).count("BIG?"), 3);

    Peer after(rig.address(), rig.server.port());
    after.socket->write("still here\n");
    QTRY_COMPARE_WITH_TIMEOUT(after.received, QByteArray("still here\n"), 5000);
    QVERIFY(rig.orderly());
}

void TestControlServer::closeFromHandler()
{
    Rig rig;
    Peer peer(rig.address(), rig.server.port());
    peer.socket->write("A\nBYE\nC\n");
    QTRY_VERIFY_WITH_TIMEOUT(peer.gone(), 5000);
    QCOMPARE(peer.received, QByteArray("A\nbye\n"));
    QCOMPARE(rig.of(rig.lastConnected()), (QByteArrayList{"+", "A", "BYE", "-"}));
    QCOMPARE(rig.sendsAfterClose, QList<bool>{false});
}

void TestControlServer::halfClosedClientGetsItsAnswers()
{
    Rig rig;
    Peer peer(rig.address(), rig.server.port());
    QTRY_VERIFY_WITH_TIMEOUT(peer.connected(), 5000);
    peer.socket->write("A\nB\n");
    peer.socket->flush();
    ::shutdown(peer.socket->socketDescriptor(), SHUT_WR);
    QTRY_VERIFY_WITH_TIMEOUT(peer.gone(), 5000);
    QCOMPARE(peer.received, QByteArray("A\nB\n"));
}

// A line left unfinished for 30 s is given up, and so is its rest when it comes; the next line
// is taken as usual.
void TestControlServer::unfinishedLineTimesOut()
{
    Rig rig;
    Peer peer(rig.address(), rig.server.port());
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.clientCount(), 1, 5000);
    peer.socket->write("*ID");
    QTest::qWait(50);
    rig.clock.elapse(29);
    peer.socket->write("N");
    QTest::qWait(50);
    rig.clock.elapse(0.9);
    QCOMPARE(rig.of(rig.lastConnected()), QByteArrayList{"+"});
    rig.clock.elapse(1.2);
    QCOMPARE(rig.of(rig.lastConnected()), (QByteArrayList{"+", "!timeout"}));
    peer.socket->write("?\nGOOD\n");
    QTRY_COMPARE_WITH_TIMEOUT(peer.received, QByteArray("GOOD\n"), 5000);
    QCOMPARE(rig.of(rig.lastConnected()), (QByteArrayList{"+", "!timeout", "GOOD"}));
}

// All places taken: a newcomer gets the place of the client that has sent no complete line
// for longest, once that is a minute; the client is told why. Before that, the refusal stands.
void TestControlServer::idleClientMakesRoomForANewOne()
{
    Rig rig;
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 8; ++i) {
        peers.push_back(std::make_unique<Peer>(rig.address(), rig.server.port()));
        QTRY_COMPARE_WITH_TIMEOUT(rig.server.clientCount(), i + 1, 5000);
        rig.clock.elapse(1); // the first to connect has been idle longest
    }
    const quint64 first = rig.lastConnected() - 7;
    for (int i = 1; i < 8; ++i)
        peers[size_t(i)]->socket->write("*"); // a byte now and then, never a line end
    rig.clock.elapse(20);
    peers[0]->socket->write("busy\n");
    QTRY_COMPARE_WITH_TIMEOUT(peers[0]->received, QByteArray("busy\n"), 5000);

    rig.clock.elapse(25); // the slow ones came 45 to 52 s ago
    Peer early(rig.address(), rig.server.port());
    QTRY_VERIFY_WITH_TIMEOUT(early.gone(), 5000);
    QCOMPARE(early.received, QByteArray("ERROR: too many clients (8)\n"));

    rig.clock.elapse(10);
    Peer late(rig.address(), rig.server.port());
    late.socket->write("hello\n");
    QTRY_COMPARE_WITH_TIMEOUT(late.received, QByteArray("hello\n"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(peers[1]->gone(), 5000);
    QCOMPARE(peers[1]->received,
             QByteArray("ERROR: closed to make room for a new client: no complete line for 60 s\n"));
    QCOMPARE(rig.of(first + 1).last(), "-");
    QVERIFY(peers[0]->connected());
    QCOMPARE(rig.server.clientCount(), 8);
    QVERIFY(rig.orderly());
}

// Input held back by the command layer waits, then comes in the order it was sent.
void TestControlServer::readingHeldBackKeepsTheOrder()
{
    Rig rig;
    Peer peer(rig.address(), rig.server.port());
    peer.socket->write("A\nHOLD\nB\nC\n");
    QTRY_VERIFY_WITH_TIMEOUT(!peer.received.isEmpty(), 5000);
    QTest::qWait(30);
    QCOMPARE(rig.of(rig.lastConnected()), (QByteArrayList{"+", "A", "HOLD"}));
    QTRY_COMPARE_WITH_TIMEOUT(peer.received, QByteArray("A\nHOLD\nB\nC\n"), 5000);
    QCOMPARE(rig.of(rig.lastConnected()), (QByteArrayList{"+", "A", "HOLD", "B", "C"}));
}

QTEST_MAIN(TestControlServer)
#include "tst_controlserver.moc"
