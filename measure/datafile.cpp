/// @brief Data file naming, exclusive creation, buffered appends with OS hand-over and periodic sync.
#include "measure/datafile.h"

#include "platform/smallcopy.h"

#include "platform/clock.h"

#include <QCoreApplication>
#include <QDir>
#include <QThreadPool>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

bool isFormatLetter(QChar c)
{
    return c == u'd' || c == u'M' || c == u'y' || c == u'h' || c == u'H' || c == u'm' || c == u's'
        || c == u'z' || c == u'a' || c == u'A' || c == u'p' || c == u'P' || c == u't';
}

void chopTrailingSpaces(QString& s)
{
    while (!s.isEmpty() && s.back().isSpace())
        s.chop(1);
}

/// Rewrites a QLocale date or time pattern: any year to four digits, month names to the
/// month number, the time zone (with the brackets some locales put round it) removed, and
/// seconds added after the minutes when the pattern has none. Quoted literals are kept.
QString rewritePattern(const QString& in)
{
    QString out;
    bool hasSeconds = false;
    qsizetype afterMinutes = -1;
    qsizetype i = 0;
    const qsizetype n = in.size();
    while (i < n) {
        const QChar c = in[i];
        if (c == u'\'') {
            const qsizetype end = in.indexOf(u'\'', i + 1);
            const qsizetype stop = end < 0 ? n : end + 1;
            out += in.mid(i, stop - i);
            i = stop;
            continue;
        }
        if (!isFormatLetter(c)) {
            out += c;
            ++i;
            continue;
        }
        qsizetype run = 1;
        while (i + run < n && in[i + run] == c)
            ++run;
        i += run;
        if (c == u'y') {
            out += QStringLiteral("yyyy");
        } else if (c == u'M' && run >= 3) {
            out += u'M';
        } else if (c == u't') {
            chopTrailingSpaces(out);
            if (!out.isEmpty() && i < n && ((out.back() == u'(' && in[i] == u')') || (out.back() == u'[' && in[i] == u']'))) {
                out.chop(1);
                ++i;
                chopTrailingSpaces(out);
            }
            if (out.isEmpty())
                while (i < n && in[i].isSpace())
                    ++i;
        } else {
            out += QString(run, c);
            if (c == u's')
                hasSeconds = true;
            if (c == u'm' && afterMinutes < 0)
                afterMinutes = out.size();
        }
    }
    if (!hasSeconds && afterMinutes >= 0)
        out.insert(afterMinutes, QStringLiteral(":ss"));
    return out.trimmed();
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

DataFile::DataFile(const Clock& clock, QObject* parent)
    : QObject(parent)
    , m_clock(clock)
{
    m_syncTimer = clock.makeTimer();
    m_syncTimer->setSingleShot(true);
    connect(m_syncTimer.get(), &Timer::timeout, this, &DataFile::tmrSync_Timer);
}

DataFile::~DataFile()
{
    close();
    detachSync();
}

void DataFile::detachSync()
{
    if (m_syncTarget)
        m_syncTarget->owner = nullptr;
    m_syncTarget.reset();
    m_syncRunning = false;
}

QString DataFile::defaultFolder()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    return QDir::fromNativeSeparators(folder);
}

QString DataFile::generalFormat(const QLocale& locale)
{
    return rewritePattern(locale.dateFormat(QLocale::ShortFormat)) + u' '
        + rewritePattern(locale.timeFormat(QLocale::LongFormat));
}

QString DataFile::dateTimeText(const QDateTime& when, const QLocale& locale)
{
    QString text = locale.toString(when, generalFormat(locale));
    text.replace(u'/', u'-');
    text.replace(u':', u';');
    return text;
}

QString DataFile::fileName(const QDateTime& when, const QLocale& locale)
{
    return NamePrefix + dateTimeText(when, locale) + NameSuffix;
}

QString DataFile::joinFolder(const QString& folder, const QString& name)
{
#ifdef Q_OS_WIN
    const bool endsWithSeparator = folder.endsWith(u'\\') || folder.endsWith(u'/');
    const QChar separator = u'\\';
#else
    const bool endsWithSeparator = folder.endsWith(u'/');
    const QChar separator = u'/';
#endif
    return endsWithSeparator ? folder + name : folder + separator + name;
}

bool DataFile::open(const QString& folder)
{
    close();
    m_error.clear();
    m_entriesInFile = 0;
    // An empty folder text would put the file in the file system's root.
    if (folder.isEmpty()) {
        m_error = QStringLiteral("No data folder");
        return false;
    }

    const QString stem = NamePrefix + dateTimeText(m_clock.localNow(), m_locale);
    for (int n = 1; n <= MaxNameSuffix; ++n) {
        const QString name = n == 1 ? stem + NameSuffix : QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(NameSuffix);
        const QString path = joinFolder(folder, name);
        m_file.setFileName(path);
        // Our own buffer decides when bytes reach the OS; QFile's would hide write errors
        // until some later call.
        if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            m_open = true;
            m_used = 0;
            m_spans.clear();
            m_fileSize = 0;
            m_unsynced = false;
            m_lastSync = m_clock.monotonicSeconds();
            return true;
        }
        const QFileInfo existing(path);
        if (!existing.exists() && !existing.isSymLink()) {
            m_error = m_file.errorString();
            return false;
        }
    }
    m_error = QStringLiteral("No free file name left");
    return false;
}

bool DataFile::write(const char* data, qsizetype size) { return append(data, size, 0); }

bool DataFile::writeLines(const char* data, qsizetype size, qsizetype lines)
{
    return lines > 0 ? append(data, size, lines) : isOpen();
}

