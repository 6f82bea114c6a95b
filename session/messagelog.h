/// @brief The message log as a model of lines, newest first, bounded, cheap to append to at any length.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <deque>
#include <memory>
#include <vector>

/// The log's text is its lines, newest first, each followed by CR LF. A line may be "open"
/// (no CR LF after it yet): the start-up and calibration texts replace the whole log with
/// such a line, and a later line is put in front of it.
///
/// Lines are kept as UTF-8 in large shared chunks with a 16-byte index entry each, and
/// turned back into text only when a view asks for them: a million record lines cost about
/// 30 MB rather than one heap string each.
class MessageLog : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype DefaultCapacity = 1'000'000;

    explicit MessageLog(QObject* parent = nullptr, qsizetype capacity = DefaultCapacity);

    /// The line, then CR LF, then the old text. The oldest lines beyond the capacity are dropped.
    void LogMessage(const QString& text, bool moveCaret);
    /// LogMessage for one line of plain ASCII without CR or LF (a record line), caret left alone.
    void appendAsciiLine(QByteArrayView line);
    /// Replaces the whole text, as the start-up texts do.
    void setText(const QString& text);
    void clear();
    /// The whole text as plain text, newest first, CR LF separated.
    QString text() const;

    qsizetype lineCount() const { return qsizetype(m_entries.size()) - m_hidden; }
    /// Line `row` counted from the newest (row 0), without its line end.
    QString line(qsizetype row) const;

    /// Calibration: the log shows only `header` (no line end) while the earlier lines are
    /// kept aside; lines logged meanwhile go on top of it.
    void beginAside(const QString& header);
    /// The log becomes its current text, then `closing`, CR LF, then the lines kept aside.
    void endAside(const QString& closing);
    bool inAside() const { return m_asideActive; }

    /// Bytes held for the lines' text (for benchmarks and the memory bound).
    qsizetype storedBytes() const;

    /// Lines ever put on top; a view compares it with what it has seen.
    quint64 appendedTotal() const { return m_appended; }
    /// A view has taken in the changes: the next line raises changed() again. Lines are
    /// signalled once per batch rather than once each, as a flood of records would otherwise
    /// cost a signal per record.
    void acknowledgeChanges() { m_changeSignalled = false; }

signals:
    /// Lines were put on top (and perhaps the oldest dropped) since the last acknowledgement.
    void changed();
    /// Anything else: the whole content changed.
    void reset();
    /// The caller asked for the caret at the end of the text.
    void caretToEnd();

private:
    struct Entry {
        quint64 pos = 0; // where the UTF-8 text starts in the chunk stream
        quint32 size = 0;
        bool closed = true;
    };
    struct Chunk {
        quint64 start = 0;
        std::unique_ptr<char[]> data;
        qsizetype size = 0;
        qsizetype capacity = 0;
    };
    static constexpr qsizetype ChunkBytes = 256 * 1024;

    /// The line index, oldest first, in one block that grows up to the capacity and then turns
    /// over: a line in and the oldest out cost two index steps, not a deque's bookkeeping.
    class EntryRing {
    public:
        size_t size() const { return m_size; }
        bool empty() const { return m_size == 0; }
        const Entry& operator[](size_t i) const { return m_items[wrap(m_head + i)]; }
        Entry& operator[](size_t i) { return m_items[wrap(m_head + i)]; }
        const Entry& front() const { return m_items[m_head]; }
        void push_back(const Entry& e)
        {
            if (m_size == m_items.size())
                grow();
            m_items[wrap(m_head + m_size)] = e;
            ++m_size;
        }
        void pop_front()
        {
            m_head = wrap(m_head + 1);
            --m_size;
        }
        /// Keeps the oldest n.
        void truncate(size_t n) { m_size = std::min(n, m_size); }
        /// Puts e at index i, the newer ones one up (rare: the end of a calibration).
        void insert(size_t i, const Entry& e);

    private:
        size_t wrap(size_t i) const { return i >= m_items.size() ? i - m_items.size() : i; }
        void grow();
        std::vector<Entry> m_items;
        size_t m_head = 0;
        size_t m_size = 0;
    };

    Entry store(QByteArrayView utf8, bool closed);
    const Entry& entryAt(qsizetype row) const { return m_entries[m_entries.size() - 1 - size_t(row)]; }
    QByteArrayView bytesOf(const Entry& e) const;
    void pushNewest(QByteArrayView utf8, bool closed);
    void trim();
    void releaseChunks();

    EntryRing m_entries; // back = newest
    std::deque<Chunk> m_chunks;  // by start, ascending
    // One released chunk kept for the next: at a million lines a second the log would otherwise
    // map and unmap a quarter megabyte thousands of times a second.
    Chunk m_spare;
    quint64 m_nextPos = 0;
    qsizetype m_capacity;
    qsizetype m_hidden = 0; // oldest entries kept aside during calibration
    bool m_asideActive = false;
    quint64 m_appended = 0;
    bool m_changeSignalled = false;
};
