/// @brief UpdateRoutine: each step runs when the previous request has answered.
#include "update/updateroutine.h"

#include "platform/clock.h"
#include "platform/installlocation.h"
#include "platform/messagebox.h"
#include "platform/settingsstore.h"
#include "update/updateaddress.h"
#include "update/updater/changeover.h"
#include "update/versionblock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QPointer>
#include <QUrl>

namespace {

using HttpMode = UpdatePlatform::HttpMode;
using HttpReply = UpdatePlatform::HttpReply;

const QString kCrLf = QStringLiteral("\r\n");
const QString kDownloadedUpdate = QStringLiteral("Downloaded Update");
const QString kChangeoverProgram = QStringLiteral("tallyscope-updater");
const QString kDateValue = QStringLiteral(": Auto Update Date");
const QString kSwitchValue = QStringLiteral(": Auto Updates");

constexpr qint64 kSmallestProgram = 2000;

QString todayText(const QDate& today) { return QLocale().toString(today, QLocale::ShortFormat); }

} // namespace

UpdateRoutine::UpdateRoutine(UpdatePlatform& platform, SettingsStore& settings, MessageBoxes& boxes, const Clock& clock,
                             const QString& publicKey, QObject* parent)
    : QObject(parent), m_platform(platform), m_settings(settings), m_boxes(boxes), m_clock(clock), m_verifier(publicKey)
{}

QString UpdateRoutine::noAddressStatus() { return QStringLiteral("No update address is configured."); }

QString UpdateRoutine::refusal(const QString& baseUrl) const
{
    if (baseUrl.isEmpty())
        return noAddressStatus();
    if (!m_verifier.hasKey())
        return QStringLiteral("This build has no key to check updates with, so it never offers one.");
    if (!UpdateAddress::isAllowed(QUrl(baseUrl)))
        return QStringLiteral("The update address must use HTTPS: %1").arg(baseUrl);
    const QString folder = QFileInfo(m_platform.executablePath()).absolutePath();
    switch (installlocation::ownerOf(folder)) {
    case installlocation::Owner::PackageManager:
        return QStringLiteral("%1 was installed by the package manager; update it with the package manager.")
            .arg(programName());
    case installlocation::Owner::AllUsers:
        return QStringLiteral("%1 was installed for all users in %2; update it with a new installer.")
            .arg(programName(), QDir::toNativeSeparators(folder));
    case installlocation::Owner::User:
        break;
    }
    if (!m_platform.isWritableFolder(folder))
        return QStringLiteral("%1 cannot update itself: its folder %2 cannot be written.").arg(programName(), folder);
    return {};
}

void UpdateRoutine::reportHealthyStart()
{
    m_platform.deleteFile(
        inFolder(programName() + m_platform.executableSuffix() + QLatin1String(Changeover::BackupSuffix)));
}

QString UpdateRoutine::programName() const
{
    QString name = QFileInfo(m_platform.executablePath()).fileName();
    const QString suffix = m_platform.executableSuffix();
    if (!suffix.isEmpty() && name.endsWith(suffix, Qt::CaseInsensitive))
        name.chop(suffix.size());
    return name;
}

QString UpdateRoutine::changeoverFileName() const { return kChangeoverProgram + m_platform.executableSuffix(); }

QString UpdateRoutine::inFolder(const QString& fileName) const
{
    return QFileInfo(m_platform.executablePath()).absolutePath() + u'/' + fileName;
}

QString UpdateRoutine::settingName(const QString& suffix) const { return programName() + suffix; }

bool UpdateRoutine::UpdateThisApp(UpdateCheckMode checkMode, const QString& baseUrl)
{
    if (m_running)
        return false;
    m_running = true;
    m_checkMode = checkMode;
    m_baseUrl = baseUrl;
    m_versionBody.clear();
    m_trustedComment.clear();
    m_version.clear();

    // Where no update can succeed, nothing is asked of the network, and there is nothing to clean
    // up either: leftovers only exist after a hand-over, which needed all of these.
    if (const QString why = refusal(m_baseUrl); !why.isEmpty()) {
        if (m_checkMode != UpdateCheckMode::Automatic)
            notifyThenFinish(why, programName() + QStringLiteral(" - Updating"), MessageBoxes::Icon::Information, why);
        else
            finish(why);
        return true;
    }

    m_platform.deleteFile(inFolder(changeoverFileName()));
    m_platform.deleteFile(inFolder(kDownloadedUpdate));

    if (m_checkMode == UpdateCheckMode::Automatic) {
        if (checkedToday()) {
            finish(QStringLiteral("9: Already checked today."));
            return true;
        }
        QString off;
        if (m_settings.ReadRegValue(settingskeys::Updater, settingName(kSwitchValue), off)) {
            finish(QStringLiteral("5: Told not to automatically check."));
            return true;
        }
    }

    setBusy(true);
    if (!m_baseUrl.endsWith(u'/'))
        m_baseUrl += u'/';
    m_smallFilesStarted = m_clock.monotonicSeconds();
    fetch(m_baseUrl + programName() + QStringLiteral(".ver"), HttpMode::Text, smallFileLimits(),
          &UpdateRoutine::onVersionFile, false);
    return true;
}

