/// @brief The update check's decisions over a scripted web directory (every outcome, the gates, the prompt, the
/// rejection of anything unsigned or altered), and what it reads: signatures made by the minisign tool, the program
/// list, the version block on disk.
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "tests/common/fakes.h"
#include "tests/update/fakeupdateplatform.h"
#include "tests/update/testsigner.h"
#include "tests/update/updatefixtures.h"
#include "update/minisignverifier.h"
#include "update/updateaddress.h"
#include "update/updateroutine.h"
#include "update/versionblock.h"
#include "update/versionfile.h"

#include <QLocale>
#include <QSignalSpy>
#include <QtTest>
#include <memory>

using namespace updatefixtures;
using Answer = MessageBoxes::Answer;
using Served = FakeUpdatePlatform::Served;

namespace {

const QString kBase = QStringLiteral("http://127.0.0.1:1/updates/");
const QString kFolder = QFileInfo(QStringLiteral("/opt/tallyscope")).absoluteFilePath(); // the fake platform's
const QString kDateName = QStringLiteral("tallyscope: Auto Update Date");
const QString kSwitchName = QStringLiteral("tallyscope: Auto Updates");

QString errorStatus(int n)
{
    return QString::number(n)
           + QStringLiteral(": Error, where error number has 10 added to it (e.g. error #10 returns 20).");
}
QString today(const FakeClock& clock, int daysAgo = 0)
{
    return QLocale().toString(clock.now.date().addDays(-daysAgo), QLocale::ShortFormat);
}

struct Rig {
    explicit Rig(const TestSigner& s, const QString& key) : signer(s), routine(platform, settings, boxes, clock, key)
    {
        platform.clock = &clock;
        platform.block = versionBlock(QStringLiteral("1.00.0008"));
    }

    void publish(const QString& version, const QString& comment = QString())
    {
        const QByteArray digests = digestLine(exe, QStringLiteral("tallyscope"))
                                   + digestLine(updater, QStringLiteral("tallyscope-updater"));
        serveVersionFile(versionFile(version, comment, digests));
        platform.serve(base + QStringLiteral("tallyscope"), {exe, true});
        platform.serve(base + QStringLiteral("tallyscope-updater"), {updater, true});
    }
    void serveVersionFile(const QByteArray& text, const QByteArray& signature = {})
    {
        platform.serve(base + QStringLiteral("tallyscope.ver"), {text});
        platform.serve(base + QStringLiteral("tallyscope.ver.minisig"),
                       {signature.isEmpty() ? signer.sign(text, false, trustedComment(text)) : signature});
    }
    QString stored(const QString& name) const
    {
        QString v;
        return settings.ReadRegValue(settingskeys::Updater, name, v), v;
    }
    QStringList titles() const
    {
        QStringList t;
        for (const auto& b : boxes.shown)
            t << b.title;
        return t;
    }
    Served& route(const char* name) { return platform.routes[base + QLatin1String(name)]; }

    /// The status text, "0" when the program was asked to end, "<timeout>" when neither came.
    QString run(int mode, const QString& url = kBase)
    {
        QSignalSpy done(&routine, &UpdateRoutine::finished);
        QSignalSpy ended(&routine, &UpdateRoutine::endProgramRequested);
        if (!routine.UpdateThisApp(UpdateCheckMode(mode), url))
            return QStringLiteral("<refused>");
        if (!QTest::qWaitFor([&] { return !done.isEmpty() || !ended.isEmpty(); }, 5000))
            return QStringLiteral("<timeout>");
        return ended.isEmpty() ? done.first().first().toString() : QStringLiteral("0");
    }

    const TestSigner& signer;
    QString base = kBase;
    QByteArray exe = program(3000, 'A');
    QByteArray updater = program(2500, 'U');
    FakeUpdatePlatform platform;
    MemorySettingsBackend backend;
    SettingsStore settings{backend};
    FakeMessageBoxes boxes;
    FakeClock clock;
    UpdateRoutine routine;
};

enum Scenario {
    Latest,
    Offered,
    Comment,
    NoMarker,
    ErrorPage,
    SwitchedOff,
    ExeMissing,
    UpdaterMissing,
    NoTask,
    CheckedToday,
    HandOver,
    VersionTimeout,
    NoContentLength,
    NoVersionBlock,
    CommentsAtEnd,
    ProbeTimeout,
    DownloadFails,
    WriteFails,
    StartFails,
    WindowsNames,
    ProbeTooShort,
    ProbeLongEnough,
    CheckedYesterday,
    CheckedAYearAgo,
    NoDate
};

} // namespace

