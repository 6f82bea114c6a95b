/// @brief The message log box: draws only the lines in sight straight from the log model, newest on top.
#pragma once

#include <QAbstractScrollArea>
#include <QTimer>

class MessageLog;

/// A scroll area over the MessageLog rather than an item view: an item view keeps per-row
/// bookkeeping that a million rows turn into tens of milliseconds per update, while this costs
/// the same whatever the log holds. New lines are taken in at most every 100 ms.
class LogView : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr int BatchMs = 100;

    explicit LogView(MessageLog& log, QWidget* parent = nullptr);

    /// Takes in what the log has gained since the last batch now (tests, and the caret request).
    void flush();
    /// The row (0 = newest) drawn at the top, and how many rows fit.
    qsizetype topRow() const { return m_topRow; }
    int visibleRows() const;
    /// Rows as the view knows them (the log may have more until the next batch).
    qsizetype knownRows() const { return m_knownRows; }
    /// Text of the row drawn at position `i` from the top.
    QString visibleText(int i) const;

signals:
    /// Escape pressed in the log.
    void escapePressed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void updateScrollBar();
    int lineHeight() const;

    MessageLog& m_log;
    QTimer m_batch;
    qsizetype m_topRow = 0;
    qsizetype m_knownRows = 0;
    quint64 m_seenAppended = 0;
    bool m_caret = false;
    bool m_settingScrollBar = false;
};