bool UpdateRoutine::checkedToday() const
{
    QString stored;
    if (!m_settings.ReadRegValue(settingskeys::Updater, settingName(kDateValue), stored))
        return false;
    // A short format with a two-digit year reads back a century early, hence the text
    // comparison; a text that is no date at all counts as "not today", and the check runs.
    const QDate today = m_clock.localNow().date();
    return stored == todayText(today) || QLocale().toDate(stored, QLocale::ShortFormat) == today;
}

void UpdateRoutine::recordCheckDate()
{
    m_settings.WriteRegValue(settingskeys::Updater, settingName(kDateValue), todayText(m_clock.localNow().date()));
}

UpdatePlatform::Limits UpdateRoutine::smallFileLimits() const
{
    // The version file and its signature share one deadline: at start-up the window waits for both.
    const double spent = m_clock.monotonicSeconds() - m_smallFilesStarted;
    UpdatePlatform::Limits l;
    l.maxBytes = SmallFileLimit;
    l.deadlineMs = qMax(1, m_timing.smallFileDeadlineMs - int(qBound(0.0, spent, 1e6) * 1000));
    return l;
}

UpdatePlatform::Limits UpdateRoutine::programLimits(qint64 size) const
{
    UpdatePlatform::Limits l;
    l.maxBytes = size;
    l.progressWindowMs = m_timing.progressWindowMs;
    // A download that ends part-way through a window is never held to that window's share.
    l.minBytesPerWindow = m_timing.minBytesPerSecond * m_timing.progressWindowMs / 1000;
    return l;
}

void UpdateRoutine::fetch(const QString& url, HttpMode mode, const UpdatePlatform::Limits& limits, Step next,
                          bool download)
{
    QPointer<UpdateRoutine> self(this);
    UpdatePlatform::ProgressHandler progress;
    if (download) {
        m_downloading = true;
        emit downloadStarted(QUrl(url).fileName());
        progress = [self](qint64 received, qint64 total) {
            if (self)
                emit self->downloadProgress(received, total);
        };
    }
    m_platform.request(
        url, mode, limits,
        [self, next](const HttpReply& reply) {
        if (self)
            (self->*next)(reply);
        },
        progress);
}

void UpdateRoutine::onVersionFile(const HttpReply& reply)
{
    if (reply.error != UpdateError::None)
        return failWith(reply.error);
    m_versionBody = reply.body;
    m_contentLength = reply.contentLength;
    m_versionFile = VersionFile(reply.body);
    if (m_versionFile.versionMarker() == 0)
        return versionInfoMissing();
    fetch(m_baseUrl + programName() + QStringLiteral(".ver.minisig"), HttpMode::Text, smallFileLimits(),
          &UpdateRoutine::onSignature, false);
}

void UpdateRoutine::onSignature(const HttpReply& reply)
{
    if (reply.error != UpdateError::None)
        return failWith(reply.error);
    // A missing signature arrives as the server's error page, which verifies no better than a
    // forged one.
    if (!m_verifier.verify(m_versionBody, reply.body, &m_trustedComment))
        return versionInfoMissing();
    compareAndPrompt();
}

void UpdateRoutine::versionInfoMissing()
{
    recordCheckDate();
    finish(QStringLiteral("4: Can't find the file or the version info in the file."));
}

