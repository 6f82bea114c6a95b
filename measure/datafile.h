/// @brief The data file of one run: its name from the locale's date and time, append-only writing, hand-over to the OS
/// and periodic sync.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QObject>
#include <QString>

#include "platform/fileerror.h"
#include "platform/nofollowfile.h"
#include "platform/timer.h"
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

class Clock;

/// At most one file open at a time. Entries are collected in memory and handed to the
/// operating system by flushToOs(), which the owner calls once every arrival has been
/// decoded: from then on a crash of this program loses nothing. Data handed over is synced
/// to the disk within SyncIntervalSeconds and at close, so a crash of the machine loses at
/// most the last few seconds.
///
/// A file is never emptied and never written through a link: the name is taken with an
/// exclusive create that does not follow links, and when anything stands at that name already
/// (two runs started in the same second, or a link someone planted in a shared folder) the next
/// free "Coincidences <date time> (n).txt" is used instead.
///
/// A write or sync that fails is reported once by writeFailed() and the file is closed; the
/// data still in memory is dropped rather than retried behind the operator's back. A write
/// that stops inside an entry (a full disk takes what fits) has its torn tail cut off first:
/// a partial line such as "     -2" would read back as a record that never was, and a
/// partial raw record as bytes no reader can place. Every failure has its kind (failure()),
/// taken from the system's error number, beside its text.
///
/// Syncs run beside the event loop, the one at close included: close() hands everything over
/// at once (so a full disk is still found and cut back there), and the file's last seconds
/// reach the disk while the panel goes on. A closing sync that fails is told by
/// closedFileSyncFailed(), possibly while a later file is open.
class DataFile : public QObject {
    Q_OBJECT
public:
    static constexpr double SyncIntervalSeconds = 5.0;
    /// Entries beyond this are handed to the OS at once, so that an owner who never calls
    /// flushToOs() cannot make the memory grow without bound.
    static constexpr qsizetype MaxBuffered = 64 * 1024;
    /// Highest "(n)" tried before the opening is given up as failed.
    static constexpr int MaxNameSuffix = 999;
    static inline const QString NamePrefix = QStringLiteral("Coincidences ");
    static inline const QString NameSuffix = QStringLiteral(".txt");

    explicit DataFile(const Clock& clock, QObject* parent = nullptr);
    ~DataFile() override;

    /// The folder a new installation records into: the user's Documents folder, or the home
    /// folder where there is none, with "/" separators.
    static QString defaultFolder();
    /// The locale's general date and time as a file name part: numeric short date with a
    /// four-digit year, a blank, the time with seconds (no time zone); "/" -> "-", ":" -> ";".
    static QString dateTimeText(const QDateTime& when, const QLocale& locale);
    /// "Coincidences " + dateTimeText + ".txt".
    static QString fileName(const QDateTime& when, const QLocale& locale);
    /// The folder text as given, then a separator unless it ends with one already, then `name`.
    static QString joinFolder(const QString& folder, const QString& name);

    /// The locale the name is built in; the default locale unless set.
    void setLocale(const QLocale& locale) { m_locale = locale; }

    /// Closes any open file, then creates a new one in `folder`, named after the clock's
    /// local time. False (with errorString() and failure()) when the folder is empty, missing or
    /// not writable, or no free name is left.
    bool open(const QString& folder);
    bool isOpen() const { return m_open; }
    /// Full path of the open file, or of the last one opened; empty after an open that failed.
    QString path() const { return m_path; }
    /// Why the last open failed, or why the file (or the last one) failed; empty otherwise.
    QString errorString() const { return m_error; }
    /// The kind of that failure: None after a successful open until the file fails. An empty
    /// folder text is BadName; a failed closing sync counts for the file it was made for.
    FileFailure failure() const { return m_failure; }
    /// Whole entries in the file (or the last one), as a reader finds them: counted when
    /// they were handed to the OS complete, not when they reached the memory buffer.
    quint64 entriesInFile() const { return m_entriesInFile; }

    /// Appends bytes exactly as given, as one entry (a record line with its CR LF, or a raw record).
    /// False when no file is open or when handing a full buffer to the OS failed.
    bool write(const char* data, qsizetype size);
    bool write(const QByteArray& bytes) { return write(bytes.constData(), bytes.size()); }
    /// `lines` whole entries at once, each a line ending in LF (record lines with their CR LF).
    bool writeLines(const char* data, qsizetype size, qsizetype lines);
    /// size / recordSize whole entries at once, each recordSize bytes (raw records).
    bool writeRecords(const char* data, qsizetype size, int recordSize);
    /// Bytes written before the one that hands the buffer to the OS.
    qsizetype roomBeforeHandOver() const { return MaxBuffered - m_used; }
    /// A record line as single-byte text followed by CR LF.
    bool writeLine(const QString& line);

    /// Hands everything written so far to the OS, and syncs when the last sync is
    /// SyncIntervalSeconds old. False when no file is open or the write failed.
    bool flushToOs();
    /// Hands over and closes, then syncs beside the event loop. False when that last write
    /// failed (reported as well); a failure of the sync comes later, by closedFileSyncFailed().
    bool close();

