/// @brief An update seam that never leaves the process: a scripted web directory and a recorded program folder.
#pragma once

#include <QFileInfo>

#include "tests/common/fakes.h"
#include "update/updateplatform.h"

#include <QHash>
#include <QList>
#include <QTimer>
#include <optional>

class FakeUpdatePlatform final : public UpdatePlatform {
public:
    struct Served {
        QByteArray body = {};
        bool binary = false;
        /// The "Content-length" sent; the body's size unless set.
        std::optional<QString> contentLength = {};
        /// A transfer error instead of a response.
        UpdateError error = UpdateError::None;
        /// The transfer error only for binary-mode requests (the probe goes through).
        UpdateError binaryError = UpdateError::None;
        /// Seconds the transfer takes on `clock`.
        double takes = 0;
    };
    using Started = std::pair<QString, QStringList>;

    void serve(const QString& url, const Served& s) { routes.insert(url, s); }

    void request(const QString& url, HttpMode mode, const Limits& limits, ReplyHandler done,
                 ProgressHandler progress) override
    {
        requests.append(url);
        limitsAsked.append(limits);
        HttpReply r;
        const Served s = routes.value(url, Served{"<html><body>404 Not Found</body></html>"});
        r.contentLength = s.contentLength.value_or(QString::number(s.body.size()));
        if (s.error != UpdateError::None)
            r.error = s.error;
        else if (mode == HttpMode::Binary && s.binaryError != UpdateError::None)
            r.error = s.binaryError;
        else if (mode == HttpMode::Text && s.binary)
            r.error = UpdateError::TypeMismatch;
        else
            r.body = s.body;
        if (clock)
            clock->advance(s.takes);
        QTimer::singleShot(0, [done, progress, r] {
            if (progress)
                progress(r.body.size(), r.body.size());
            done(r);
        });
    }

    QString executablePath() const override { return folder + QStringLiteral("/tallyscope") + suffix; }
    QString executableSuffix() const override { return suffix; }
    bool isWritableFolder(const QString& path) const override { return writable && path == folder; }
    QByteArray versionBlock(const QString&) const override { return block; }
    void deleteFile(const QString& path) override { deleted.append(path), files.remove(path); }
    UpdateError writeFile(const QString& path, const QByteArray& bytes, bool executable) override
    {
        if (writeError != UpdateError::None)
            return writeError;
        files.insert(path, bytes);
        if (executable)
            executables.append(path);
        return UpdateError::None;
    }
    qint64 startProcess(const QString& program, const QStringList& arguments, UpdateError& error) override
    {
        started.append({program, arguments});
        error = startError;
        return startError != UpdateError::None ? 0 : startTask;
    }

    // Absolute on this system: on Windows the path gains the current drive.
    QString folder = QFileInfo(QStringLiteral("/opt/tallyscope")).absoluteFilePath(), suffix;
    QByteArray block;
    QHash<QString, Served> routes;
    FakeClock* clock = nullptr;
    bool writable = true;
    UpdateError writeError = UpdateError::None, startError = UpdateError::None;
    qint64 startTask = 4242;
    // What the update did, in order.
    QStringList requests, deleted, executables;
    QList<Limits> limitsAsked;
    QHash<QString, QByteArray> files;
    QList<Started> started;
};
