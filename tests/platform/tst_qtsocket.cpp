/// @brief The Qt socket behind the link's seam, on loopback: a second connect on a standing link and a send without one
/// leave it whole.
#include "platform/qtsocket.h"

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
};

QTEST_GUILESS_MAIN(TestQtSocket)
#include "tst_qtsocket.moc"
