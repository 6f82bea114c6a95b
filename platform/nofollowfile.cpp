/// @brief NoFollowFile on POSIX descriptors (O_NOFOLLOW, O_EXCL, lstat, rename) and on the Windows C runtime (_wopen,
/// MoveFileExW).
#include "platform/nofollowfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

/// Eight letters and digits from the system's generator: the name of a new copy cannot be
/// guessed in advance, so nobody can plant something there first.
QString randomPart()
{
    static constexpr char Letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QString part;
    for (int i = 0; i < 8; ++i)
        part += QLatin1Char(Letters[QRandomGenerator::system()->bounded(int(sizeof Letters - 1))]);
    return part;
}

QString newCopyPath(const QString& path)
{
    const QFileInfo info(path);
    return QDir(info.path()).filePath(u'.' + info.fileName() + u'.' + randomPart() + QStringLiteral(".new"));
}

QString notRegularText(const QString& path)
{
    return QStringLiteral("%1 is not a regular file; not replaced").arg(QDir::toNativeSeparators(path));
}

#ifdef Q_OS_WIN
std::wstring nativePath(const QString& path) { return QDir::toNativeSeparators(path).toStdWString(); }

int errnoFromWindows(DWORD code)
{
    switch (code) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return EINVAL;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    default:
        return EIO;
    }
}
#endif

} // namespace

NoFollowFile::~NoFollowFile() { close(); }

NoFollowFile::NoFollowFile(NoFollowFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, -1)), m_error(other.m_error), m_errorText(std::move(other.m_errorText))
{}

NoFollowFile& NoFollowFile::operator=(NoFollowFile&& other) noexcept
{
    if (this != &other) {
        close();
        m_handle = std::exchange(other.m_handle, -1);
        m_error = other.m_error;
        m_errorText = std::move(other.m_errorText);
    }
    return *this;
}

bool NoFollowFile::failWith(int systemError, const QString& text)
{
    m_error = systemError != 0 ? systemError : EIO;
    m_errorText = text;
    return false;
}

bool NoFollowFile::succeed()
{
    m_error = 0;
    m_errorText.clear();
    return true;
}

QString NoFollowFile::errorText(int systemError) { return QString::fromLocal8Bit(std::strerror(systemError)); }

QString NoFollowFile::errorString() const
{
    if (m_error == 0)
        return QString();
    return m_errorText.isEmpty() ? errorText(m_error) : m_errorText;
}

bool NoFollowFile::createNew(const QString& path)
{
    close();
#ifdef Q_OS_WIN
    // _O_EXCL makes the system's CREATE_NEW: anything at the name, a link included, fails it.
    int fd = -1;
    const errno_t rc = ::_wsopen_s(&fd, nativePath(path).c_str(),
                                   _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                                   _S_IREAD | _S_IWRITE);
    if (rc != 0)
        return failWith(rc);
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          0666);
    if (fd < 0)
        return failWith(errno);
#endif
    m_handle = fd;
    return succeed();
}

bool NoFollowFile::openExisting(const QString& path)
{
    close();
#ifdef Q_OS_WIN
    // The reparse point itself is opened, never what it points to, and then refused.
    const HANDLE h = ::CreateFileW(nativePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return failWith(errnoFromWindows(::GetLastError()));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h, &info)) {
        const int error = errnoFromWindows(::GetLastError());
        ::CloseHandle(h);
        return failWith(error);
    }
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY) || info.nNumberOfLinks != 1) {
        ::CloseHandle(h);
        return failWith(EPERM,
                        QStringLiteral("%1 is not a regular file of its own").arg(QDir::toNativeSeparators(path)));
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
        return failWith(EMFILE);
    }
#else
    // O_NONBLOCK: a FIFO at the name must not hold the event loop until a writer comes.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return failWith(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        return failWith(error);
    }
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
        ::close(fd);
        return failWith(EPERM, QStringLiteral("%1 is not a regular file of its own").arg(path));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
#endif
    m_handle = fd;
    return succeed();
}

qint64 NoFollowFile::write(const char* data, qint64 size)
{
    if (m_handle < 0) {
        failWith(EBADF);
        return -1;
    }
    for (;;) {
#ifdef Q_OS_WIN
        const int n = ::_write(m_handle, data, unsigned(std::min<qint64>(size, INT_MAX)));
#else
        const ssize_t n = ::write(m_handle, data, size_t(size));
#endif
        if (n >= 0) {
            succeed();
            return qint64(n);
        }
        if (errno != EINTR) {
            failWith(errno);
            return -1;
        }
    }
}