class TestUpdateRoutine : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TestSigner> m_signer;

private slots:
    void initTestCase()
    {
        m_signer = std::make_unique<TestSigner>();
        QVERIFY2(m_signer->isValid(), "the minisign tool is needed to sign the tests' version files");
    }

    void outcomes_data()
    {
        QTest::addColumn<int>("scenario");
        QTest::addColumn<int>("mode");
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<bool>("dateWritten");

        const QString prompt = QStringLiteral("tallyscope - Update Available");
        const QString problem = QStringLiteral("tallyscope - Problem updating");
        QTest::newRow("1 same version") << int(Latest) << 0 << Answer::Yes << "1: Already using the latest version."
                                        << QStringList{} << true;
        QTest::newRow("2 newer version offered, No")
            << int(Offered) << 0 << Answer::No << "2: Update available but turned down." << QStringList{prompt} << true;
        QTest::newRow("3 Cancel switches automatic checks off")
            << int(Offered) << 0 << Answer::Cancel << "3: Told to not do automatic updates." << QStringList{prompt}
            << true;
        QTest::newRow("3 with a comment, asked by the user")
            << int(Comment) << 1 << Answer::Cancel << "3: Told to not do automatic updates." << QStringList{prompt}
            << true;
        QTest::newRow("4 LF-only version file")
            << int(NoMarker) << 1 << Answer::Yes << "4: Can't find the file or the version info in the file."
            << QStringList{} << true;
        QTest::newRow("4 error page instead of the file")
            << int(ErrorPage) << 0 << Answer::Yes << "4: Can't find the file or the version info in the file."
            << QStringList{} << true;
        QTest::newRow("5 told not to check")
            << int(SwitchedOff) << 0 << Answer::Yes << "5: Told not to automatically check." << QStringList{} << false;
        QTest::newRow("6 executable missing")
            << int(ExeMissing) << 0 << Answer::Yes << "6: Can't download the new file." << QStringList{prompt, problem}
            << true;
        // A program really on the server comes back as binary with its true size, at least 2000 bytes.
        QTest::newRow("6 probe says 1999 bytes")
            << int(ProbeTooShort) << 0 << Answer::Yes << "6: Can't download the new file."
            << QStringList{prompt, problem} << true;
        QTest::newRow("0 probe says 2000 bytes")
            << int(ProbeLongEnough) << 0 << Answer::Yes << "0" << QStringList{prompt} << true;
        QTest::newRow("6 probe timed out, no time-out notice")
            << int(ProbeTimeout) << 1 << Answer::Yes << "6: Can't download the new file."
            << QStringList{prompt, problem} << true;
        QTest::newRow("7 changeover program missing")
            << int(UpdaterMissing) << 0 << Answer::Yes << "7: Can't download the changeover app."
            << QStringList{prompt, problem} << true;
        QTest::newRow("8 no task") << int(NoTask) << 0 << Answer::Yes << "8: Could not run the changeover app."
                                   << QStringList{prompt} << true;
        QTest::newRow("9 checked today, although switched off too")
            << int(CheckedToday) << 0 << Answer::Yes << "9: Already checked today." << QStringList{} << true;
        QTest::newRow("checked today, asked by the user")
            << int(CheckedToday) << 1 << Answer::No << "2: Update available but turned down." << QStringList{prompt}
            << true;
        QTest::newRow("checked yesterday") << int(CheckedYesterday) << 0 << Answer::No
                                           << "2: Update available but turned down." << QStringList{prompt} << true;
        QTest::newRow("checked a year ago today")
            << int(CheckedAYearAgo) << 0 << Answer::No << "2: Update available but turned down." << QStringList{prompt}
            << true;
        QTest::newRow("stored date is no date")
            << int(NoDate) << 0 << Answer::No << "2: Update available but turned down." << QStringList{prompt} << true;
        QTest::newRow("0 hand-over") << int(HandOver) << 1 << Answer::Yes << "0" << QStringList{prompt} << true;
        QTest::newRow("0 hand-over with .exe names")
            << int(WindowsNames) << 1 << Answer::Yes << "0" << QStringList{prompt} << true;
        QTest::newRow("time-out, asked by the user: notice")
            << int(VersionTimeout) << 1 << Answer::Yes << errorStatus(35771)
            << QStringList{QStringLiteral("Form1 - Updating")} << false;
        QTest::newRow("time-out, automatic: no notice")
            << int(VersionTimeout) << 0 << Answer::Yes << errorStatus(35771) << QStringList{} << false;
        QTest::newRow("time-out, mode 2: no notice")
            << int(VersionTimeout) << 2 << Answer::Yes << errorStatus(35771) << QStringList{} << false;
        QTest::newRow("no Content-length")
            << int(NoContentLength) << 0 << Answer::Yes << errorStatus(23) << QStringList{} << false;
        QTest::newRow("no version information")
            << int(NoVersionBlock) << 0 << Answer::Yes << errorStatus(15) << QStringList{} << false;
        QTest::newRow("file ends right after [comments]")
            << int(CommentsAtEnd) << 0 << Answer::Yes << errorStatus(15) << QStringList{} << true;
        QTest::newRow("binary download fails")
            << int(DownloadFails) << 0 << Answer::Yes << errorStatus(35774) << QStringList{prompt} << true;
        QTest::newRow("writing the download fails")
            << int(WriteFails) << 0 << Answer::Yes << errorStatus(85) << QStringList{prompt} << true;
        QTest::newRow("start fails with an error")
            << int(StartFails) << 0 << Answer::Yes << errorStatus(63) << QStringList{prompt} << true;
    }

    void outcomes()
    {
        QFETCH(int, scenario);
        QFETCH(int, mode);
        QFETCH(Answer, answer);
        QFETCH(QString, status);
        QFETCH(QStringList, titles);
        QFETCH(bool, dateWritten);

        Rig rig(*m_signer, m_signer->publicKey());
        rig.boxes.answer = answer;
        rig.publish(QStringLiteral("1.00.0009"));
        const QString downloaded = kFolder + QStringLiteral("/Downloaded Update");
        const QString changeover = kFolder + QStringLiteral("/tallyscope-updater");
        switch (Scenario(scenario)) {
        case Latest:
            rig.publish(QStringLiteral("1.00.0008"));
            break;
        case Comment:
            rig.publish(QStringLiteral("1.00.0009"), QStringLiteral("Faster calibration"));
            break;
        case NoMarker:
            rig.serveVersionFile("[version]\n1.00.0009\n");
            break;
        case ErrorPage:
            rig.platform.routes.clear();
            break;
        case SwitchedOff:
            rig.settings.WriteRegValue(settingskeys::Updater, kSwitchName, QStringLiteral("x"));
            break;
        case ExeMissing:
            rig.platform.routes.remove(kBase + QStringLiteral("tallyscope"));
            break;
        case UpdaterMissing:
            rig.platform.routes.remove(kBase + QStringLiteral("tallyscope-updater"));
            break;
        case NoTask:
            rig.platform.startTask = 0;
            break;
        case CheckedToday:
            rig.settings.WriteRegValue(settingskeys::Updater, kDateName, today(rig.clock));
            rig.settings.WriteRegValue(settingskeys::Updater, kSwitchName, QStringLiteral("Don't check for updates"));
            break;
        case CheckedYesterday:
            rig.settings.WriteRegValue(settingskeys::Updater, kDateName, today(rig.clock, 1));
            break;
        case CheckedAYearAgo:
            rig.settings.WriteRegValue(settingskeys::Updater, kDateName, today(rig.clock, 365));
            break;
        case NoDate:
            rig.settings.WriteRegValue(settingskeys::Updater, kDateName, QStringLiteral("soon"));
            break;
        case HandOver:
            rig.settings.WriteRegValue(settingskeys::Updater, kSwitchName, QStringLiteral("Don't check for updates"));
            break;
        case WindowsNames: {
            rig.platform.suffix = QStringLiteral(".exe");
            const QByteArray digests = digestLine(rig.exe, QStringLiteral("tallyscope.exe"))
                                       + digestLine(rig.updater, QStringLiteral("tallyscope-updater.exe"));
            rig.serveVersionFile(versionFile(QStringLiteral("1.00.0009"), {}, digests));
            rig.platform.serve(kBase + QStringLiteral("tallyscope.exe"), {rig.exe, true});
            rig.platform.serve(kBase + QStringLiteral("tallyscope-updater.exe"), {rig.updater, true});
            break;
        }
        case VersionTimeout:
            rig.route("tallyscope.ver").error = UpdateError::TimedOut;
            break;
        case NoContentLength:
            rig.route("tallyscope.ver").contentLength = QString();
            break;
        case NoVersionBlock:
            rig.platform.block.clear();
            break;
        case CommentsAtEnd:
            rig.serveVersionFile("[version]\r\n1.00.0009\r\n[comments]");
            break;
        case ProbeTimeout:
            rig.route("tallyscope").error = UpdateError::TimedOut;
            break;
        case DownloadFails:
            rig.route("tallyscope").binaryError = UpdateError::TransferFailed;
            break;
        case ProbeTooShort:
            rig.route("tallyscope").contentLength = QStringLiteral("1999");
            break;
        case ProbeLongEnough:
            rig.route("tallyscope").contentLength = QStringLiteral("2000");
            break;
        case WriteFails:
            rig.platform.writeError = UpdateError::FileAccess;
            break;
        case StartFails:
            rig.platform.startError = UpdateError(53);
            break;
        case Offered:
            break;
        }

        QCOMPARE(rig.run(mode), status);
        QCOMPARE(rig.titles(), titles);
        QCOMPARE(rig.stored(kDateName), dateWritten ? today(rig.clock) : QString());

        // Leftovers go first, on every run with an address, before any gate.
        const QString suffix = rig.platform.suffix;
        QCOMPARE(rig.platform.deleted.mid(0, 2), (QStringList{changeover + suffix, downloaded}));

        const bool handedOver = status == u"0";
        QCOMPARE(rig.platform.started.isEmpty(), !(handedOver || scenario == NoTask || scenario == StartFails));
        if (handedOver) {
            const QString digest = QString::fromLatin1(
                QCryptographicHash::hash(rig.exe, QCryptographicHash::Sha256).toHex());
            QCOMPARE(rig.platform.started.first(),
                     FakeUpdatePlatform::Started(changeover + suffix, {QStringLiteral("tallyscope"), digest}));
            QCOMPARE(rig.platform.files,
                     (QHash<QString, QByteArray>{{downloaded, rig.exe}, {changeover + suffix, rig.updater}}));
            QCOMPARE(rig.platform.executables, QStringList{changeover + suffix});
        }
        // Files are left for the changeover program, or for the next run's clean-up after an error.
        QCOMPARE(rig.platform.files.contains(downloaded), handedOver || scenario == StartFails);
        QCOMPARE(rig.platform.requests.isEmpty(), status.startsWith(u'5') || status.startsWith(u'9'));
        if (answer == Answer::Cancel || handedOver)
            QCOMPARE(rig.stored(kSwitchName), handedOver ? QString() : QStringLiteral("Don't check for updates"));
        if (scenario == ProbeTimeout || scenario == ExeMissing)
            QVERIFY(!rig.platform.requests.contains(kBase + QStringLiteral("tallyscope-updater")));
    }

    void rejectsWhatIsNotVouchedFor_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("status");

        const QString four = QStringLiteral("4: Can't find the file or the version info in the file.");
        QTest::newRow("flipped bit in the version file") << "version file" << four;
        QTest::newRow("missing signature") << "no signature" << four;
        QTest::newRow("trusted comment names another version") << "other version" << four;
        QTest::newRow("trusted comment names another file") << "other file" << four;
        QTest::newRow("minisign's own trusted comment") << "default comment" << four;
        QTest::newRow("forged Content-Length") << "forged length" << errorStatus(23);
        QTest::newRow("program listed without its size") << "no size"
                                                         << "6: Can't download the new file.";
        QTest::newRow("flipped bit in the executable") << "executable"
                                                       << "6: Can't download the new file.";
        QTest::newRow("executable without a digest") << "no executable digest"
                                                     << "6: Can't download the new file.";
        QTest::newRow("flipped bit in the changeover program") << "changeover"
                                                               << "7: Can't download the changeover app.";
        QTest::newRow("changeover program without a digest") << "no changeover digest"
                                                             << "7: Can't download the changeover app.";
    }

    void rejectsWhatIsNotVouchedFor()
    {
        QFETCH(QString, change);
        QFETCH(QString, status);

        Rig rig(*m_signer, m_signer->publicKey());
        rig.boxes.answer = Answer::Yes;
        rig.publish(QStringLiteral("1.00.0009"));
        auto& ver = rig.route("tallyscope.ver");
        auto& sig = rig.route("tallyscope.ver.minisig");
        const QByteArray exeOnly = digestLine(rig.exe, QStringLiteral("tallyscope"));
        const QByteArray updaterOnly = digestLine(rig.updater, QStringLiteral("tallyscope-updater"));
        if (change == u"version file")
            ver.body = flipBit(ver.body, ver.body.indexOf("1.00.0009") + 8);
        else if (change == u"no signature")
            rig.platform.routes.remove(kBase + QStringLiteral("tallyscope.ver.minisig"));
        else if (change == u"executable")
            rig.route("tallyscope").body = flipBit(rig.exe, 1000);
        else if (change == u"changeover")
            rig.route("tallyscope-updater").body = flipBit(rig.updater, 7);
        else if (change == u"no executable digest")
            rig.serveVersionFile(versionFile(QStringLiteral("1.00.0009"), {}, updaterOnly));
        else if (change == u"no changeover digest")
            rig.serveVersionFile(versionFile(QStringLiteral("1.00.0009"), {}, exeOnly));
        else if (change == u"other version")
            sig.body = m_signer->sign(ver.body, false, QStringLiteral("file:tallyscope.ver version:1.00.0010"));
        else if (change == u"other file")
            sig.body = m_signer->sign(ver.body, false, trustedComment(ver.body, QStringLiteral("other.ver")));
        else if (change == u"default comment")
            sig.body = m_signer->sign(ver.body);
        else if (change == u"forged length")
            ver.contentLength = QString::number(ver.body.size() - 5);
        else if (change == u"no size") {
            const QByteArray hex = QCryptographicHash::hash(rig.exe, QCryptographicHash::Sha256).toHex();
            rig.serveVersionFile(versionFile(QStringLiteral("1.00.0009"), {}, hex + "  tallyscope\r\n" + updaterOnly));
        }

        QCOMPARE(rig.run(1), status);
        QVERIFY(rig.platform.started.isEmpty());
        QVERIFY(rig.platform.files.isEmpty());
        // An unverified version file offers nothing: no prompt, no download.
        if (status.startsWith(u'4')) {
            QVERIFY(rig.boxes.shown.isEmpty());
            QCOMPARE(rig.platform.requests.filter(QStringLiteral("tallyscope-updater")), QStringList{});
            QVERIFY(!rig.platform.requests.contains(kBase + QStringLiteral("tallyscope")));
        }
    }

    // Only a newer version is offered, and the prompt names it with the comment line.
    void versionOrderAndPrompt_data()
    {
        QTest::addColumn<QString>("offered");
        QTest::addColumn<QString>("comment");
        QTest::addColumn<QString>("status");

        // The running version is 1.00.0008.
        const QString latest = QStringLiteral("1: Already using the latest version.");
        const QString offered = QStringLiteral("2: Update available but turned down.");
        const QString four = QStringLiteral("4: Can't find the file or the version info in the file.");
        QTest::newRow("same, written differently") << "1.0.8" << QString() << latest;
        QTest::newRow("older: a replayed version file") << "1.00.0007" << QString() << latest;
        QTest::newRow("newer by number, older as text") << "1.0.9" << QString() << offered;
        QTest::newRow("newer, fewer parts") << "2" << QString() << offered;
        QTest::newRow("newer, more parts, a comment") << "1.00.0008.1"
                                                      << "Fixes the range display." << offered;
        QTest::newRow("not a version") << "1.00.0009 beta" << QString() << four;
        QTest::newRow("empty part") << "1..9" << QString() << four;
    }

    void versionOrderAndPrompt()
    {
        QFETCH(QString, offered);
        QFETCH(QString, comment);
        QFETCH(QString, status);

        Rig rig(*m_signer, m_signer->publicKey());
        rig.boxes.answer = Answer::No;
        rig.publish(offered, comment);
        QCOMPARE(rig.run(0), status);
        QCOMPARE(rig.stored(kDateName), today(rig.clock));
        QCOMPARE(rig.boxes.shown.size(), status.startsWith(u'2') ? 1 : 0);
        if (rig.boxes.shown.isEmpty())
            return;
        const FakeMessageBoxes::Shown& box = rig.boxes.shown.first();
        QCOMPARE(box.text,
                 QStringLiteral("A newer version of tallyscope is available.\r\nIt is Version ") + offered + u'.'
                     + (comment.isNull() ? QString() : QStringLiteral("\r\n") + comment)
                     + QStringLiteral(
                         "\r\n\r\nNote that tallyscope will have to be restarted to update.  \r\n\r\n"
                         "Would you like to update?\r\nHit 'Cancel' to stop checking automatically for updates."));
        QCOMPARE(box.title, QStringLiteral("tallyscope - Update Available"));
        QVERIFY(box.buttons == MessageBoxes::Buttons::YesNoCancel && box.icon == MessageBoxes::Icon::Information);
    }

    void refusals_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("why"); // empty: the check goes ahead

        const QString base = QStringLiteral("http://127.0.0.1:1/updates/");
        QTest::newRow("no address, automatic") << 0 << QString() << ""
                                               << "address";
        QTest::newRow("no address, asked by the user") << 1 << QString() << ""
                                                       << "address";
        QTest::newRow("no key, automatic") << 0 << base << "no key"
                                           << "no key";
        QTest::newRow("plain HTTP to a name") << 1 << "http://localhost:1/updates/"
                                              << ""
                                              << "HTTPS";
        QTest::newRow("not HTTP at all") << 0 << "ftp://127.0.0.1/updates/"
                                         << ""
                                         << "HTTPS";
