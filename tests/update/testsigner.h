/// @brief A minisign key pair of the test's own, made and used with Debian's minisign tool.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

class TestSigner {
public:
    TestSigner()
    {
        if (m_dir.isValid() && run({QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"), path("key.pub"), QStringLiteral("-s"), path("key.sec")}))
            m_publicKey = QString::fromLatin1(read("key.pub").split('\n').value(1).trimmed());
    }

    /// False when the minisign tool is missing or failed.
    bool isValid() const { return !m_publicKey.isEmpty(); }
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
        QStringList args{QStringLiteral("-S"), QStringLiteral("-s"), path("key.sec"), QStringLiteral("-m"), path("message")};
        if (legacy)
            args << QStringLiteral("-l");
        if (!trustedComment.isEmpty())
            args << QStringLiteral("-t") << trustedComment;
        return run(args) ? read("message.minisig") : QByteArray();
    }

private:
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    QByteArray read(const char* name) const
    {
        QFile f(path(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static bool run(const QStringList& args)
    {
        QProcess p;
        p.start(QStringLiteral("minisign"), args);
        return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    QTemporaryDir m_dir;
    QString m_publicKey;
};