bool NoFollowFile::writeAll(QByteArrayView bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 n = write(bytes.data() + done, bytes.size() - done);
        if (n < 0)
            return false;
        // A regular file takes nothing only when it cannot take more.
        if (n == 0)
            return failWith(ENOSPC);
        done += n;
    }
    return succeed();
}

bool NoFollowFile::resize(qint64 size)
{
    if (m_handle < 0)
        return failWith(EBADF);
#ifdef Q_OS_WIN
    const errno_t rc = ::_chsize_s(m_handle, size);
    return rc == 0 ? succeed() : failWith(rc);
#else
    int rc;
    do
        rc = ::ftruncate(m_handle, off_t(size));
    while (rc != 0 && errno == EINTR);
    return rc == 0 ? succeed() : failWith(errno);
#endif
}

bool NoFollowFile::sync()
{
    if (m_handle < 0)
        return failWith(EBADF);
#ifdef Q_OS_WIN
    return ::_commit(m_handle) == 0 ? succeed() : failWith(errno);
#else
    return ::fsync(m_handle) == 0 ? succeed() : failWith(errno);
#endif
}

bool NoFollowFile::reserve(qint64 size)
{
    if (m_handle < 0)
        return failWith(EBADF);
#ifdef Q_OS_LINUX
    return ::fallocate(m_handle, FALLOC_FL_KEEP_SIZE, 0, off_t(size)) == 0 ? succeed() : failWith(errno);
#else
    Q_UNUSED(size);
    return failWith(ENOSYS);
#endif
}

void NoFollowFile::releaseCache()
{
#ifdef POSIX_FADV_DONTNEED
    if (m_handle >= 0)
        ::posix_fadvise(m_handle, 0, 0, POSIX_FADV_DONTNEED);
#endif
}

NoFollowFile NoFollowFile::duplicate()
{
    NoFollowFile copy;
    if (m_handle < 0) {
        failWith(EBADF);
        copy.failWith(EBADF);
        return copy;
    }
#ifdef Q_OS_WIN
    const int fd = ::_dup(m_handle);
#else
    const int fd = ::fcntl(m_handle, F_DUPFD_CLOEXEC, 0);
#endif
    if (fd < 0) {
        failWith(errno);
        copy.failWith(m_error);
        return copy;
    }
    succeed();
    copy.m_handle = fd;
    return copy;
}

bool NoFollowFile::close()
{
    if (m_handle < 0)
        return true;
    const int fd = std::exchange(m_handle, -1);
#ifdef Q_OS_WIN
    const int rc = ::_close(fd);
#else
    // Never retried: the descriptor is gone whatever close() says.
    const int rc = ::close(fd);
#endif
    return rc == 0 || errno == EINTR ? succeed() : failWith(errno);
}

NoFollowFile::Replaced NoFollowFile::replaceContents(const QString& path, QByteArrayView bytes)
{
    NoFollowFile copy;
    QString copyPath;
    // A name taken meanwhile is only a clash of random names; a few tries settle it.
    for (int attempt = 0; attempt < 8; ++attempt) {
        copyPath = newCopyPath(path);
        if (copy.createNew(copyPath) || copy.error() != EEXIST)
            break;
    }
    if (!copy.isOpen())
        return {copy.error(), copy.errorString()};

    const auto giveUp = [&copy, &copyPath](int error, const QString& text) -> Replaced {
        copy.close();
#ifdef Q_OS_WIN
        ::_wunlink(nativePath(copyPath).c_str());
#else
        ::unlink(QFile::encodeName(copyPath).constData());
#endif
        return {error, text.isEmpty() ? errorText(error) : text};
    };
    if (!copy.writeAll(bytes) || !copy.sync() || !copy.close())
        return giveUp(copy.error(), copy.errorString());

#ifdef Q_OS_WIN
    const DWORD attributes = ::GetFileAttributesW(nativePath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES
        && (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
        return giveUp(EPERM, notRegularText(path));
    if (!::MoveFileExW(nativePath(copyPath).c_str(), nativePath(path).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return giveUp(errnoFromWindows(::GetLastError()), QString());
#else
    // rename() replaces a link at the name rather than writing through it, so a link swapped in
    // after this look could only lose the link; what it points to is never touched.
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return giveUp(S_ISDIR(st.st_mode) ? EISDIR : S_ISLNK(st.st_mode) ? ELOOP : EPERM, notRegularText(path));
    } else if (errno != ENOENT) {
        return giveUp(errno, QString());
    }
    if (::rename(QFile::encodeName(copyPath).constData(), QFile::encodeName(path).constData()) != 0)
        return giveUp(errno, QString());
#endif
    return {};
}