void UpdateRoutine::compareAndPrompt()
{
    // The header is only checked: what the file says comes from its signed bytes alone.
    qint64 length = 0;
    if (const UpdateError e = VersionFile::lengthValue(m_contentLength, length); e != UpdateError::None)
        return failWith(e);
    if (length != m_versionBody.size())
        return failWith(UpdateError::TypeMismatch);
    m_version = m_versionFile.advertisedVersion();
    // The signature vouches for this file of this program at this version, not just for some
    // bytes once signed with the key.
    if (!VersionFile::trustedCommentNames(m_trustedComment, programName() + QStringLiteral(".ver"), m_version))
        return versionInfoMissing();

    const QString executable = inFolder(programName() + m_platform.executableSuffix());
    QString running;
    if (const UpdateError e = VersionBlock::fileVersion(m_platform.versionBlock(executable), running);
        e != UpdateError::None)
        return failWith(e);

    recordCheckDate();
    const auto runningParts = VersionFile::versionParts(running);
    if (!runningParts)
        return failWith(UpdateError::TypeMismatch);
    const auto offered = VersionFile::versionParts(m_version);
    if (!offered)
        return finish(QStringLiteral("4: Can't find the file or the version info in the file."));
    // Only a newer version is offered: an old, validly signed version file served again must not
    // bring back an old program.
    if (VersionFile::compareVersions(*offered, *runningParts) <= 0)
        return finish(QStringLiteral("1: Already using the latest version."));

    QString comment;
    if (const UpdateError e = m_versionFile.comment(comment); e != UpdateError::None)
        return failWith(e);

    const QString n = programName();
    QString text = QStringLiteral("A newer version of ") + n + QStringLiteral(" is available.") + kCrLf
                   + QStringLiteral("It is Version ") + m_version + u'.';
    if (!comment.isEmpty())
        text += kCrLf + comment;
    text += kCrLf + kCrLf + QStringLiteral("Note that ") + n + QStringLiteral(" will have to be restarted to update.  ")
            + kCrLf + kCrLf + QStringLiteral("Would you like to update?") + kCrLf
            + QStringLiteral("Hit 'Cancel' to stop checking automatically for updates.");

    // The check stays running while the prompt is up, so no second one can start behind it.
    QPointer<UpdateRoutine> self(this);
    m_boxes.show(text, n + QStringLiteral(" - Update Available"), MessageBoxes::Buttons::YesNoCancel,
                 MessageBoxes::Icon::Information, [self](MessageBoxes::Answer answer) {
                     if (self)
                         self->onPromptAnswer(answer);
                 });
}

void UpdateRoutine::onPromptAnswer(MessageBoxes::Answer answer)
{
    switch (answer) {
    case MessageBoxes::Answer::Yes:
        fetchExecutable();
        return;
    case MessageBoxes::Answer::No:
        return finish(QStringLiteral("2: Update available but turned down."));
    default:
        m_settings.WriteRegValue(settingskeys::Updater, settingName(kSwitchValue),
                                 QStringLiteral("Don't check for updates"));
        return finish(QStringLiteral("3: Told to not do automatic updates."));
    }
}

bool UpdateRoutine::probeAccepted(const HttpReply& reply)
{
    // A program really on the server cannot come back as text and has its true size; a missing
    // one comes back as a short error page, which is text.
    qint64 size = 0;
    return reply.error == UpdateError::TypeMismatch
           && VersionFile::lengthValue(reply.contentLength, size) == UpdateError::None && size >= kSmallestProgram;
}

void UpdateRoutine::fetchExecutable()
{
    setBusy(true);
    const QString name = programName() + m_platform.executableSuffix();
    // Without a digest and a size to hold the bytes against, nothing is worth downloading.
    const auto listed = m_versionFile.listed(name);
    if (!listed)
        return rejectExecutable();
    m_executable = *listed;
    fetch(m_baseUrl + name, HttpMode::Text, programLimits(m_executable.size), &UpdateRoutine::onExecutableProbe, true);
}

void UpdateRoutine::onExecutableProbe(const HttpReply& reply)
{
    if (!probeAccepted(reply))
        return rejectExecutable();
    fetch(m_baseUrl + programName() + m_platform.executableSuffix(), HttpMode::Binary, programLimits(m_executable.size),
          &UpdateRoutine::onExecutable, true);
}

void UpdateRoutine::onExecutable(const HttpReply& reply)
{
    if (reply.error != UpdateError::None)
        return failWith(reply.error);
    if (QCryptographicHash::hash(reply.body, QCryptographicHash::Sha256) != m_executable.sha256)
        return rejectExecutable();
    if (const UpdateError e = m_platform.writeFile(inFolder(kDownloadedUpdate), reply.body, false);
        e != UpdateError::None)
        return failWith(e);
    fetchChangeover();
}

