/// @brief The update seam on the real machine: QNetworkAccessManager within size and time limits, files, detached
/// processes.
#pragma once

#include "update/updateplatform.h"

#include <QNetworkAccessManager>

/// Binary bodies are recognised by content: a body with a NUL byte cannot be text. Every
/// executable format carries NUL bytes in its header; version files and servers' error pages
/// carry none. The Content-Type is not used, since common servers label an unknown ".ver" file
/// application/octet-stream. A text-mode body is dropped as soon as it shows a NUL, so that the
/// probe of a program holds no more than one network read in memory.
class QtUpdatePlatform final : public UpdatePlatform {
public:
    /// Name of the environment variable through which the changeover program learns which
    /// process to wait for.
    static constexpr const char* PanelPidVariable = "TALLYSCOPE_PANEL_PID";

    QtUpdatePlatform();

    /// Instead of the running program (for a program folder elsewhere).
    void setExecutablePath(const QString& path) { m_executablePath = path; }
    /// The process the changeover program waits for; this process unless set.
    void setPanelPid(qint64 pid) { m_panelPid = pid; }

    void request(const QString& url, HttpMode mode, const Limits& limits, ReplyHandler done,
                 ProgressHandler progress) override;
    QString executablePath() const override;
    QString executableSuffix() const override;
    QByteArray versionBlock(const QString& path) const override;
    bool isWritableFolder(const QString& folder) const override;
    void deleteFile(const QString& path) override;
    UpdateError writeFile(const QString& path, const QByteArray& bytes, bool executable) override;
    qint64 startProcess(const QString& program, const QStringList& arguments, UpdateError& error) override;

private:
    QNetworkAccessManager m_network;
    QString m_executablePath;
    qint64 m_panelPid = 0;
};
