/// @brief Data file naming, exclusive creation without following links, buffered appends with OS hand-over, syncs
/// beside the event loop.
#include "measure/datafile.h"

#include "platform/smallcopy.h"

#include "platform/clock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThreadPool>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

bool isFormatLetter(QChar c)
{
    return c == u'd' || c == u'M' || c == u'y' || c == u'h' || c == u'H' || c == u'm' || c == u's' || c == u'z'
           || c == u'a' || c == u'A' || c == u'p' || c == u'P' || c == u't';
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
            if (!out.isEmpty() && i < n
                && ((out.back() == u'(' && in[i] == u')') || (out.back() == u'[' && in[i] == u']'))) {
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

} // namespace

/// A sync on its way beside the event loop. The worker thread touches only `handle`, `sync`,
/// `error` and `done` (the last two under the registry's lock); the rest belongs to the event
/// loop's thread.
struct DataFile::SyncJob {
    std::shared_ptr<Owner> owner;
    std::shared_ptr<OpenedFile> file;
    NoFollowFile handle;
    SyncFunction sync;
    bool periodic = false;
    int error = 0;
    bool done = false;
};

/// Every sync started and not yet heard of by its DataFile, so that the mains can wait for them
/// and hear the failures no DataFile was left to tell.
struct DataFile::SyncRegistry {
    std::mutex mutex;
    std::condition_variable finished;
    std::vector<std::shared_ptr<SyncJob>> jobs;

    static SyncRegistry& instance()
    {
        static SyncRegistry registry;
        return registry;
    }
};

DataFile::DataFile(const Clock& clock, QObject* parent)
    : QObject(parent), m_clock(clock), m_owner(std::make_shared<Owner>(Owner{this}))
{
    m_syncTimer = clock.makeTimer();
    m_syncTimer->setSingleShot(true);
    connect(m_syncTimer.get(), &Timer::timeout, this, &DataFile::syncTick);
}

DataFile::~DataFile()
{
    close();
    // Syncs still on their way are heard of by waitForPendingSyncs() alone from now on.
    m_owner->dataFile = nullptr;
}

void DataFile::setSyncFunction(SyncFunction sync) { m_syncFunction = std::move(sync); }

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
    m_failure = FileFailure::None;
    m_path.clear();
    m_entriesInFile = 0;
    // An empty folder text would put the file in the file system's root.
    if (folder.isEmpty()) {
        m_error = QStringLiteral("No data folder");
        m_failure = FileFailure::BadName;
        return false;
    }

    const QString stem = NamePrefix + dateTimeText(m_clock.localNow(), m_locale);
    for (int n = 1; n <= MaxNameSuffix; ++n) {
        const QString name = n == 1 ? stem + NameSuffix : QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(NameSuffix);
        const QString path = joinFolder(folder, name);
        NoFollowFile file;
        if (file.createNew(path)) {
            m_file = std::move(file);
            m_path = path;
            m_current = std::make_shared<OpenedFile>(OpenedFile{path});
            m_open = true;
            m_used = 0;
            m_spans.clear();
            m_fileSize = 0;
            m_unsynced = false;
            m_syncRunning = false;
            m_lastSync = m_clock.monotonicSeconds();
            return true;
        }
        // Anything at the name, a link included, is someone else's: the next name is tried.
        if (file.error() != EEXIST) {
            m_error = file.errorString();
            m_failure = file.failure();
            return false;
        }
    }
    m_error = QStringLiteral("No free file name left");
    m_failure = classifyFileError(EEXIST);
    return false;
}

bool DataFile::write(const char* data, qsizetype size) { return append(data, size, 0); }

bool DataFile::writeLines(const char* data, qsizetype size, qsizetype lines)
{
    return lines > 0 ? append(data, size, lines) : isOpen();
}

bool DataFile::writeRecords(const char* data, qsizetype size, int recordSize)
{
    return size >= recordSize && recordSize > 0 ? append(data, size, size / recordSize, recordSize) : isOpen();
}

