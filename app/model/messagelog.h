/// @brief The message log as a model of lines, newest first, bounded, cheap to append to at any length.
#pragma once

#include <QObject>
#include <QString>
#include <deque>

/// The log's text is its lines, newest first, each followed by CR LF. A line may be "open"
/// (no CR LF after it yet): the start-up and calibration texts replace the whole log with
/// such a line, and a later line is put in front of it.
class MessageLog : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype DefaultCapacity = 1'000'000;

    explicit MessageLog(QObject* parent = nullptr, qsizetype capacity = DefaultCapacity);

    /// The line, then CR LF, then the old text. The oldest lines beyond the capacity are dropped.
    void LogMessage(const QString& text, bool moveCaret);
    /// Replaces the whole text, as the start-up texts do.
    void setText(const QString& text);
    void clear();
    /// The whole text as plain text, newest first, CR LF separated.
    QString text() const;

    qsizetype lineCount() const { return qsizetype(m_lines.size()) - m_hidden; }
    /// Line `row` counted from the newest (row 0), without its line end.
    QString line(qsizetype row) const { return m_lines[size_t(row)].text; }

    /// Calibration: the log shows only `header` (no line end) while the earlier lines are
    /// kept aside; lines logged meanwhile go on top of it.
    void beginAside(const QString& header);
    /// The log becomes its current text, then `closing`, CR LF, then the lines kept aside.
    void endAside(const QString& closing);
    bool inAside() const { return m_asideActive; }

signals:
    /// `count` new lines were put on top (rows 0 .. count-1).
    void linesPrepended(qsizetype count);
    /// `count` oldest lines were dropped from the bottom to keep within the capacity.
    void oldestDropped(qsizetype count);
    /// Anything else: the whole content changed.
    void reset();
    /// The caller asked for the caret at the end of the text.
    void caretToEnd();

private:
    struct Entry {
        QString text;
        bool closed = true;
    };
    void pushFront(Entry e);
    void trim();

    std::deque<Entry> m_lines; // front = newest
    qsizetype m_capacity;
    qsizetype m_hidden = 0;    // lines at the back kept aside during calibration
    bool m_asideActive = false;
};
