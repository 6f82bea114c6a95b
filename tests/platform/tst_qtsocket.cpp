/// @brief The Qt socket behind the link's seam, on loopback: a second connect on a standing link and a send without one
/// leave it whole; bytes held back to be read together all arrive.
#include "platform/qtsocket.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

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

    // Bytes that come soon after a read are held back and read together with what follows; the
    // last of a burst, with nothing behind it, still arrives, and in order.
    void heldBytesAllArrive()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QtSocket link;
        QByteArray received;
        connect(&link, &Socket::dataArrived, [&](const QByteArray& bytes) { received += bytes; });
        QSignalSpy held(&link, &QtSocket::bytesHeld);
        link.connectToHost(QStringLiteral("127.0.0.1"), server.serverPort());
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket* peer = server.nextPendingConnection();
        QTRY_COMPARE(link.state(), int(Socket::Connected));

        // A loaded machine may take longer than the gathering between two writes: tried a few times.
        QByteArray sent;
        for (int burst = 0; burst < 20 && held.isEmpty(); ++burst) {
            const QByteArray first = QByteArray::number(burst) + "-first;";
            const QByteArray second = QByteArray::number(burst) + "-second;";
            peer->write(first);
            QVERIFY(peer->waitForBytesWritten(1000));
            sent += first;
            // Turned over without pausing, so that the second write follows the read closely.
            QElapsedTimer waiting;
            waiting.start();
            while (received != sent && waiting.elapsed() < 2000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            QCOMPARE(received, sent);
            peer->write(second);
            QVERIFY(peer->waitForBytesWritten(1000));
            sent += second;
            // Nothing follows: the held bytes must not wait for more.
            QTRY_COMPARE_WITH_TIMEOUT(received, sent, 2000);
        }
        QVERIFY2(!held.isEmpty(), "no write came within the gathering time of the read before it");
        // And the link listens again: a later reply gets through too.
        peer->write("H");
        sent += "H";
        QTRY_COMPARE(received, sent);
    }
};

QTEST_GUILESS_MAIN(TestQtSocket)
#include "tst_qtsocket.moc"
