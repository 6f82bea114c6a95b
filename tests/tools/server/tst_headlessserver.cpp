/// @brief tallyscope-server's logic in process: it waits out an instrument that is not there yet, and a signal ends a
/// script's run with complete files.
#include "common/fakes.h"
#include "link/connectionmanager.h"
#include "measure/datafile.h"
#include "remote/controlport.h"
#include "remote/remotecontrol.h"
#include "session/instrumentsession.h"
#include "sim/instrumentsimulator.h"
#include "sim/simulatorsocket.h"
#include "tools/server/headlessserver.h"

#include "control/calibrationmodel.h"
#include "remote/controlserver.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace {

SimulatorConfig twentyThousandPerSecond()
{
    SimulatorConfig cfg;
    cfg.recordsPerSecond = 20000;
    return cfg;
}

/// A server on the in-process simulator, on a clock the test moves; what it says on stderr and
/// the exit code it ends with are kept.
struct Rig {
    FakeClock clock;
    InstrumentSimulator sim{twentyThousandPerSecond(), clock};
    SimulatorSocket socket{sim, clock};
    FakeMessageBoxes boxes;
    QTemporaryDir dir;
    QStringList err;
    HeadlessServer server{socket,
                          clock,
                          boxes,
                          {QStringLiteral("127.0.0.1"), 5025, dir.path(), ControlPortSettings{}},
                          [this](const QString& line) { err << line; }};
    std::optional<int> code;

    Rig()
    {
        sim.startInProcess();
        QObject::connect(&server, &HeadlessServer::finished, &server, [this](int c) { code = c; });
    }
};

} // namespace

class TestHeadlessServer : public QObject {
    Q_OBJECT
private slots:
    void reconnectsAndEndsARunCompleteOnASignal()
    {
        Rig rig;
        // Still starting: it refuses for 5 s, longer than one retry.
        rig.sim.refuseConnections(5000, InstrumentSimulator::RefuseMode::StopListening);
        FakeClock& clock = rig.clock;
        HeadlessServer& server = rig.server;
        const QTemporaryDir& dir = rig.dir;
        const std::optional<int>& code = rig.code;
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));

        RemoteControl& script = server.controlPort().control();
        QByteArray answers;
        // The transport is bypassed: a client id the server never gave out, answered through
        // a send that reaches no socket. What counts here is the session behind it.
        script.clientConnected(1000);
        const auto elapse = [&clock](double seconds) {
            for (double t = 0; t < seconds; t += 0.01)
                clock.elapse(0.01);
        };
        elapse(4);
        QCOMPARE(server.session().linkState().connected, false);
        elapse(8);
        QCOMPARE(server.session().linkState().connected, true);
        script.lineReceived(1000, "FILE ON;RUN ON");
        QVERIFY(server.session().isRunTicked());
        elapse(1);

        server.interrupt(15);
        QCOMPARE(code, std::optional<int>(0));
        QVERIFY(!server.session().dataFileState().open);
        const QString data = server.session().dataFileState().path;
        QVERIFY(data.startsWith(dir.path()));
        QFile sidecar(data.chopped(4) + QStringLiteral(".json"));
        QVERIFY(sidecar.open(QIODevice::ReadOnly));
        const QJsonObject description = QJsonDocument::fromJson(sidecar.readAll()).object();
        QVERIFY(description.value(QStringLiteral("complete")).toBool());
        QFile lines(data);
        QVERIFY(lines.open(QIODevice::ReadOnly));
        const qint64 written = lines.readAll().count('\n');
        QVERIFY(written > 10000);
        QCOMPARE(description.value(QStringLiteral("records")).toObject().value(QStringLiteral("written")).toInteger(),
                 written);
        QVERIFY2(rig.err.contains(QStringLiteral("Connected.")), qPrintable(rig.err.join(u'\n')));
    }

    // After a signal, connected clients may still fetch what was decoded after their last
    // fetch; new ones are not taken, nothing changes any more, and the server ends once every
    // client has fetched or the grace time is over.
    void clientsFetchTheTailAfterASignal()
    {
        Rig rig;
        FakeClock& clock = rig.clock;
        HeadlessServer& server = rig.server;
        const std::optional<int>& code = rig.code;
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        const quint16 port = server.controlPort().server().port();
        const auto elapse = [&clock](double seconds) {
            for (double t = 0; t < seconds; t += 0.01) {
                clock.elapse(0.01);
                QCoreApplication::processEvents();
            }
        };
        QTcpSocket fetcher, idle;
        fetcher.connectToHost(QHostAddress::LocalHost, port);
        idle.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(fetcher.waitForConnected(5000) && idle.waitForConnected(5000));
        QTRY_COMPARE(server.controlPort().clientCount(), 2);
        elapse(8);
        QVERIFY(server.session().calibrationShown().runGate);
        // One answer: a block of little-endian int32 and the line end, read whole.
        const auto fetch = [&](const QByteArray& line) {
            fetcher.write(line + '\n');
            QByteArray in;
            const auto whole = [&in] {
                const int digits = in.size() > 1 ? in.at(1) - '0' : 0;
                return in.size() > 2 + digits && in.size() >= 2 + digits + in.mid(2, digits).toLongLong() + 1
                       && in.endsWith('\n');
            };
            return QTest::qWaitFor(
                       [&] {
                in += fetcher.readAll();
                return whole();
                       },
                       5000)
                ? in
                : QByteArray("(no answer)");
        };
        const auto values = [](const QByteArray& block) { return (block.size() - 3 - (block.at(1) - '0')) / 4; };
        QCOMPARE(fetch("FILE ON;RUN ON;:FORM INT;:FETC:DT?"), QByteArray("#10\n"));
        elapse(1);
        const qint64 before = values(fetch("FETC:DT?"));
        QVERIFY(before > 10000);
        elapse(1);
        const QString data = server.session().dataFileState().path;

        server.interrupt(SIGTERM);
        QVERIFY(!server.session().isRunTicked() && !server.session().linkState().connected);
        QVERIFY(!code);
        QTcpSocket newcomer;
        newcomer.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!newcomer.waitForConnected(2000));
        const QByteArray tail = fetch("FETC:DT?;:RUN ON;RUN?");
        QVERIFY(tail.endsWith(";0\n"));
        QFile lines(data);
        QVERIFY(lines.open(QIODevice::ReadOnly));
        QCOMPARE(before + values(tail.chopped(2)), lines.readAll().count('\n'));

        // The idle client has fetched nothing: it is waited for, but not for long.
        elapse(HeadlessServer::ClosingGraceSeconds - 0.1);
        QVERIFY(!code);
        elapse(0.2);
        QCOMPARE(code, std::optional<int>(0));
    }
};

QTEST_GUILESS_MAIN(TestHeadlessServer)
#include "tst_headlessserver.moc"
