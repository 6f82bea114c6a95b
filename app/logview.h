/// @brief The message log box: draws only the lines in sight straight from the log model, newest on top, long lines
/// wrapped.
#pragma once

#include <QAbstractScrollArea>
#include <QList>
#include <QTimer>

class MessageLog;
class QMenu;

/// A scroll area over the MessageLog rather than an item view: an item view keeps per-row
/// bookkeeping that a million rows turn into tens of milliseconds per update, while this costs
/// the same whatever the log holds. New lines are taken in at most every 100 ms.
///
/// Long lines wrap at the box's width, as in a multi-line text box. The scroll bar still counts
/// log lines, not drawn lines: knowing every line's drawn height would mean measuring all of
/// them, which a million lines make too slow.
class LogView : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr int BatchMs = 100;

    explicit LogView(MessageLog& log, QWidget* parent = nullptr);

    /// Takes in what the log has gained since the last batch now (tests, and the caret request).
    void flush();
    /// The caret to the end of the text (the oldest lines), as at once as a line taken in.
    void showEnd();
    /// The row (0 = newest) drawn at the top, and how many rows fit.
    qsizetype topRow() const { return m_topRow; }
    int visibleRows() const;
    /// Rows as the view knows them (the log may have more until the next batch).
    qsizetype knownRows() const { return m_knownRows; }
    /// Text of the row drawn at position `i` from the top (the whole line, however it wraps).
    QString visibleText(int i) const;
    /// The texts of the drawn lines, top to bottom, as wrapped.
    QStringList drawnLines() const;

    /// Where the drawn lines of `text` start when it wraps at `width` pixels: at the last blank
    /// that fits (blanks hang past the edge), within a word only when a word alone is too wide.
    static QList<int> wrapStarts(const QString& text, const QFontMetrics& metrics, int width);

    /// The selected text, top to bottom, CR LF between lines; empty without a selection.
    QString selectedText() const;
    /// The log box's context menu: "Copy selection" and "Copy all".
    QMenu* createContextMenu(QWidget* parent);

signals:
    /// Escape pressed in the log.
    void escapePressed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    /// A line as drawn: part of the view row `row`, from `start`, `length` characters.
    struct Drawn {
        qsizetype row;
        int start;
        int length;
    };
    /// A place in the text: `line` counts log lines since the log began (stays put as lines
    /// arrive on top), `column` the character in it.
    struct Spot {
        qint64 line = 0;
        int column = 0;
        bool operator<(const Spot& o) const { return line != o.line ? line > o.line : column < o.column; }
        bool operator==(const Spot& o) const = default;
    };

    void updateScrollBar();
    int lineHeight() const;
    int wrapWidth() const;
    /// The drawn lines in sight, from the top row down.
    QList<Drawn> layout() const;
    /// The last top row that still fills the box with the oldest lines.
    qsizetype maxTopRow() const;
    Spot spotAt(const QPoint& p) const;
    qint64 lineNumber(qsizetype row) const { return qint64(m_seenAppended) - 1 - row; }
    void clearSelection();

    MessageLog& m_log;
    QTimer m_batch;
    qsizetype m_topRow = 0;
    qsizetype m_knownRows = 0;
    quint64 m_seenAppended = 0;
    bool m_caret = false;
    bool m_settingScrollBar = false;
    Spot m_anchor;
    Spot m_cursor;
};
