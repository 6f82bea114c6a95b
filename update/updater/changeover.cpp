/// @brief Changeover: polling for the panel's end, the digest check, the atomic replacement, the wait for a healthy
/// start and the rollback.
#include "update/updater/changeover.h"
#include "platform/commandline.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTextStream>
#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#endif

namespace {

// Replaces `to` in one step when it exists, so that the program name never stands empty.
bool renameOver(const QString& from, const QString& to)
{
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<const wchar_t*>(from.utf16()), reinterpret_cast<const wchar_t*>(to.utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
           != 0;
#else
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

void stopProcess(qint64 pid)
{
#ifdef Q_OS_WIN
    if (HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid))) {
        TerminateProcess(h, 1);
        CloseHandle(h);
    }
#else
    ::kill(pid_t(pid), SIGKILL);
#endif
}

QByteArray sha256Of(const QString& path)
{
    QFile f(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!f.open(QIODevice::ReadOnly) || !hash.addData(&f))
        return {};
    return hash.result().toHex();
}

} // namespace

Changeover::Changeover(Settings settings, std::function<void(int)> done)
    : m_settings(std::move(settings)), m_done(std::move(done))
{
    m_poll.setInterval(100);
    QObject::connect(&m_poll, &QTimer::timeout, [this] { m_newPid > 0 ? watchNewPanel() : poll(); });
}

QString Changeover::target() const
{
    return m_settings.folder + u'/' + m_settings.programName + m_settings.executableSuffix;
}

QString Changeover::backup() const { return target() + QLatin1String(BackupSuffix); }

void Changeover::start()
{
    const QString& n = m_settings.programName;
    if (n.isEmpty() || n.contains(u'/') || n.contains(u'\\') || n == u"." || n == u"..")
        return fail(QStringLiteral("Refused the program name \"%1\": it must be a plain file name in %2.")
                        .arg(n, m_settings.folder));
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    if (!m_settings.sha256Hex.isEmpty() && !hex.match(m_settings.sha256Hex).hasMatch())
        return fail(
            QStringLiteral("Refused the digest \"%1\": it must be 64 hexadecimal digits.").arg(m_settings.sha256Hex));
    m_waited.start();
    poll();
}

bool Changeover::processRunning(qint64 pid)
{
    if (pid <= 0)
        return false;
#ifdef Q_OS_WIN
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!h)
        return false;
    const bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return running;
#else
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return false;
    // An ended process that its parent has not collected yet still answers kill(); it has ended
    // all the same. The new panel's parent is whatever adopted it, which may take its time.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray fields = stat.readAll();
        const qsizetype comm = fields.lastIndexOf(')');
        if (comm >= 0 && fields.mid(comm + 2, 1) == "Z")
            return false;
    }
    return true;
#endif
}

void Changeover::poll()
{
    if (!processRunning(m_settings.panelPid)) {
        m_poll.stop();
        replace();
        return;
    }
    if (m_waited.elapsed() >= m_settings.waitMs) {
        m_poll.stop();
        return fail(QStringLiteral("%1 (process %2) was still running after %3 s; nothing was replaced.")
                        .arg(m_settings.programName)
                        .arg(m_settings.panelPid)
                        .arg(m_settings.waitMs / 1000.0));
    }
    if (!m_poll.isActive())
        m_poll.start();
}

void Changeover::replace()
{
    const QString fresh = m_settings.folder + u'/' + QString::fromLatin1(DownloadedFileName);

    const QFileInfo freshInfo(fresh);
    if (freshInfo.isSymLink())
        return fail(
            QStringLiteral("\"%1\" is a symbolic link; it was not followed and nothing was replaced.").arg(fresh));
    if (!freshInfo.isFile())
        return fail(QStringLiteral("\"%1\" is missing; nothing was replaced.").arg(fresh));
    const QFileInfo targetInfo(target());
    if (targetInfo.isSymLink())
        return fail(
            QStringLiteral("\"%1\" is a symbolic link; it was not followed and nothing was replaced.").arg(target()));
    if (!targetInfo.isFile())
        return fail(QStringLiteral("\"%1\" is missing; nothing was replaced.").arg(target()));

    QFile::remove(backup());
    if (!QFile::copy(target(), backup()))
        return fail(QStringLiteral("Could not keep a backup of \"%1\" as \"%2\"; nothing was replaced.")
                        .arg(target(), backup()));
    const auto perms = QFile::permissions(target()) | QFileDevice::ReadOwner | QFileDevice::ExeOwner
                       | QFileDevice::ExeUser;
    // The download may have changed since the panel checked it; this is the last look before it
    // becomes the program.
    if (!m_settings.sha256Hex.isEmpty() && sha256Of(fresh) != m_settings.sha256Hex.toLower().toLatin1()) {
        QFile::remove(backup());
        return fail(QStringLiteral("\"%1\" does not match the SHA-256 it was downloaded with; nothing was replaced.")
                        .arg(fresh));
    }
    if (!QFile::setPermissions(fresh, perms) || !renameOver(fresh, target())) {
        QFile::remove(backup());
        return fail(
            QStringLiteral("Could not put \"%1\" in place of \"%2\"; the old program stays.").arg(fresh, target()));
    }

    if (!QProcess::startDetached(target(), {}, m_settings.folder, &m_newPid) || m_newPid <= 0) {
        m_newPid = 0;
        return restore(QStringLiteral("The new \"%1\" could not be started; ").arg(target()));
    }
    log(QStringLiteral("Replaced \"%1\" by the downloaded update and started it (process %2).")
            .arg(target())
            .arg(m_newPid));
    m_waited.restart();
    m_poll.start();
}

void Changeover::watchNewPanel()
{
    // The new panel removes the backup once its window is shown.
    if (!QFileInfo::exists(backup())) {
        m_poll.stop();
        log(QStringLiteral("The new \"%1\" started healthily; the old program is gone.").arg(target()));
        m_done(CommandLine::ExitOk);
        return;
    }
    if (!processRunning(m_newPid)) {
        m_poll.stop();
        return restore(QStringLiteral("The new \"%1\" ended before its window was shown; ").arg(target()));
    }
    if (m_waited.elapsed() >= m_settings.healthyStartMs) {
        m_poll.stop();
        stopProcess(m_newPid);
        return restore(QStringLiteral("The new \"%1\" showed no window within %2 s and was stopped; ")
                           .arg(target())
                           .arg(m_settings.healthyStartMs / 1000.0));
    }
}

void Changeover::restore(const QString& why)
{
    QString message = why;
    qint64 pid = 0;
    if (!renameOver(backup(), target())) {
        message += QStringLiteral("the old program could not be restored from \"%1\".").arg(backup());
    } else if (QProcess::startDetached(target(), {}, m_settings.folder, &pid)) {
        message += QStringLiteral("the old program was restored and started again.");
    } else {
        message += QStringLiteral("the old program was restored but could not be started.");
    }
    fail(message);
}

void Changeover::fail(const QString& message)
{
    log(QStringLiteral("FAILED: ") + message);
    std::fputs(qPrintable(message + u'\n'), stderr);
    m_done(CommandLine::ExitFailure);
}

void Changeover::log(const QString& line) const
{
    const QString path = m_settings.folder + u'/' + QString::fromLatin1(LogFileName);
    if (QFileInfo(path).isSymLink())
        QFile::remove(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return;
    QTextStream(&file) << QDateTime::currentDateTime().toString(Qt::ISODate) << QLatin1String("  ") << line
                       << QLatin1Char('\n');
}
