/// @brief Files in folders that someone else names: created exclusively, reopened and replaced whole, never through a
/// link planted at the name.
#pragma once

#include "platform/fileerror.h"

#include <QByteArrayView>
#include <QString>

/// A client of the control port may name any folder the panel's user can write, /tmp among
/// them, where another local user can plant a symbolic link named after the next file the panel
/// writes. Everything here acts on the name itself: a link, a FIFO or a folder standing at the
/// name is refused, never followed and never replaced, so no byte lands in someone else's file.
///
/// Every call keeps the system's error number of its failure at once (error()), so that a caller
/// can tell a full disk from a missing folder. One thread at a time; a duplicate() is a file of
/// its own and may go to another thread.
class NoFollowFile {
public:
    NoFollowFile() = default;
    ~NoFollowFile();
    NoFollowFile(NoFollowFile&& other) noexcept;
    NoFollowFile& operator=(NoFollowFile&& other) noexcept;
    NoFollowFile(const NoFollowFile&) = delete;
    NoFollowFile& operator=(const NoFollowFile&) = delete;

    /// Creates `path` for writing, permissions 0666 less the umask. Fails with EEXIST when
    /// anything stands at the name, a dangling link included.
    bool createNew(const QString& path);
    /// Opens the regular file at `path` for reading and writing. A link at the name, anything
    /// but a regular file, or a file with a second name (a hard link someone made to a file of
    /// theirs) is refused.
    bool openExisting(const QString& path);
    bool isOpen() const { return m_handle >= 0; }
    /// The system's descriptor, -1 when closed.
    int handle() const { return m_handle; }

    /// Bytes the file took: all of them, or fewer when it filled up (the next write then fails);
    /// -1 on failure. An interrupted write is resumed.
    qint64 write(const char* data, qint64 size);
    /// All of `bytes`, or false.
    bool writeAll(QByteArrayView bytes);
    bool resize(qint64 size);
    /// Data and size to the disk.
    bool sync();
    /// Disk blocks for the first `size` bytes, the file's size unchanged, so that a later write
    /// up to there cannot meet a full disk (Linux; elsewhere false with ENOSYS).
    bool reserve(qint64 size);
    /// Advice that the file's cached pages are not needed again (after a sync); nothing depends on it.
    void releaseCache();
    /// A second descriptor on the same open file, owned by the object returned: a sync of it
    /// beside the event loop reaches the same data, whatever happens to this one meanwhile.
    NoFollowFile duplicate();
    /// False (with error()) when the system reports a failure on closing; closed either way.
    bool close();

    /// The errno value of the last failure; 0 after a call that succeeded.
    int error() const { return m_error; }
    FileFailure failure() const { return classifyFileError(m_error); }
    QString errorString() const;
    /// The system's text for an errno value.
    static QString errorText(int systemError);

    struct Replaced {
        int error = 0;
        QString errorString;
        bool ok() const { return error == 0; }
        FileFailure failure() const { return classifyFileError(error); }
    };
    /// Replaces the whole content of `path`: `bytes` go to a new file of an unpredictable name in
    /// the same folder, every write checked, synced, and only then renamed over `path`. When
    /// anything but a regular file stands at `path` (a link, a FIFO, a folder) it is left as it
    /// is and the new file removed. On every failure the old content stays whole.
    static Replaced replaceContents(const QString& path, QByteArrayView bytes);

private:
    bool failWith(int systemError, const QString& text = QString());
    bool succeed();

    int m_handle = -1;
    int m_error = 0;
    /// For refusals the system has no words of its own for.
    QString m_errorText;
};
