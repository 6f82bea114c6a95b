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
/// Lines are kept as UTF-8 in large shared chunks and turned back into text only when a view
/// asks for them. A message has an index entry of its own; record lines that arrive one after
/// the other share one entry (a run: each line followed by CR LF, as the text has them), so
/// that a line costs a copy of its bytes and nothing per line beyond, at any rate the link
/// carries. The oldest lines beyond the capacity are cut off the oldest entry.
class MessageLog : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype DefaultCapacity = 1'000'000;

    explicit MessageLog(QObject* parent = nullptr, qsizetype capacity = DefaultCapacity);

    /// The line, then CR LF, then the old text. The oldest lines beyond the capacity are dropped.
    void LogMessage(const QString& text, bool moveCaret);
    /// LogMessage for one line of plain ASCII without CR or LF (a record line), caret left alone.
    void appendAsciiLine(QByteArrayView line);
    /// appendAsciiLine for `lines` lines at once, each followed by CR LF in `bytes`, oldest first.
    void appendAsciiLines(QByteArrayView bytes, qsizetype lines);
    /// Replaces the whole text, as the start-up texts do.
    void setText(const QString& text);
    void clear();
    /// The whole text as plain text, newest first, CR LF separated.
    QString text() const;

    qsizetype lineCount() const;
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
        quint64 pos = 0;       // where the UTF-8 text starts in the chunk stream
        quint64 firstLine = 0; // the number of its (first) line, counted since the log began
        quint32 size = 0;
        quint32 lines = 1; // > 1 only for a run
        bool closed = true;
        bool run = false; // record lines, each followed by CR LF in the bytes
    };
    struct Chunk {
        quint64 start = 0;
        std::unique_ptr<char[]> data;
        qsizetype size = 0;
        qsizetype capacity = 0;
    };
    static constexpr qsizetype ChunkBytes = 256 * 1024;

    /// The entries, oldest first, in one block that grows up to what it needs and then turns over.
    class EntryRing {
    public:
        size_t size() const { return m_size; }
        bool empty() const { return m_size == 0; }
        const Entry& operator[](size_t i) const { return m_items[wrap(m_head + i)]; }
        Entry& operator[](size_t i) { return m_items[wrap(m_head + i)]; }
        Entry& back() { return (*this)[m_size - 1]; }
        const Entry& back() const { return (*this)[m_size - 1]; }
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

    /// Copies the parts one after the other into the chunk stream; a new chunk when they do
    /// not fit in the current one. Returns where they start.
    quint64 store(QByteArrayView first, QByteArrayView second = {});
    /// The newest chunk when it has room for n more bytes, else a new one.
    Chunk& chunkWithRoom(qsizetype n);
    /// The newest entry when record lines can join it: a visible run that ends where the next
    /// bytes go (in the newest chunk). Null otherwise.
    Entry* openRun();
    /// The bytes of the whole lines at `from` (size bytes in all) that fit in `room`.
    static qsizetype wholeLinesWithin(const char* from, qsizetype size, qsizetype room);
    QByteArrayView bytesOf(const Entry& e) const;
    QByteArrayView lineOf(const Entry& e, quint64 index) const;
    /// Lines held, including up to TrimSlack of the oldest that are already past the capacity:
    /// they are cut off in bulk rather than one per new line, and never shown.
    quint64 totalLines() const { return m_entries.empty() ? 0 : m_lineEnd - m_entries[0].firstLine; }
    quint64 excessLines() const
    {
        const quint64 total = totalLines();
        return total > quint64(m_capacity) ? total - quint64(m_capacity) : 0;
    }
    static constexpr quint64 TrimSlack = 65536;
    /// trim() has work once m_lineEnd passes this; recomputed by every trim().
    quint64 m_trimAt = 0;
    /// The entry holding line `number`, counted as firstLine counts.
    size_t entryHolding(quint64 number) const;
    void pushNewest(QByteArrayView utf8, bool closed);
    void trim();
    void releaseChunks();

    EntryRing m_entries;        // back = newest
    std::deque<Chunk> m_chunks; // by start, ascending
    // Released chunks kept for the next ones (as many as a bulk trim frees): at millions of
    // lines a second the log would otherwise map and unmap quarter megabytes all the time.
    std::vector<Chunk> m_spares;
    static constexpr size_t MaxSpares = 8;
    quint64 m_nextPos = 0;
    qsizetype m_capacity;
    quint64 m_lineEnd = 0;  // the number the next line gets
    qsizetype m_hidden = 0; // oldest entries kept aside during calibration
    quint64 m_hiddenLines = 0;
    // Where the lines of the run last read start, so that a view's rows cost no rescan.
    mutable quint64 m_offsetsPos = ~quint64(0);
    mutable std::vector<quint32> m_offsets;
    bool m_asideActive = false;
    quint64 m_appended = 0;
    bool m_changeSignalled = false;
};
