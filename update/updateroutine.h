/// @brief The update check: gates, signed version file, prompt, verified downloads and the hand-over, as a state machine.
#pragma once

#include "update/minisignverifier.h"
#include "update/updateplatform.h"
#include "update/versionfile.h"

#include <QObject>
#include <QString>

class Clock;
class MessageBoxes;
class SettingsStore;

/// One check at a time. The requests run asynchronously; the prompt and the notices are modal
/// boxes shown through MessageBoxes. Every run ends in exactly one of: finished(status), or
/// endProgramRequested() once the changeover program has been started (status "0").
class UpdateRoutine : public QObject {
    Q_OBJECT
public:
    UpdateRoutine(UpdatePlatform& platform, SettingsStore& settings, MessageBoxes& boxes, const Clock& clock,
                  const QString& publicKey, QObject* parent = nullptr);

    /// checkMode 0: automatic check (daily and do-not-check gates). Other values: asked for by
    /// the user; exactly 1 also shows the time-out notice. An empty baseUrl checks nothing.
    /// Returns false, and does nothing, while a check is already running.
    bool UpdateThisApp(int checkMode, const QString& baseUrl);
    bool isRunning() const { return m_running; }

    /// N: the executable's file name without the platform's executable suffix.
    QString programName() const;
    /// The changeover program's file name, in the web directory and in the program folder.
    QString changeoverFileName() const;

    static QString noAddressStatus();

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
    void fetch(const QString& url, UpdatePlatform::HttpMode mode, Step next, bool download);

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
    void failWith(int error);
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
    int m_checkMode = 0;
    QString m_baseUrl;
    QByteArray m_versionBody;
    QString m_contentLength;
    VersionFile m_versionFile;
    QString m_version;
    QByteArray m_executableDigest;
    QByteArray m_changeoverDigest;
};
