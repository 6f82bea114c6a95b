/// @brief QtUpdatePlatform: HTTP through QNetworkAccessManager, files through QSaveFile, starts through QProcess.
#include "update/qtupdateplatform.h"

#include "update/updateaddress.h"
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

namespace {
constexpr int kMaxRedirects = 5;
constexpr qint64 kReadChunk = 64 * 1024;
} // namespace

QtUpdatePlatform::QtUpdatePlatform() = default;

void QtUpdatePlatform::request(const QString& url, HttpMode mode, const Limits& limits, ReplyHandler done,
                               ProgressHandler progress)
{
    QNetworkRequest req{QUrl(url)};
    // "Content-length" must describe the body as delivered, so no compression.
    req.setRawHeader("Accept-Encoding", "identity");
    req.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    req.setMaximumRedirectsAllowed(kMaxRedirects);
    QNetworkReply* reply = m_network.get(req);
    // Unread bytes wait in the socket rather than in an ever-growing buffer.
    reply->setReadBufferSize(kReadChunk);

    struct Transfer {
        UpdateError error = UpdateError::None;
        bool over = false;
        bool binarySeen = false;
        qint64 received = 0;
        qint64 receivedAtWindow = 0;
        QByteArray body;
    };
    auto t = std::make_shared<Transfer>();
    // Once finished, the reply is only read out; a late timer or the last bytes change nothing
    // but the outcome.
    const auto stop = [reply, t](UpdateError error) {
        if (t->error == UpdateError::None)
            t->error = error;
        t->body.clear();
        if (!t->over)
            reply->abort();
    };

    if (limits.deadlineMs > 0)
        QTimer::singleShot(limits.deadlineMs, reply, [stop] { stop(UpdateError::TimedOut); });
    if (limits.progressWindowMs > 0 && limits.minBytesPerWindow > 0) {
        auto* window = new QTimer(reply);
        QObject::connect(window, &QTimer::timeout, reply, [t, stop, need = limits.minBytesPerWindow] {
            if (t->received - t->receivedAtWindow < need)
                return stop(UpdateError::TimedOut);
            t->receivedAtWindow = t->received;
        });
        window->start(limits.progressWindowMs);
    }

    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply, stop](const QUrl& to) {
        if (UpdateAddress::redirectAllowed(reply->url(), reply->url().resolved(to)))
            emit reply->redirectAllowed();
        else
            stop(UpdateError::TransferFailed);
    });
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, stop, max = limits.maxBytes] {
        bool known = false;
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && announced > max)
            stop(UpdateError::TooLarge);
    });
    const auto consume = [reply, t, stop, mode, progress, max = limits.maxBytes] {
        if (t->error != UpdateError::None)
            return;
        const QByteArray chunk = reply->readAll();
        t->received += chunk.size();
        if (t->received > max)
            return stop(UpdateError::TooLarge);
        if (mode == HttpMode::Text && !t->binarySeen && chunk.contains('\0')) {
            t->binarySeen = true;
            t->body.clear();
        }
        if (!t->binarySeen)
            t->body += chunk;
        if (progress)
            progress(t->received, reply->header(QNetworkRequest::ContentLengthHeader).toLongLong());
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, consume);
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, t, mode, done, consume] {
        reply->deleteLater();
        if (t->over)
            return;
        t->over = true;
        consume();
        HttpReply out;
        out.contentLength = QString::fromLatin1(reply->rawHeader("Content-Length"));
        if (t->error != UpdateError::None) {
            out.error = t->error;
        } else if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
            out.error = UpdateError::TransferFailed;
        } else if (mode == HttpMode::Text && t->binarySeen) {
            out.error = UpdateError::TypeMismatch;
        } else {
            out.body = std::move(t->body);
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

bool QtUpdatePlatform::isWritableFolder(const QString& folder) const
{
    // On Unix this asks access(2), which also says no for a read-only mount.
    const QFileInfo info(folder);
    return info.isDir() && info.isWritable();
}

void QtUpdatePlatform::deleteFile(const QString& path) { QFile::remove(path); }

UpdateError QtUpdatePlatform::writeFile(const QString& path, const QByteArray& bytes, bool executable)
{
    // A link planted under the name would have QSaveFile write through it; the name gets a file
    // of its own instead.
    if (QFileInfo(path).isSymLink())
        QFile::remove(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return UpdateError::FileAccess;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return UpdateError::FileAccess;
    }
    if (!file.commit())
        return UpdateError::FileAccess;
    if (executable) {
        const auto perms = QFile::permissions(path) | QFileDevice::ReadOwner | QFileDevice::WriteOwner
                           | QFileDevice::ExeOwner | QFileDevice::ExeUser | QFileDevice::ReadGroup
                           | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
        if (!QFile::setPermissions(path, perms))
            return UpdateError::FileAccess;
    }
    return UpdateError::None;
}

qint64 QtUpdatePlatform::startProcess(const QString& program, const QStringList& arguments, UpdateError& error)
{
    error = UpdateError::None;
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
