/// @brief QtUpdatePlatform: HTTP through QNetworkAccessManager, files through QSaveFile, starts through QProcess.
#include "update/qtupdateplatform.h"

#include "update/versionblock.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QSaveFile>
#include <QTimer>
#include <memory>

QtUpdatePlatform::QtUpdatePlatform() = default;

void QtUpdatePlatform::request(const QString& url, HttpMode mode, ReplyHandler done, ProgressHandler progress)
{
    QNetworkRequest req{QUrl(url)};
    // "Content-length" must describe the body as delivered, so no compression.
    req.setRawHeader("Accept-Encoding", "identity");
    req.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    QNetworkReply* reply = m_network.get(req);

    auto* idle = new QTimer(reply);
    idle->setSingleShot(true);
    idle->start(m_timeoutMs);
    auto timedOut = std::make_shared<bool>(false);
    QObject::connect(idle, &QTimer::timeout, reply, [reply, timedOut] {
        *timedOut = true;
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [idle, progress](qint64 received, qint64 total) {
                         idle->start();
                         if (progress)
                             progress(received, total);
                     });
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, idle, timedOut, mode, done] {
        idle->stop();
        reply->deleteLater();
        HttpReply out;
        out.contentLength = QString::fromLatin1(reply->rawHeader("Content-Length"));
        if (*timedOut) {
            out.error = ErrTimedOut;
        } else if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
            out.error = ErrTransferFailed;
        } else {
            out.body = reply->readAll();
            if (mode == HttpMode::Text && out.body.contains('\0')) {
                out.error = ErrTypeMismatch;
                out.body.clear();
            }
        }
        // Called from the reply's own signal, never from inside request().
        done(out);
    });
}

QString QtUpdatePlatform::executablePath() const
{
    return m_executablePath.isEmpty() ? QCoreApplication::applicationFilePath() : m_executablePath;
}

QString QtUpdatePlatform::executableSuffix() const
{
#ifdef Q_OS_WIN
    return QStringLiteral(".exe");
#else
    return {};
#endif
}

QByteArray QtUpdatePlatform::versionBlock(const QString& path) const { return VersionBlock::readFromFile(path); }

void QtUpdatePlatform::deleteFile(const QString& path) { QFile::remove(path); }

int QtUpdatePlatform::writeFile(const QString& path, const QByteArray& bytes, bool executable)
{
    // A link planted under the name would have QSaveFile write through it; the name gets a file
    // of its own instead.
    if (QFileInfo(path).isSymLink())
        QFile::remove(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return ErrFileAccess;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return ErrFileAccess;
    }
    if (!file.commit())
        return ErrFileAccess;
    if (executable) {
        const auto perms = QFile::permissions(path) | QFileDevice::ReadOwner | QFileDevice::WriteOwner
                           | QFileDevice::ExeOwner | QFileDevice::ExeUser | QFileDevice::ReadGroup
                           | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
        if (!QFile::setPermissions(path, perms))
            return ErrFileAccess;
    }
    return 0;
}

qint64 QtUpdatePlatform::startProcess(const QString& program, const QStringList& arguments, int& error)
{
    error = 0;
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(QFileInfo(program).absolutePath());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(PanelPidVariable),
               QString::number(m_panelPid > 0 ? m_panelPid : QCoreApplication::applicationPid()));
    process.setProcessEnvironment(env);
    qint64 pid = 0;
    return process.startDetached(&pid) ? pid : 0;
}