#ifdef Q_OS_WIN
        QTest::newRow("installed in Program Files, automatic") << 0 << base << "managed"
                                                               << "for all users";
#else
        QTest::newRow("installed under /usr, automatic") << 0 << base << "managed"
                                                         << "package manager";
#endif
        QTest::newRow("folder not writable") << 1 << base << "read-only"
                                             << "cannot be written";
        QTest::newRow("HTTPS") << 0 << "https://127.0.0.1:1/updates/"
                               << ""
                               << "";
        QTest::newRow("loopback, IPv6") << 0 << "http://[::1]:1/updates/"
                                        << ""
                                        << "";
        QTest::newRow("loopback, a slash is added") << 0 << "http://127.0.0.1:1/updates"
                                                    << ""
                                                    << "";
    }

    void refusals()
    {
        QFETCH(int, mode);
        QFETCH(QString, url);
        QFETCH(QString, setup);
        QFETCH(QString, why);

        Rig rig(*m_signer, setup == u"no key" ? QString() : m_signer->publicKey());
        if (setup == u"managed") {
#ifdef Q_OS_WIN
            rig.platform.folder = qEnvironmentVariable("ProgramFiles") + QStringLiteral("\\Tallyscope");
#else
            rig.platform.folder = QStringLiteral("/usr/bin");
#endif
        }
        rig.platform.writable = setup != u"read-only";
        rig.base = url.endsWith(u'/') ? url : url + u'/';
        rig.publish(QStringLiteral("1.00.0008"));
        const QString status = rig.run(mode, url);
        if (why.isEmpty()) {
            QCOMPARE(status, QStringLiteral("1: Already using the latest version."));
            QCOMPARE(rig.platform.requests.first(), rig.base + QStringLiteral("tallyscope.ver"));
            return;
        }
        QVERIFY2(status.contains(why), qPrintable(status));
        // No request, no clean-up, no date; only a check asked for by the user is told why.
        QVERIFY(rig.platform.requests.isEmpty() && rig.platform.deleted.isEmpty() && rig.backend.writeCount() == 0);
        QCOMPARE(rig.boxes.shown.size(), mode == 0 ? 0 : 1);
        QCOMPARE(rig.boxes.shown.value(0).text, mode == 0 ? QString() : status);
    }

    void redirectRule()
    {
        const struct {
            const char* from;
            const char* to;
            bool allowed;
        } cases[] = {
            {"https://a.example/u/", "https://b.example/u/x", true},
            {"https://a.example/u/", "http://127.0.0.1/x", false}, // down to HTTP, even loopback
            {"http://127.0.0.1/u/", "https://b.example/x", true},
            {"http://127.0.0.1/u/", "http://127.0.0.2:8080/x", true},
            {"http://127.0.0.1/u/", "http://localhost/x", false},
            {"http://[::1]/u/", "http://198.51.100.7/x", false},
        };
        for (const auto& c : cases)
            QVERIFY2(UpdateAddress::redirectAllowed(QUrl(QString::fromLatin1(c.from)), QUrl(QString::fromLatin1(c.to)))
                         == c.allowed,
                     c.to);
    }

    void transferLimits()
    {
        Rig rig(*m_signer, m_signer->publicKey());
        rig.boxes.answer = Answer::Yes;
        rig.publish(QStringLiteral("1.00.0009"));
        rig.route("tallyscope.ver").takes = 25;
        QCOMPARE(rig.run(0), QStringLiteral("0"));
        const auto& l = rig.platform.limitsAsked;
        QCOMPARE(l.size(), 6);
        // The small files share one deadline: the signature gets what the version file left.
        QCOMPARE(l[0].deadlineMs - l[1].deadlineMs, 25000);
        QCOMPARE(l[1].maxBytes, UpdateRoutine::SmallFileLimit);
        // The programs: probe and download bounded by the signed size, kept moving by the rate.
        for (int i = 2; i < 6; ++i) {
            QCOMPARE(l[i].maxBytes, i < 4 ? rig.exe.size() : rig.updater.size());
            QCOMPARE(l[i].deadlineMs, 0);
            QVERIFY(l[i].minBytesPerWindow > 0 && l[i].progressWindowMs > 0);
        }
    }

    // The prompt is answered from the event loop: the check runs on behind it and takes no second
    // start, and a routine gone by the time of the answer is not called.
    void promptAnsweredLater()
    {
        Rig rig(*m_signer, m_signer->publicKey());
        rig.boxes.holdAnswers = true;
        rig.publish(QStringLiteral("1.00.0009"));
        QSignalSpy done(&rig.routine, &UpdateRoutine::finished);
        QVERIFY(rig.routine.UpdateThisApp(UpdateCheckMode::Asked, kBase));
        QTRY_COMPARE(rig.boxes.openCount(), 1);
        QVERIFY(!rig.routine.UpdateThisApp(UpdateCheckMode::Asked, kBase) && rig.routine.isRunning());
        rig.boxes.answerNext(Answer::No);
        QVERIFY(done.wait(5000));
        QCOMPARE(done.first().first().toString(), QStringLiteral("2: Update available but turned down."));
        QCOMPARE(rig.platform.requests.size(), 2);

        auto gone = std::make_unique<UpdateRoutine>(rig.platform, rig.settings, rig.boxes, rig.clock,
                                                    m_signer->publicKey());
        QVERIFY(gone->UpdateThisApp(UpdateCheckMode::Asked, kBase));
        QTRY_COMPARE(rig.boxes.openCount(), 1);
        gone.reset();
        rig.boxes.answerNext(Answer::Yes);
        QCOMPARE(rig.platform.requests.size(), 4);
    }

    // Other spoilt bytes and keys are the fuzz harness's; here, the real tool's files.
    void signatureFromTheTool_data()
    {
        QTest::addColumn<bool>("legacy");
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("valid");

        for (bool legacy : {false, true}) {
            const char* f = legacy ? "legacy" : "prehashed";
            QTest::addRow("%s, untouched", f) << legacy << "" << true;
            QTest::addRow("%s, CR LF line ends", f) << legacy << "crlf" << true;
            QTest::addRow("%s, global signature bit", f) << legacy << "global" << false;
            QTest::addRow("%s, trusted comment", f) << legacy << "trusted" << false;
            QTest::addRow("%s, truncated file", f) << legacy << "truncated" << false;
        }
    }

    void signatureFromTheTool()
    {
        QFETCH(bool, legacy);
        QFETCH(QString, change);
        QFETCH(bool, valid);

        const QByteArray message = "[version]\r\n1.00.0009\r\n";
        QByteArray sig = m_signer->sign(message, legacy);
        QVERIFY(!sig.isEmpty());
        if (change == u"crlf")
            sig.replace("\n", "\r\n");
        else if (change == u"global")
            sig = updatefixtures::flipBit(sig, sig.lastIndexOf('\n', sig.size() - 2) + 20);
        else if (change == u"trusted")
            sig.replace("trusted comment: ", "trusted comment: x");
        else if (change == u"truncated")
            sig.truncate(sig.indexOf("trusted comment"));

        const MinisignVerifier verifier(m_signer->publicKey());
        QByteArray comment;
        QCOMPARE(verifier.verify(message, sig, &comment), valid);
        // What the signature vouches for comes out only when it verifies.
        QCOMPARE(comment.startsWith("timestamp:"), valid);
    }

    void keyForms()
    {
        const QByteArray message = "m";
        for (const QString& bad : {QString(), QStringLiteral("RW!!"), QStringLiteral("RWQAAAAAAAAAAAAA")}) {
            const MinisignVerifier verifier(bad);
            QVERIFY(!verifier.hasKey());
            QVERIFY(!verifier.verify(message, m_signer->sign(message)));
        }
        // The whole .pub file is as good as its key line.
        const MinisignVerifier fromFile(QStringLiteral("untrusted comment: minisign public key\n")
                                        + m_signer->publicKey() + u'\n');
        QVERIFY(fromFile.hasKey());
        QVERIFY(fromFile.verify(message, m_signer->sign(message)));
    }

    void digests_data()
    {
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size"); // 0: not listed

        const QByteArray hex(64, 'a');
        QTest::newRow("one blank") << "[sha256]\r\n" + hex + " 2000 tallyscope\r\n"
                                   << "tallyscope" << qint64(2000);
        QTest::newRow("tabs, binary-mode star") << "[sha256]\r\n" + hex + "\t123456789012345\t*tallyscope"
                                                << "tallyscope" << qint64(123456789012345);
        QTest::newRow("upper-case hex, second line")
            << "[sha256]\r\n" + QByteArray(64, 'b') + " 9 other\r\n" + hex.toUpper() + " 3000 tallyscope\r\n"
            << "tallyscope" << qint64(3000);
        QTest::newRow("other name only") << "[sha256]\r\n" + hex + " 2000 tallyscope-updater\r\n"
                                         << "tallyscope" << qint64(0);
        QTest::newRow("no size: the sha256sum form") << "[sha256]\r\n" + hex + "  tallyscope\r\n"
                                                     << "tallyscope" << qint64(0);
        QTest::newRow("a line without size ends the list")
            << "[sha256]\r\n" + hex + " other\r\n" + hex + " 2000 tallyscope\r\n"
            << "tallyscope" << qint64(0);
        QTest::newRow("63 digits") << "[sha256]\r\n" + hex.left(63) + " 2000 tallyscope\r\n"
                                   << "tallyscope" << qint64(0);
        QTest::newRow("list ends at a blank line") << "[sha256]\r\n\r\n" + hex + " 2000 tallyscope\r\n"
                                                   << "tallyscope" << qint64(0);
        QTest::newRow("LF-only lines") << "[sha256]\n" + hex + " 2000 tallyscope\n"
                                       << "tallyscope" << qint64(0);
    }

    void digests()
    {
        QFETCH(QByteArray, section);
        QFETCH(QString, name);
        QFETCH(qint64, size);

        const auto listed = VersionFile("[version]\r\n2\r\n" + section).listed(name);
        QCOMPARE(listed.has_value(), size > 0);
        if (listed) {
            QCOMPARE(listed->sha256, QByteArray(32, char(0xaa)));
            QCOMPARE(listed->size, size);
        }
    }

    void fileVersion_data()
    {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("version");

        QTest::newRow("49 characters") << versionBlock(QString(49, u'9')) << 0 << QString(49, u'9');
        QTest::newRow("50 characters: no NUL in reach") << versionBlock(QString(50, u'9')) << 5 << "";
        QTest::newRow("odd trailing byte ignored") << versionBlock(QStringLiteral("2.1")) + 'x' << 0 << "2.1";
    }

    void fileVersion()
    {
        QFETCH(QByteArray, block);
        QFETCH(int, error);
        QFETCH(QString, version);

        QString r;
        QCOMPARE(int(VersionBlock::fileVersion(block, r)), error);
        QCOMPARE(r, version);
    }

    void versionOfTheFileOnDisk()
    {
        // This test program links the update code, so the build put the version block into it.
        const QByteArray block = VersionBlock::readFromFile(QCoreApplication::applicationFilePath());
        QVERIFY(!block.isEmpty());
        QString version;
        QCOMPARE(VersionBlock::fileVersion(block, version), UpdateError::None);
        QCOMPARE(version, QStringLiteral("%1.%2.%3")
                              .arg(TALLYSCOPE_VERSION_MAJOR)
                              .arg(TALLYSCOPE_VERSION_MINOR, 2, 10, QChar(u'0'))
                              .arg(TALLYSCOPE_VERSION_PATCH, 4, 10, QChar(u'0')));
        QVERIFY(block.startsWith(VersionBlock::embedded().first(48)));

        // A file carrying no block, or none at all.
        QTemporaryDir dir;
        QVERIFY(writeAll(dir.filePath(QStringLiteral("plain")), QByteArray(5000, 'x')));
        QVERIFY(VersionBlock::readFromFile(dir.filePath(QStringLiteral("plain"))).isEmpty()
                && VersionBlock::readFromFile(dir.filePath(QStringLiteral("missing"))).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestUpdateRoutine)
#include "tst_updateroutine.moc"