bool DataFile::append(const char* data, qsizetype size, qsizetype lines, int recordSize)
{
    if (!isOpen())
        return false;
    // A block that fills a buffer by itself, arriving on an empty one, goes to the OS from where it
    // is: at the gigabit rate a second copy of every byte is most of what the buffer would cost.
    if (m_used == 0 && size >= MaxBuffered) {
        m_spans.push_back({size, lines, recordSize});
        return handOverAndSync(data, size);
    }
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
    m_spans.push_back({m_used, lines, recordSize});
    return m_used < MaxBuffered || handOverAndSync(m_buffer.get(), m_used);
}

bool DataFile::handOverAndSync(const char* bytes, qsizetype size)
{
    if (!handOver(bytes, size))
        return false;
    maybeSync();
    return isOpen();
}

bool DataFile::writeLine(const QString& line) { return write(line.toLatin1() + QByteArrayLiteral("\r\n")); }

bool DataFile::flushToOs() { return isOpen() && handOverAndSync(m_buffer.get(), m_used); }

bool DataFile::close()
{
    m_syncTimer->stop();
    if (!isOpen())
        return true;
    if (!handOver())
        return false;
    m_open = false;
    m_syncRunning = false;
    // The last seconds of a fast run take a while to reach the disk; a run stop must not hold
    // the event loop for them, nor a storm of starts and stops spend its time there.
    if (m_unsynced)
        startSync(true);
    m_file.close();
    return true;
}

void DataFile::syncTick()
{
    if (isOpen() && handOver())
        maybeSync();
}

