/// @brief The update over real HTTP on loopback (binary recognition, broken, trickling and flooding servers, redirects,
/// a full hand-over to the changeover program), and the changeover program's own decisions.
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "tests/common/fakes.h"
#include "tests/update/loopbackhttpserver.h"
#include "tests/update/testsigner.h"
#include "tests/update/updatefixtures.h"
#include "update/qtupdateplatform.h"
#include "update/updater/changeover.h"
#include "update/updateroutine.h"
#include "update/versionblock.h"

#include <QNetworkProxy>
#include <QSignalSpy>
#include <QtTest>
#include <memory>
#include <optional>

using namespace updatefixtures;
using Route = LoopbackHttpServer::Route;

namespace {

QString changeoverBuild()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/updater/tallyscope-updater") + exeSuffix();
}

} // namespace

class TestUpdateLoopback : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TestSigner> m_signer;

private slots:
    void initTestCase()
    {
        // Nothing may go anywhere but the loopback server, whatever the environment says.
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        m_signer = std::make_unique<TestSigner>();
        QVERIFY2(m_signer->isValid(), "the minisign tool is needed");
        QVERIFY2(QFileInfo(changeoverBuild()).isExecutable(), "tallyscope-updater must be built");
        QVERIFY2(!standInProgram(StandIn::Healthy).isEmpty(), "the stand-in panel program must be built");
    }

    void transfers_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<bool>("binaryMode");
        QTest::addColumn<int>("deadline");
        QTest::addColumn<int>("window"); // 10 bytes a window, or no rate
        QTest::addColumn<int>("error");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("contentLength");

        const QByteArray text = "[version]\r\n1.0\r\n";
        const QByteArray exe = program(2100, 'E');
        const QString n = QString::number(text.size());
        QTest::newRow("text as text") << "text" << false << 5000 << 0 << 0 << text << n;
        QTest::newRow("program as text: type mismatch, true size")
            << "exe" << false << 5000 << 0 << 13 << QByteArray() << "2100";
        QTest::newRow("program as bytes") << "exe" << true << 5000 << 0 << 0 << exe << "2100";
        QTest::newRow("error page is text, no error")
            << "missing" << false << 5000 << 0 << 0 << QByteArray("<html><body><h1>404 Not Found</h1></body></html>")
            << "48";
        QTest::newRow("no Content-Length") << "nolength" << false << 300 << 0 << 0 << text << "";
        QTest::newRow("stall: time-out") << "stall" << false << 300 << 0 << 35761 << QByteArray() << "";
        QTest::newRow("nobody listening") << "closed" << false << 300 << 0 << 35764 << QByteArray() << "";
        QTest::newRow("flood past the limit") << "flood" << true << 300 << 0 << 6 << QByteArray() << "";
        QTest::newRow("announced past the limit")
            << "announced" << false << 300 << 0 << 6 << QByteArray() << "99999999";
        QTest::newRow("trickle past the deadline") << "trickle" << false << 600 << 0 << 35761 << QByteArray() << n;
        QTest::newRow("trickle below the rate") << "trickle" << true << 0 << 400 << 35761 << QByteArray() << n;
        QTest::newRow("fast enough for the rate") << "text" << false << 5000 << 2000 << 0 << text << n;
        QTest::newRow("redirect on loopback") << "moved" << false << 5000 << 0 << 0 << text << n;
        QTest::newRow("redirect to a name, refused") << "away" << false << 300 << 0 << 35764 << QByteArray() << "0";
    }

    void transfers()
    {
        QFETCH(QString, route);
        QFETCH(bool, binaryMode);
        QFETCH(int, deadline);
        QFETCH(int, window);
        QFETCH(int, error);
        QFETCH(QByteArray, body);
        QFETCH(QString, contentLength);

        LoopbackHttpServer server;
        const QByteArray text = "[version]\r\n1.0\r\n";
        server.serve(QStringLiteral("text"), Route{text});
        server.serve(QStringLiteral("exe"), Route{program(2100, 'E')});
        server.serve(QStringLiteral("nolength"), Route{.body = text, .dropContentLength = true});
        server.serve(QStringLiteral("stall"), Route{.stall = true});
        server.serve(QStringLiteral("flood"), Route{.body = program(1000, 'F'), .flood = true});
        server.serve(QStringLiteral("announced"), Route{.body = text, .contentLength = "99999999"});
        server.serve(QStringLiteral("trickle"), Route{.body = text, .trickleMs = 100});
        server.serve(QStringLiteral("moved"), Route{.status = 302, .location = server.baseUrl().toLatin1() + "text"});
        // Were the redirect followed, it would still stay on this machine.
        server.serve(
            QStringLiteral("away"),
            Route{.status = 302,
                  .location = QStringLiteral("http://localhost:%1/updates/text").arg(server.port()).toLatin1()});
        QString url = server.baseUrl() + route;
        if (route == u"closed") {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            url = QStringLiteral("http://127.0.0.1:%1/x").arg(probe.serverPort());
            probe.close();
        }

        QtUpdatePlatform platform;
        // The trickle sends about 4 bytes in 400 ms; the whole text (16) comes at once.
        const UpdatePlatform::Limits limits{64 * 1024, deadline, window, window ? 10 : 0};
        std::optional<UpdatePlatform::HttpReply> reply;
        platform.request(url, binaryMode ? UpdatePlatform::HttpMode::Binary : UpdatePlatform::HttpMode::Text, limits,
                         [&reply](const UpdatePlatform::HttpReply& r) { reply = r; }, {});
        QVERIFY(!reply); // never inside request()
        QTRY_VERIFY_WITH_TIMEOUT(reply.has_value(), 10000);
        QCOMPARE(int(reply->error), error);
        QCOMPARE(reply->body, body);
        if (route != u"away")
            QCOMPARE(reply->contentLength, contentLength);
        QVERIFY(!server.requests.contains(QStringLiteral("/updates/text")) || route == u"text" || route == u"moved");
    }

    // The whole way over real HTTP: the files written with their executable bit, the changeover
    // program started, waiting for the panel, then putting the new program in place.
    void handOver()
    {
        ProgramFolder folder;
        QVERIFY(folder.ok);
        const QByteArray oldPanel = readAll(folder.panel());
        const QByteArray newPanel = standInProgram(StandIn::Healthy);
        // The panel the changeover program waits for: alive until the test ends it. It runs from
        // a folder of its own, so that the program being replaced is not held open by it.
        QTemporaryDir running;
        const QString runningPanel = running.filePath(QStringLiteral("tallyscope") + exeSuffix());
        QVERIFY(writeAll(runningPanel, standInProgram(StandIn::Waits), true));
        QProcess panel;
        panel.start(runningPanel, {});
        QVERIFY(panel.waitForStarted());

        LoopbackHttpServer server;
        const QByteArray updater = readAll(changeoverBuild());
        const QString panelName = QStringLiteral("tallyscope") + exeSuffix();
        const QString changeoverName = QStringLiteral("tallyscope-updater") + exeSuffix();
        const QByteArray ver = versionFile(QStringLiteral("1.00.0009"), {},
                                           digestLine(newPanel, panelName) + digestLine(updater, changeoverName));
        server.serve(QStringLiteral("tallyscope.ver"), Route{ver});
        server.serve(QStringLiteral("tallyscope.ver.minisig"), Route{m_signer->sign(ver, false, trustedComment(ver))});
        server.serve(panelName, Route{newPanel});
        server.serve(changeoverName, Route{updater});
        QtUpdatePlatform platform;
        platform.setExecutablePath(folder.panel());
        platform.setPanelPid(panel.processId());
        MemorySettingsBackend backend;
        SettingsStore settings{backend};
        FakeMessageBoxes boxes;
        boxes.answer = MessageBoxes::Answer::Yes;
        FakeClock clock;
        UpdateRoutine routine(platform, settings, boxes, clock, m_signer->publicKey());
        QSignalSpy ended(&routine, &UpdateRoutine::endProgramRequested);
        QVERIFY(routine.UpdateThisApp(UpdateCheckMode::Asked, server.baseUrl()));
        QVERIFY(ended.wait(20000));
        QVERIFY(QFileInfo(folder.path(changeoverName)).isExecutable());
        QCOMPARE(readAll(folder.path(QStringLiteral("Downloaded Update"))), newPanel);
        QCOMPARE(readAll(folder.panel()), oldPanel);
        panel.kill();
        QVERIFY(panel.waitForFinished());

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(folder.path(QStringLiteral("started"))), 15000);
        QVERIFY(readAll(folder.panel()) == newPanel && QFileInfo(folder.panel()).isExecutable());
        QVERIFY(!QFile::exists(folder.path(QStringLiteral("Downloaded Update"))));
        QTRY_VERIFY(!QFile::exists(folder.panel() + QStringLiteral(".old")));
        QVERIFY(readAll(folder.path(QStringLiteral("tallyscope-updater.log"))).contains("started it"));
    }

    // The changeover program's own decisions: what it refuses, the digest it checks, and when the old program comes
    // back.
    void changeover_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QByteArray>("logged");
        QTest::addColumn<bool>("replaced");
        QTest::addColumn<bool>("restarted");

        QTest::newRow("name with a path separator")
            << "../tallyscope" << QByteArray("Refused the program name") << false << false;
        QTest::newRow("digest that is no digest") << "bad digest" << QByteArray("Refused the digest") << false << false;
        QTest::newRow("download is a symbolic link out of the folder")
            << "link" << QByteArray("symbolic link") << false << false;
        QTest::newRow("nothing downloaded") << "none" << QByteArray("is missing") << false << false;
        QTest::newRow("download changed since the panel checked it")
            << "changed" << QByteArray("does not match") << false << false;
        QTest::newRow("new program does not start") << "broken" << QByteArray("could not be started") << false << true;
        QTest::newRow("new panel ends without a window")
            << "ends" << QByteArray("ended before its window") << false << true;
        QTest::newRow("new panel shows no window in time")
            << "hangs" << QByteArray("showed no window") << false << true;
        QTest::newRow("healthy start") << "healthy" << QByteArray("started healthily") << true << false;
        QTest::newRow("healthy start, called without a digest")
            << "no digest" << QByteArray("started healthily") << true << false;
    }

    void changeover()
    {
        QFETCH(QString, setup);
        QFETCH(QByteArray, logged);
        QFETCH(bool, replaced);
        QFETCH(bool, restarted);
#ifdef Q_OS_WIN
        if (setup == u"link")
            QSKIP("A symbolic link needs a privilege on Windows, and QFile::link makes a shortcut instead.");
#endif

        ProgramFolder folder;
        QVERIFY(folder.ok);
        const QByteArray oldPanel = readAll(folder.panel());
        // Nothing outside the program folder may change.
        QTemporaryDir outside;
        const QString outsideFile = outside.filePath(QStringLiteral("precious"));
        QVERIFY(writeAll(outsideFile, "outside"));

        const QString downloaded = folder.path(QStringLiteral("Downloaded Update"));
        QByteArray fresh = standInProgram(setup == u"ends"    ? StandIn::Ends
                                          : setup == u"hangs" ? StandIn::Hangs
                                                              : StandIn::Healthy);
        if (setup == u"broken")
            fresh = QByteArray(3000, '\x7f');
        if (setup == u"link")
            QVERIFY(QFile::link(outsideFile, downloaded));
        else if (setup != u"none")
            QVERIFY(writeAll(downloaded, fresh));

        Changeover::Settings settings;
        settings.folder = folder.dir.path();
        settings.programName = setup == u"../tallyscope" ? setup : QStringLiteral("tallyscope");
        settings.executableSuffix = exeSuffix();
        settings.sha256Hex = QString::fromLatin1(QCryptographicHash::hash(fresh, QCryptographicHash::Sha256).toHex());
        if (setup == u"bad digest")
            settings.sha256Hex = QStringLiteral("../../etc");
        else if (setup == u"no digest")
            settings.sha256Hex.clear();
        else if (setup == u"changed")
            QVERIFY(writeAll(downloaded, fresh + "more"));
        settings.healthyStartMs = 1500;

        std::optional<int> exitCode;
        Changeover changeover(settings, [&exitCode](int code) { exitCode = code; });
        changeover.start();
        QTRY_VERIFY_WITH_TIMEOUT(exitCode.has_value(), 10000);

        QCOMPARE(*exitCode, replaced ? 0 : 1);
        const QByteArray log = readAll(folder.path(QStringLiteral("tallyscope-updater.log")));
        QVERIFY2(log.contains(logged), log.constData());
        QCOMPARE(readAll(folder.panel()), replaced ? fresh : oldPanel);
        QVERIFY(!QFile::exists(folder.panel() + QStringLiteral(".old")));
        QCOMPARE(readAll(outsideFile), QByteArray("outside"));
        QTRY_COMPARE_WITH_TIMEOUT(QFile::exists(folder.path(QStringLiteral("restarted"))), restarted, 10000);
    }
};

QTEST_GUILESS_MAIN(TestUpdateLoopback)
#include "tst_updateloopback.moc"