    /// True while bytes handed to the OS wait for the next sync.
    bool syncPending() const { return m_unsynced; }
    /// A periodic sync is on its way to the disk beside the event loop.
    bool syncRunning() const { return m_syncRunning; }
    /// Handler of the sync timer, public so that tests can drive it without waiting.
    void syncTick();
    Timer& syncTimer() { return *m_syncTimer; }

    /// What brings a file to the disk: 0, or the errno value of its failure. Called beside the
    /// event loop, so it must not touch anything else. NoFollowFile::sync() unless a test puts a
    /// slow or failing disk in its place.
    using SyncFunction = std::function<int(NoFollowFile& file)>;
    void setSyncFunction(SyncFunction sync);

    /// A closing sync that failed after its DataFile was gone or could no longer be heard.
    struct SyncFailure {
        QString path;
        QString description;
        FileFailure failure = FileFailure::None;
    };
    /// For the mains, once the event loop has ended and the objects that own data files are
    /// gone: waits at most `timeoutMs` (all the time it takes when negative) for every sync still
    /// on its way, typically the closing sync of a run stopped on the way out, so that the
    /// process does not end before its data are on the disk. Returns the failures no
    /// closedFileSyncFailed() or writeFailed() has told, to be reported by the main (stderr, exit
    /// status). A sync still running at the time-out is left to the system, which writes the
    /// data anyway unless the machine goes down first. Call on the thread the files lived on.
    static QList<SyncFailure> waitForPendingSyncs(int timeoutMs = 30000);

signals:
    /// "Write failed: <reason>"; the file is closed when this arrives.
    void writeFailed(const QString& description);
    /// The sync of a file already closed failed: its data may not be on the disk. `path` names
    /// that file (another may be open by now); `description` is "Write failed: <reason>".
    void closedFileSyncFailed(const QString& path, const QString& description, FileFailure failure);

private:
    struct Owner {
        DataFile* dataFile = nullptr;
    };
    /// One file from its open on, kept by its syncs until they are done.
    struct OpenedFile {
        QString path;
        /// A file reports one failure: it is closed by the first.
        bool failureReported = false;
    };
    struct SyncJob;
    struct SyncRegistry;

    bool handOver() { return handOver(m_buffer.get(), m_used); }
    /// Hands bytes to the OS: the buffer's, or a caller's block that fills a buffer by itself.
    bool handOver(const char* bytes, qsizetype size);
    /// handOver(), then a sync if one is due; false when the file is no longer open.
    bool handOverAndSync(const char* bytes, qsizetype size);
    void cutToWholeEntries(const char* bytes, qsizetype handedOver, QString& reason);
    /// The periodic sync, beside the event loop where there is one: at gigabit rates five
    /// seconds of data take seconds to reach the disk while the records keep coming.
    void syncInBackground();
    /// A sync beside the event loop: of a duplicate of the open file's handle (periodic), or of
    /// the handle itself, which the file hands over as it closes (closing).
    void startSync(bool closing);
    /// 0 or the errno value; closes the job's handle.
    static int runSync(SyncJob& job);
    static void deliverSync(const std::shared_ptr<SyncJob>& job);
    void syncFinished(const SyncJob& job);
    void maybeSync();
    void fail(const QString& reason, FileFailure failure);
    static QString generalFormat(const QLocale& locale);

    const Clock& m_clock;
    QLocale m_locale;
    NoFollowFile m_file;
    QString m_path;
    // m_file's state, kept here: asked once per record, it must not cost a call into Qt.
    bool m_open = false;
    // A plain block: an append per record must stay a copy, with no sharing checks.
    std::unique_ptr<char[]> m_buffer;
    qsizetype m_used = 0;
    qsizetype m_capacity = 0;
    /// Where the entries in m_buffer end, so that a partial hand-over can be cut back to one:
    /// a single entry (lines 0), or a block of lines that each end in LF.
    struct Span {
        qsizetype end = 0;
        qsizetype lines = 0;
        /// Above 0: the span is lines entries of this many bytes each, not lines ending in LF.
        int recordSize = 0;
        quint64 entries() const { return quint64(std::max<qsizetype>(lines, 1)); }
    };
    std::vector<Span> m_spans;
    bool append(const char* data, qsizetype size, qsizetype lines, int recordSize = 0);
    qint64 m_fileSize = 0;
    quint64 m_entriesInFile = 0;
    QString m_error;
    FileFailure m_failure = FileFailure::None;
    std::unique_ptr<Timer> m_syncTimer;
    double m_lastSync = 0;
    bool m_unsynced = false;
    /// What a sync beside the event loop reports back to; cleared when this object goes.
    std::shared_ptr<Owner> m_owner;
    /// The open file, or the last one.
    std::shared_ptr<OpenedFile> m_current;
    SyncFunction m_syncFunction;
    bool m_syncRunning = false;
};