bool DataFile::handOver(const char* bytes, qsizetype size)
{
    qsizetype done = 0;
    while (done < size) {
        const qint64 written = m_file.write(bytes + done, size - done);
        if (written <= 0) {
            // A regular file that takes nothing without an error has no room left.
            QString reason = written < 0 ? m_file.errorString() : QStringLiteral("nothing could be written");
            const FileFailure failure = written < 0 ? m_file.failure() : FileFailure::MediaFull;
            cutToWholeEntries(bytes, done, reason);
            fail(reason, failure);
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

void DataFile::cutToWholeEntries(const char* bytes, qsizetype handedOver, QString& reason)
{
    qsizetype kept = 0;
    quint64 whole = 0;
    for (const Span& span : m_spans) {
        if (span.end <= handedOver) {
            kept = span.end;
            whole += span.entries();
            continue;
        }
        // A block torn inside: its entries that made it whole stay.
        if (span.recordSize > 0) {
            const qsizetype records = (handedOver - kept) / span.recordSize;
            kept += records * span.recordSize;
            whole += quint64(records);
        } else if (span.lines > 0) {
            for (qsizetype i = kept; i < handedOver; ++i) {
                if (bytes[i] == '\n') {
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
    if (m_syncRunning)
        return; // the next hand-over asks again
    startSync(false);
}

void DataFile::startSync(bool closing)
{
    auto job = std::make_shared<SyncJob>();
    job->owner = m_owner;
    job->file = m_current;
    job->periodic = !closing;
    job->sync = m_syncFunction;
    job->handle = closing ? std::move(m_file) : m_file.duplicate();
    m_unsynced = false;
    m_lastSync = m_clock.monotonicSeconds();
    m_syncTimer->stop();
    if (!job->handle.isOpen()) {
        // No second handle (out of descriptors): this once the sync holds the event loop.
        job->error = job->sync ? job->sync(m_file) : (m_file.sync() ? 0 : m_file.error());
        syncFinished(*job);
        return;
    }
    if (!closing)
        m_syncRunning = true;
    QCoreApplication* const app = QCoreApplication::instance();
    if (!app) {
        // No event loop to go back to: the caller waits, as it would have without threads.
        job->error = runSync(*job);
        syncFinished(*job);
        return;
    }
    {
        SyncRegistry& registry = SyncRegistry::instance();
        const std::lock_guard lock(registry.mutex);
        registry.jobs.push_back(job);
    }
    QThreadPool::globalInstance()->start([job, app] {
        const int error = runSync(*job);
        SyncRegistry& registry = SyncRegistry::instance();
        {
            const std::lock_guard lock(registry.mutex);
            job->error = error;
            job->done = true;
        }
        registry.finished.notify_all();
        // Back on the event loop's thread, where the file's owner lives.
        QMetaObject::invokeMethod(
            app, [job] { deliverSync(job); }, Qt::QueuedConnection);
    });
}

int DataFile::runSync(SyncJob& job)
{
    int error = job.sync ? job.sync(job.handle) : (job.handle.sync() ? 0 : job.handle.error());
    // What is on the disk need not stay in memory: a run that writes 200 MB/s would otherwise
    // fill the page cache within seconds, and every later write would wait for the kernel to
    // reclaim pages.
    if (error == 0)
        job.handle.releaseCache();
    if (!job.handle.close() && error == 0)
        error = job.handle.error();
    return error;
}

void DataFile::deliverSync(const std::shared_ptr<SyncJob>& job)
{
    DataFile* owner = nullptr;
    {
        SyncRegistry& registry = SyncRegistry::instance();
        const std::lock_guard lock(registry.mutex);
        const auto it = std::find(registry.jobs.begin(), registry.jobs.end(), job);
        if (it == registry.jobs.end())
            return; // waitForPendingSyncs() has taken it
        owner = job->owner->dataFile;
        // Nobody left to tell: the failure waits for waitForPendingSyncs().
        if (!owner && job->error != 0)
            return;
        registry.jobs.erase(it);
    }
    if (owner)
        owner->syncFinished(*job);
}

void DataFile::syncFinished(const SyncJob& job)
{
    const bool ofOpenFile = m_open && job.file == m_current;
    if (job.periodic && ofOpenFile)
        m_syncRunning = false;
    if (job.error == 0) {
        // What was handed over while it ran is synced in its turn.
        if (ofOpenFile)
            maybeSync();
        return;
    }
    if (std::exchange(job.file->failureReported, true))
        return;
    const QString reason = NoFollowFile::errorText(job.error);
    const FileFailure failure = classifyFileError(job.error);
    if (ofOpenFile) {
        fail(reason, failure);
        return;
    }
    if (job.file == m_current) {
        m_error = reason;
        m_failure = failure;
    }
    emit closedFileSyncFailed(job.file->path, QStringLiteral("Write failed: ") + reason, failure);
}

QList<DataFile::SyncFailure> DataFile::waitForPendingSyncs(int timeoutMs)
{
    SyncRegistry& registry = SyncRegistry::instance();
    std::unique_lock lock(registry.mutex);
    const auto allDone = [&registry] {
        return std::all_of(registry.jobs.begin(), registry.jobs.end(), [](const auto& job) { return job->done; });
    };
    if (timeoutMs < 0)
        registry.finished.wait(lock, allDone);
    else
        registry.finished.wait_for(lock, std::chrono::milliseconds(timeoutMs), allDone);

    QList<SyncFailure> failures;
    for (auto it = registry.jobs.begin(); it != registry.jobs.end();) {
        const std::shared_ptr<SyncJob> job = *it;
        if (!job->done) {
            ++it;
            continue;
        }
        it = registry.jobs.erase(it);
        if (job->error != 0 && !std::exchange(job->file->failureReported, true))
            failures.append({job->file->path, QStringLiteral("Write failed: ") + NoFollowFile::errorText(job->error),
                             classifyFileError(job->error)});
    }
    return failures;
}

void DataFile::fail(const QString& reason, FileFailure failure)
{
    m_error = reason;
    m_failure = failure;
    m_used = 0;
    m_spans.clear();
    m_unsynced = false;
    m_syncTimer->stop();
    m_file.close();
    m_open = false;
    m_syncRunning = false;
    if (m_current)
        m_current->failureReported = true;
    emit writeFailed(QStringLiteral("Write failed: ") + reason);
}
