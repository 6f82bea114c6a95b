/// @brief The Qt socket behind the link's seam, on loopback: a second connect on a standing link and a send without one
/// leave it whole; a stream's held bytes come with a frame's catch-up or soon after; a peer's close is seen.
#include "platform/qtsocket.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <functional>

namespace {

/// The link's socket, and a server of the test's own on loopback to be its peer.
struct LoopbackLink {
    QTcpServer server;
    QtSocket link;
    QTcpSocket* peer = nullptr;

    /// Connects; false when the link did not come up within 5 s.
    bool connect()
    {
        if (!server.listen(QHostAddress::LocalHost, 0))
            return false;
        link.connectToHost(QStringLiteral("127.0.0.1"), server.serverPort());
        if (!QTest::qWaitFor([this] { return server.hasPendingConnections() && link.state() == Socket::Connected; },
                             5000))
            return false;
        peer = server.nextPendingConnection();
        return true;
    }
};

} // namespace

class TestQtSocket : public QObject {
    Q_OBJECT
private slots:
    // Qt takes a connect on a connected socket, or a write on a closed one, for an operation
    // error; neither may leave the link broken, or every later command would be dropped.
    void misuseNeverBreaksTheLink()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QtSocket link;
        QSignalSpy errors(&link, &Socket::errorOccurred);
        QVERIFY(!link.send("early"));
        QCOMPARE(link.state(), int(Socket::Closed));

        link.connectToHost(QStringLiteral("127.0.0.1"), server.serverPort());
        link.connectToHost(QStringLiteral("127.0.0.1"), server.serverPort()); // while connecting
        QTRY_COMPARE(link.state(), int(Socket::Connected));
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket* peer = server.nextPendingConnection();
        QVERIFY(!server.hasPendingConnections());
        link.connectToHost(QStringLiteral("127.0.0.1"), server.serverPort()); // while connected
        QCOMPARE(link.state(), int(Socket::Connected));
        QVERIFY(link.send("H"));
        QByteArray received;
        QTRY_VERIFY((received += peer->readAll()) == "H");
        QTest::qWait(50);
        QVERIFY(!server.hasPendingConnections()); // no second connection was made
        QCOMPARE(errors.size(), 0);
    }

    // A stream's bytes that follow a read closely wait in the kernel for a frame's catch-up, which
    // hands them on before it returns; without one they still come, and in order.
    void heldBytesComeWithTheCatchUpOrSoonAfter()
    {
        LoopbackLink pair;
        QtSocket& link = pair.link;
        QByteArray received;
        connect(&link, &Socket::dataArrived, [&](const QByteArray& bytes) { received += bytes; });
        QSignalSpy held(&link, &QtSocket::bytesHeld);
        QVERIFY(pair.connect());
        QTcpSocket* peer = pair.peer;

        QByteArray sent;
        // Writes `bytes` as soon as everything before has been read, and waits until they are held
        // (a loaded machine may take longer than the hold between the two: tried a few times).
        const auto processUntil = [](const std::function<bool()>& done) {
            QElapsedTimer waiting;
            waiting.start();
            while (!done() && waiting.elapsed() < 2000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            return done();
        };
        const auto sendAfterRead = [&](const QByteArray& bytes) {
            for (int attempt = 0; attempt < 20; ++attempt) {
                if (!processUntil([&] { return received == sent; }))
                    return false;
                const qsizetype before = held.size();
                peer->write(bytes);
                peer->waitForBytesWritten(1000);
                sent += bytes;
                if (processUntil([&] { return held.size() > before || received == sent; }) && held.size() > before)
                    return true;
            }
            return false;
        };
        peer->write("first;");
        sent += "first;";
        QVERIFY(sendAfterRead("second;"));
        QVERIFY(link.holding());
        QVERIFY(received != sent);
        link.catchUp();
        QCOMPARE(received, sent); // before anything else runs
        QVERIFY(!link.holding());

        // Without a catch-up the bytes wait no longer than the hold.
        QVERIFY(sendAfterRead("third;"));
        QElapsedTimer waited;
        waited.start();
        QTRY_COMPARE_WITH_TIMEOUT(received, sent, 2000);
        QVERIFY(waited.elapsed() >= QtSocket::HoldMs / 2);

        // Not allowed to hold (a run timed by its arrivals): held bytes come at once, and the
        // next ones are read as they come.
        QVERIFY(sendAfterRead("fourth;"));
        link.setHoldAllowed(false);
        QCOMPARE(received, sent);
        const qsizetype heldBefore = held.size();
        for (int i = 0; i < 5; ++i) {
            const QByteArray more = "more" + QByteArray::number(i) + ';';
            peer->write(more);
            sent += more;
            QTRY_COMPARE_WITH_TIMEOUT(received, sent, 2000);
        }
        QCOMPARE(held.size(), heldBefore);
    }

    // A link closed by whoever handles an arrival is left alone: the bytes behind are not read,
    // and a deliberate close is not reported as a broken link.
    void aCloseFromInsideAnArrivalEndsTheReading()
    {
        LoopbackLink pair;
        QtSocket& link = pair.link;
        int arrivals = 0;
        connect(&link, &Socket::dataArrived, [&] {
            ++arrivals;
            link.close();
        });
        QSignalSpy errors(&link, &Socket::errorOccurred);
        QVERIFY(pair.connect());
        QTcpSocket* peer = pair.peer;
        peer->write(QByteArray(4 * QtSocket::MaxArrivalBytes, 'R'));
        QTRY_COMPARE(arrivals, 1);
        QTest::qWait(50);
        QCOMPARE(arrivals, 1);
        QCOMPARE(errors.size(), 0);
        QCOMPARE(link.state(), int(Socket::Closed));
    }

    // Unbuffered, the end of the link shows only in a read: the peer's close must still be seen,
    // after the last bytes it sent.
    void aPeerThatClosesIsSeenAfterItsLastBytes()
    {
        LoopbackLink pair;
        QtSocket& link = pair.link;
        QByteArray received;
        connect(&link, &Socket::dataArrived, [&](const QByteArray& bytes) { received += bytes; });
        QSignalSpy errors(&link, &Socket::errorOccurred);
        QVERIFY(pair.connect());
        QTcpSocket* peer = pair.peer;
        peer->write("last words");
        peer->disconnectFromHost();
        QTRY_COMPARE(link.state(), int(Socket::Closing));
        QCOMPARE(received, QByteArray("last words"));
        QCOMPARE(errors.size(), 0);
        QVERIFY(!link.send("H"));
        link.close();
        QCOMPARE(link.state(), int(Socket::Closed));
    }
};

QTEST_GUILESS_MAIN(TestQtSocket)
#include "tst_qtsocket.moc"
