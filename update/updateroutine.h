/// @brief The update check: gates, signed version file, prompt, bounded and verified downloads and the hand-over, as a
/// state machine.
#pragma once

#include "platform/messagebox.h"
#include "update/minisignverifier.h"
#include "update/updatecheckmode.h"
#include "update/updateplatform.h"
#include "update/versionfile.h"

#include <QObject>
#include <QString>

class Clock;
class SettingsStore;

/// One check at a time. The requests run asynchronously, and so do the prompt and the notices:
/// the check goes on with the answer and counts as running until then. Every run ends in exactly
/// one of: finished(status), or endProgramRequested() once the changeover program has been
/// started (status "0").
class UpdateRoutine : public QObject {
    Q_OBJECT
public:
    /// How long the transfers may take. The small files (version file, signature) have one overall
    /// deadline together; a program has to keep arriving at a minimum rate.
    struct Timing {
        int smallFileDeadlineMs = 30000;
        int progressWindowMs = 10000;
        qint64 minBytesPerSecond = 16 * 1024;
    };
    /// The version file and its signature are never larger than this.
    static constexpr qint64 SmallFileLimit = 64 * 1024;

    UpdateRoutine(UpdatePlatform& platform, SettingsStore& settings, MessageBoxes& boxes, const Clock& clock,
                  const QString& publicKey, QObject* parent = nullptr);

    void setTiming(const Timing& timing) { m_timing = timing; }

    /// Where no update can succeed (see refusal()) nothing is requested, and a check asked for
    /// by the user says why. Returns false, and does nothing, while a check is already running.
    bool UpdateThisApp(UpdateCheckMode checkMode, const QString& baseUrl);
    bool isRunning() const { return m_running; }

    /// N: the executable's file name without the platform's executable suffix.
    QString programName() const;
    /// The changeover program's file name, in the web directory and in the program folder.
    QString changeoverFileName() const;

    /// Why no update can be offered here, or empty: no address, no signing key, an address that
    /// is neither HTTPS nor loopback, a panel installed by the package manager, a program folder
    /// this process cannot write.
    QString refusal(const QString& baseUrl) const;
    static QString noAddressStatus();

    /// The panel is up and its window is shown: the changeover program, which keeps the previous
    /// program until then, may let it go.
    void reportHealthyStart();

signals:
    /// Always delivered from the event loop, after UpdateThisApp has returned.
    void finished(const QString& status);
    /// The changeover program runs and waits for this program to end: end it now, without the
    /// window's closing steps.
    void endProgramRequested();
    void busyChanged(bool busy);
    /// The probe or the download of one file of the update has begun.
    void downloadStarted(const QString& fileName);
    void downloadProgress(qint64 received, qint64 total);
    /// No more transfers of the update: the progress display can go.
    void downloadsEnded();

private:
    using Step = void (UpdateRoutine::*)(const UpdatePlatform::HttpReply&);
    void fetch(const QString& url, UpdatePlatform::HttpMode mode, const UpdatePlatform::Limits& limits, Step next,
               bool download);
    UpdatePlatform::Limits smallFileLimits() const;
    UpdatePlatform::Limits programLimits(qint64 size) const;

    void onVersionFile(const UpdatePlatform::HttpReply& reply);
    void onSignature(const UpdatePlatform::HttpReply& reply);
    void compareAndPrompt();
    void fetchExecutable();
    void onExecutableProbe(const UpdatePlatform::HttpReply& reply);
    void onExecutable(const UpdatePlatform::HttpReply& reply);
    void fetchChangeover();
    void onChangeoverProbe(const UpdatePlatform::HttpReply& reply);
    void onChangeover(const UpdatePlatform::HttpReply& reply);
    void handOver();

    bool checkedToday() const;
    void recordCheckDate();
    void versionInfoMissing();
    void rejectExecutable();
    void rejectChangeover();
    void failWith(UpdateError error);
    /// Shows a box whose answer only ends the check with `status`.
    void notifyThenFinish(const QString& text, const QString& title, MessageBoxes::Icon icon, const QString& status);
    void onPromptAnswer(MessageBoxes::Answer answer);
    void finish(const QString& status);
    void setBusy(bool busy);
    void endDownloads();

    QString inFolder(const QString& fileName) const;
    QString settingName(const QString& suffix) const;
    static bool probeAccepted(const UpdatePlatform::HttpReply& reply);

    UpdatePlatform& m_platform;
    SettingsStore& m_settings;
    MessageBoxes& m_boxes;
    const Clock& m_clock;
    MinisignVerifier m_verifier;

    bool m_running = false;
    bool m_busy = false;
    bool m_downloading = false;
    UpdateCheckMode m_checkMode = UpdateCheckMode::Automatic;
    QString m_baseUrl;
    QByteArray m_versionBody;
    QString m_contentLength;
    QByteArray m_trustedComment;
    double m_smallFilesStarted = 0;
    VersionFile m_versionFile;
    QString m_version;
    VersionFile::Listed m_executable;
    VersionFile::Listed m_changeover;
    Timing m_timing;
};