bool DataFile::append(const char* data, qsizetype size, qsizetype lines)
{
    if (!isOpen())
        return false;
    if (m_used + size > m_capacity) {
        const qsizetype capacity = std::max(MaxBuffered + 4096, m_used + size);
        auto bigger = std::make_unique_for_overwrite<char[]>(size_t(capacity));
        if (m_used)
            std::memcpy(bigger.get(), m_buffer.get(), size_t(m_used));
        m_buffer = std::move(bigger);
        m_capacity = capacity;
    }
    if (lines == 0)
        copySmall(m_buffer.get() + m_used, data, size_t(size));
    else
        std::memcpy(m_buffer.get() + m_used, data, size_t(size));
    m_used += size;
    m_spans.push_back({m_used, lines});
    if (m_used < MaxBuffered)
        return true;
    if (!handOver())
        return false;
    maybeSync();
    return isOpen();
}

bool DataFile::writeLine(const QString& line)
{
    return write(line.toLatin1() + QByteArrayLiteral("\r\n"));
}

bool DataFile::flushToOs()
{
    if (!isOpen() || !handOver())
        return false;
    maybeSync();
    return isOpen();
}

bool DataFile::close()
{
    m_syncTimer->stop();
    if (!isOpen())
        return true;
    if (!handOver())
        return false;
    if (m_unsynced && !syncNow())
        return false;
    m_file.close();
    m_open = false;
    detachSync();
    return true;
}

void DataFile::tmrSync_Timer()
{
    if (isOpen() && handOver())
        maybeSync();
}

bool DataFile::handOver()
{
    qsizetype done = 0;
    const qsizetype size = m_used;
    while (done < size) {
        const qint64 written = m_file.write(m_buffer.get() + done, size - done);
        if (written <= 0) {
            QString reason = m_file.errorString();
            if (reason.isEmpty())
                reason = QStringLiteral("nothing could be written");
            cutToWholeEntries(done, reason);
            fail(reason);
            return false;
        }
        done += qsizetype(written);
    }
    if (done > 0)
        m_unsynced = true;
    m_fileSize += done;
    for (const Span& span : m_spans)
        m_entriesInFile += span.entries();
    m_used = 0;
    m_spans.clear();
    return true;
}

void DataFile::cutToWholeEntries(qsizetype handedOver, QString& reason)
{
    qsizetype kept = 0;
    quint64 whole = 0;
    for (const Span& span : m_spans) {
        if (span.end <= handedOver) {
            kept = span.end;
            whole += span.entries();
            continue;
        }
        // A block of lines torn inside: its lines that made it whole stay.
        if (span.lines > 0) {
            for (qsizetype i = kept; i < handedOver; ++i) {
                if (m_buffer[size_t(i)] == '\n') {
                    kept = i + 1;
                    ++whole;
                }
            }
        }
        break;
    }
    m_entriesInFile += whole;
    m_fileSize += kept;
    // Shrinking needs no free space, so this works on the very disk that just filled up.
    if (kept != handedOver && !m_file.resize(m_fileSize))
        reason += QStringLiteral("; the last entry is incomplete: ") + m_file.errorString();
}

void DataFile::maybeSync()
{
    if (!m_unsynced)
        return;
    const double left = m_lastSync + SyncIntervalSeconds - m_clock.monotonicSeconds();
    if (left <= 0) {
        syncInBackground();
        return;
    }
    if (!m_syncTimer->isActive())
        m_syncTimer->start(int(std::ceil(left * 1000.0)));
}

void DataFile::syncInBackground()
{
#ifdef Q_OS_WIN
    syncNow();
#else
    if (m_syncRunning)
        return; // the next hand-over asks again
    const int fd = QCoreApplication::instance() ? ::dup(m_file.handle()) : -1;
    if (fd < 0) {
        syncNow();
        return;
    }
    if (!m_syncTarget)
        m_syncTarget = std::make_shared<SyncTarget>(SyncTarget{this});
    m_syncRunning = true;
    m_unsynced = false;
    m_lastSync = m_clock.monotonicSeconds();
    m_syncTimer->stop();
    QThreadPool::globalInstance()->start([fd, target = std::weak_ptr<SyncTarget>(m_syncTarget)] {
        const int rc = ::fsync(fd);
        const int error = errno;
        // What is on the disk need not stay in memory: a run that writes 200 MB/s would
        // otherwise fill the page cache within seconds, and every later write would wait for
        // the kernel to reclaim pages. (Advice only; nothing depends on it.)
        if (rc == 0)
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
        // Back on the event loop's thread, where the file lives and is closed.
        QMetaObject::invokeMethod(QCoreApplication::instance(), [target, rc, error] {
            if (const auto t = target.lock(); t && t->owner)
                t->owner->backgroundSyncFinished(rc, error);
        }, Qt::QueuedConnection);
    });
#endif
}

void DataFile::backgroundSyncFinished(int rc, int error)
{
    m_syncRunning = false;
    if (rc != 0 && isOpen()) {
        fail(QString::fromLocal8Bit(std::strerror(error)));
        return;
    }
    // What was handed over while it ran is synced in its turn.
    if (isOpen())
        maybeSync();
}

bool DataFile::syncNow()
{
#ifdef Q_OS_WIN
    const int rc = ::_commit(m_file.handle());
#else
    const int rc = ::fsync(m_file.handle());
#endif
    if (rc != 0) {
        fail(systemError());
        return false;
    }
    m_unsynced = false;
    m_lastSync = m_clock.monotonicSeconds();
    m_syncTimer->stop();
    return true;
}

void DataFile::fail(const QString& reason)
{
    m_error = reason;
    m_used = 0;
    m_spans.clear();
    m_unsynced = false;
    m_syncTimer->stop();
    m_file.close();
    m_open = false;
    detachSync();
    emit writeFailed(QStringLiteral("Write failed: ") + reason);
}
