/// @brief A minisign key pair of the test's own, made and used with Debian's minisign tool.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <initializer_list>

/// The tool is "minisign" on the PATH unless TALLYSCOPE_MINISIGN names it: a Windows build run
/// under Wine is handed Debian's own tool by its Wine path (Z:\usr\bin\minisign). It is run in the
/// key folder with bare file names, since Wine hands a Linux program its arguments untranslated
/// but does start it in the folder asked for.
class TestSigner {
public:
    TestSigner()
    {
        if (m_dir.isValid()
            && run({QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"), QStringLiteral("key.pub"),
                    QStringLiteral("-s"), QStringLiteral("key.sec")},
                   {{"key.pub", 2}, {"key.sec", 2}}))
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
        QStringList args{QStringLiteral("-S"), QStringLiteral("-s"), QStringLiteral("key.sec"), QStringLiteral("-m"),
                         QStringLiteral("message")};
        if (legacy)
            args << QStringLiteral("-l");
        if (!trustedComment.isEmpty())
            args << QStringLiteral("-t") << trustedComment;
        return run(args, {{"message.minisig", 4}}) ? read("message.minisig") : QByteArray();
    }

private:
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    QByteArray read(const char* name) const
    {
        QFile f(path(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    struct Output {
        const char* name;
        int lines;
    };

    /// Whether every output file is there with all its lines, each ended.
    bool written(std::initializer_list<Output> outputs) const
    {
        for (const Output& o : outputs) {
            const QByteArray text = read(o.name);
            if (text.count('\n') < o.lines || !text.endsWith('\n'))
                return false;
        }
        return true;
    }

    bool run(const QStringList& args, std::initializer_list<Output> outputs) const
    {
        const QString tool = qEnvironmentVariable("TALLYSCOPE_MINISIGN", QStringLiteral("minisign"));
#ifdef Q_OS_WIN
        // Wine starts a Linux program without a process handle to wait on or an exit status to
        // read, so the finished output files are all there is to go by. A failed run leaves them
        // missing and ends in the deadline.
        if (!QProcess::startDetached(tool, args, m_dir.path()))
            return false;
        for (QDeadlineTimer deadline(20000); !deadline.hasExpired(); QThread::msleep(20)) {
            if (written(outputs))
                return true;
        }
        return false;
#else
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        p.start(tool, args);
        return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0
               && written(outputs);
#endif
    }

    QTemporaryDir m_dir;
    QString m_publicKey;
};
