/// @brief The update check against a hostile update server on loopback: a trickling one (1 byte every 2 s)
/// and a flooding one (an endless body), for the version file and for the program download. Prints
/// how long the check takes to give up (at start-up, the window appears only then) and how much
/// resident memory grows meanwhile.
#include "bench/benchutil.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "tests/common/fakes.h"
#include "tests/update/loopbackhttpserver.h"
#include "tests/update/testsigner.h"
#include "tests/update/updatefixtures.h"
#include "update/qtupdateplatform.h"
#include "update/updateroutine.h"
#include "update/versionblock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {

using Route = LoopbackHttpServer::Route;

// Each scenario is abandoned at these bounds, whatever the code under measure does.
constexpr int kScenarioSeconds = 60;
constexpr double kMemoryCapMiB = 512;

struct Figures {
    double seconds = 0;
    double growthMiB = 0;
    QString status;
    bool abandoned = false;
};

QByteArray digestLines(const QByteArray& bytes, const QString& name)
{
    // The sized form first, then the plain sha256sum form, so that older readers find theirs too.
    const QByteArray hex = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    return hex + ' ' + QByteArray::number(bytes.size()) + ' ' + name.toLatin1() + "\r\n";
}

Figures runScenario(const TestSigner& signer, const QString& fault)
{
    QTemporaryDir folder;
    const QString panel = folder.filePath(QStringLiteral("tallyscope"));
    {
        QFile f(panel);
        if (f.open(QIODevice::WriteOnly))
            f.write(QByteArray(100, '\0') + VersionBlock::embedded().toByteArray());
    }

    LoopbackHttpServer server;
    const QByteArray exe = updatefixtures::program(200 * 1024, 'N');
    const QByteArray updater = updatefixtures::program(100 * 1024, 'U');
    const QByteArray ver = QByteArray("[version]\r\n99.00.0000\r\n[sha256]\r\n")
                           + digestLines(exe, QStringLiteral("tallyscope"))
                           + digestLines(updater, QStringLiteral("tallyscope-updater"))
                           + updatefixtures::digestLine(exe, QStringLiteral("tallyscope"))
                           + updatefixtures::digestLine(updater, QStringLiteral("tallyscope-updater"));
    server.serve(QStringLiteral("tallyscope.ver"), Route{ver});
    server.serve(QStringLiteral("tallyscope.ver.minisig"),
                 Route{signer.sign(ver, false, QStringLiteral("file:tallyscope.ver version:99.00.0000"))});
    server.serve(QStringLiteral("tallyscope"), Route{exe});
    server.serve(QStringLiteral("tallyscope-updater"), Route{updater});
    const QString target = fault.startsWith(u"version")     ? QStringLiteral("tallyscope.ver")
                           : fault.startsWith(u"signature") ? QStringLiteral("tallyscope.ver.minisig")
                                                            : QStringLiteral("tallyscope");
    if (fault.endsWith(u"trickles")) {
        // The small files grow past their ends with blanks; the program stays exactly as signed.
        server.route(target).trickleMs = 2000;
        if (!fault.startsWith(u"program"))
            server.route(target).body.append(QByteArray(1000, ' '));
    } else {
        server.route(target).flood = true;
    }

    QtUpdatePlatform platform;
    platform.setExecutablePath(panel);
    MemorySettingsBackend backend;
    SettingsStore settings(backend);
    FakeMessageBoxes boxes;
    boxes.answer = MessageBoxes::Answer::Yes;
    FakeClock clock;
    auto routine = std::make_unique<UpdateRoutine>(platform, settings, boxes, clock, signer.publicKey());

    Figures f;
    const double before = benchutil::residentMiB();
    QEventLoop loop;
    QTimer sampler;
    sampler.setInterval(20);
    QObject::connect(&sampler, &QTimer::timeout, &loop, [&] {
        f.growthMiB = qMax(f.growthMiB, benchutil::residentMiB() - before);
        if (f.growthMiB > kMemoryCapMiB) {
            f.abandoned = true;
            loop.quit();
        }
    });
    QTimer::singleShot(kScenarioSeconds * 1000, &loop, [&] {
        f.abandoned = true;
        loop.quit();
    });
    QObject::connect(routine.get(), &UpdateRoutine::finished, &loop, [&](const QString& status) {
        f.status = status;
        loop.quit();
    });
    QObject::connect(routine.get(), &UpdateRoutine::endProgramRequested, &loop, [&] {
        f.status = QStringLiteral("0");
        loop.quit();
    });
    QElapsedTimer clockRun;
    clockRun.start();
    sampler.start();
    routine->UpdateThisApp(UpdateCheckMode::Automatic, server.baseUrl());
    loop.exec();
    f.seconds = clockRun.elapsed() / 1000.0;
    f.growthMiB = qMax(f.growthMiB, benchutil::residentMiB() - before);
    routine.reset();
    return f;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    TestSigner signer;
    if (!signer.isValid()) {
        std::fputs("bench_update: the minisign tool is needed to sign the version file\n", stderr);
        return 2;
    }
    std::printf("Update check against a hostile server on 127.0.0.1 (each scenario abandoned after %d s or %.0f MiB)\n",
                kScenarioSeconds, kMemoryCapMiB);
    std::printf("%-34s %10s %12s  %s\n", "scenario", "seconds", "RSS growth", "outcome");
    for (const char* fault : {"version file trickles", "version file floods", "signature trickles", "signature floods",
                              "program trickles", "program floods"}) {
        const Figures f = runScenario(signer, QString::fromLatin1(fault));
        std::printf("%-34s %10.1f %9.1f MiB  %s\n", fault, f.seconds, f.growthMiB,
                    f.abandoned ? "ABANDONED by the benchmark (no outcome)" : qPrintable(f.status.left(60)));
        std::fflush(stdout);
    }
    return 0;
}
