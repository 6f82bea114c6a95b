/// @brief Full disks for tests: a per-process file size limit (no privileges needed) and a small tmpfs (root only).
#pragma once

#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>

/// Lowers this process's file size limit until destroyed. Writes that cross it stop where a
/// full disk would stop them: a write straddling the limit is cut short, the next one fails.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_active = ::getrlimit(RLIMIT_FSIZE, &m_saved) == 0;
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = m_saved;
        small.rlim_cur = bytes;
        m_active = m_active && ::setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeLimit()
    {
        if (m_active)
            ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_handler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool active() const { return m_active; }

    /// For a child process, between fork and exec (QProcess::setChildProcessModifier): the
    /// limit and the ignored signal both survive the exec.
    static void applyInChild(rlim_t bytes)
    {
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);
    }

private:
    rlimit m_saved{};
    void (*m_handler)(int) = SIG_DFL;
    bool m_active = false;
};
#endif

#ifdef Q_OS_LINUX
#include <QByteArray>
#include <QFile>
#include <sys/mount.h>

/// A real file system that fills up: a tmpfs of `bytes` mounted on the folder `path` until
/// destroyed. Mounting needs root; active() says whether it was allowed.
class SmallDisk {
public:
    SmallDisk(const QString& path, qint64 bytes)
        : m_path(QFile::encodeName(path))
    {
        const QByteArray options = "size=" + QByteArray::number(bytes);
        m_active = ::mount("tmpfs", m_path.constData(), "tmpfs", MS_NOSUID | MS_NODEV, options.constData()) == 0;
    }
    ~SmallDisk()
    {
        if (m_active)
            ::umount2(m_path.constData(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool active() const { return m_active; }

private:
    QByteArray m_path;
    bool m_active = false;
};
#endif