void UpdateRoutine::fetchChangeover()
{
    const auto listed = m_versionFile.listed(changeoverFileName());
    if (!listed)
        return rejectChangeover();
    m_changeover = *listed;
    fetch(m_baseUrl + changeoverFileName(), HttpMode::Text, programLimits(m_changeover.size),
          &UpdateRoutine::onChangeoverProbe, true);
}

void UpdateRoutine::onChangeoverProbe(const HttpReply& reply)
{
    if (!probeAccepted(reply))
        return rejectChangeover();
    fetch(m_baseUrl + changeoverFileName(), HttpMode::Binary, programLimits(m_changeover.size),
          &UpdateRoutine::onChangeover, true);
}

void UpdateRoutine::onChangeover(const HttpReply& reply)
{
    if (reply.error != UpdateError::None)
        return failWith(reply.error);
    if (QCryptographicHash::hash(reply.body, QCryptographicHash::Sha256) != m_changeover.sha256)
        return rejectChangeover();
    if (const UpdateError e = m_platform.writeFile(inFolder(changeoverFileName()), reply.body, true);
        e != UpdateError::None)
        return failWith(e);
    handOver();
}

void UpdateRoutine::handOver()
{
    endDownloads();
    UpdateError error = UpdateError::None;
    // The changeover program checks the new program against this digest once more, just before it
    // puts it in place.
    const qint64 task = m_platform.startProcess(inFolder(changeoverFileName()),
                                                {programName(), QString::fromLatin1(m_executable.sha256.toHex())},
                                                error);
    if (task > 0) {
        m_settings.DeleteRegValue(settingskeys::Updater, settingName(kSwitchValue));
        setBusy(false);
        m_running = false;
        QMetaObject::invokeMethod(this, &UpdateRoutine::endProgramRequested, Qt::QueuedConnection);
        return;
    }
    if (error != UpdateError::None)
        return failWith(error);
    m_platform.deleteFile(inFolder(changeoverFileName()));
    m_platform.deleteFile(inFolder(kDownloadedUpdate));
    finish(QStringLiteral("8: Could not run the changeover app."));
}

void UpdateRoutine::rejectExecutable()
{
    m_platform.deleteFile(inFolder(kDownloadedUpdate));
    setBusy(false);
    endDownloads();
    notifyThenFinish(QStringLiteral("OOPS!  Can't download the updated file."),
                     programName() + QStringLiteral(" - Problem updating"), MessageBoxes::Icon::None,
                     QStringLiteral("6: Can't download the new file."));
}

void UpdateRoutine::rejectChangeover()
{
    m_platform.deleteFile(inFolder(kDownloadedUpdate));
    setBusy(false);
    endDownloads();
    notifyThenFinish(QStringLiteral("OOPS!  Can't access a necessary file."),
                     programName() + QStringLiteral(" - Problem updating"), MessageBoxes::Icon::None,
                     QStringLiteral("7: Can't download the changeover app."));
}

void UpdateRoutine::failWith(UpdateError error)
{
    setBusy(false);
    endDownloads();
    const QString status = QString::number(int(error) + 10)
                           + QStringLiteral(
                               ": Error, where error number has 10 added to it (e.g. error #10 returns 20).");
    // The hidden update window's caption has always titled this one notice.
    if (m_checkMode == UpdateCheckMode::Asked && error == UpdateError::TimedOut)
        notifyThenFinish(QStringLiteral("OOPS! Can't find the updates."), QStringLiteral("Form1 - Updating"),
                         MessageBoxes::Icon::None, status);
    else
        finish(status);
}

void UpdateRoutine::notifyThenFinish(const QString& text, const QString& title, MessageBoxes::Icon icon,
                                     const QString& status)
{
    QPointer<UpdateRoutine> self(this);
    m_boxes.show(text, title, MessageBoxes::Buttons::Ok, icon, [self, status](MessageBoxes::Answer) {
        if (self)
            self->finish(status);
    });
}

void UpdateRoutine::finish(const QString& status)
{
    setBusy(false);
    endDownloads();
    m_running = false;
    QMetaObject::invokeMethod(
        this, [this, status] { emit finished(status); }, Qt::QueuedConnection);
}

void UpdateRoutine::setBusy(bool busy)
{
    if (m_busy == busy)
        return;
    m_busy = busy;
    emit busyChanged(busy);
}

void UpdateRoutine::endDownloads()
{
    if (!m_downloading)
        return;
    m_downloading = false;
    emit downloadsEnded();
}
