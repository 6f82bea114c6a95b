/// @brief A minisign key pair of the test's own, made and used with Debian's minisign tool.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

class TestSigner {
public:
    TestSigner()
    {
        m_ok = m_dir.isValid()
               && run({QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"), path("key.pub"),
                       QStringLiteral("-s"), path("key.sec")});
        QFile pub(path("key.pub"));
        if (m_ok && pub.open(QIODevice::ReadOnly))
            m_publicKey = QString::fromLatin1(pub.readAll().split('\n').value(1).trimmed());
    }

    /// False when the minisign tool is missing or failed.
    bool isValid() const { return m_ok && !m_publicKey.isEmpty(); }
    QString publicKey() const { return m_publicKey; }

    /// The .minisig file for `message`: prehashed (minisign's default) or the legacy format, with
    /// minisign's own trusted comment unless one is given.
    QByteArray sign(const QByteArray& message, bool legacy = false, const QString& trustedComment = {}) const
    {
        QFile m(path("message"));
        if (!m.open(QIODevice::WriteOnly) || m.write(message) != message.size())
            return {};
        m.close();
        QFile::remove(path("message.minisig"));
        QStringList args{QStringLiteral("-S"), QStringLiteral("-s"), path("key.sec"), QStringLiteral("-m"),
                         path("message")};
        if (legacy)
            args << QStringLiteral("-l");
        if (!trustedComment.isEmpty())
            args << QStringLiteral("-t") << trustedComment;
        if (!run(args))
            return {};
        QFile sig(path("message.minisig"));
        return sig.open(QIODevice::ReadOnly) ? sig.readAll() : QByteArray();
    }

private:
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    static bool run(const QStringList& args)
    {
        QProcess p;
        p.start(QStringLiteral("minisign"), args);
        return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    QTemporaryDir m_dir;
    bool m_ok = false;
    QString m_publicKey;
};
