/// @brief LogView: a scroll area that paints the visible log lines, wrapped, refreshed in batches.
#include "app/logview.h"

#include "session/messagelog.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>

namespace {
constexpr int Margin = 2;
}

LogView::LogView(MessageLog& log, QWidget* parent) : QAbstractScrollArea(parent), m_log(log)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    m_batch.setSingleShot(true);
    m_batch.setInterval(BatchMs);
    connect(&m_batch, &QTimer::timeout, this, &LogView::flush);
    connect(&log, &MessageLog::changed, this, [this] {
        if (!m_batch.isActive())
            m_batch.start();
    });
    connect(&log, &MessageLog::reset, this, [this] {
        m_topRow = 0;
        clearSelection();
        flush();
    });
    connect(&log, &MessageLog::caretToEnd, this, &LogView::showEnd);
    m_seenAppended = log.appendedTotal();
    m_knownRows = log.lineCount();
}

void LogView::showEnd()
{
    m_caret = true;
    flush();
}

int LogView::lineHeight() const { return std::max(1, fontMetrics().height()); }

int LogView::visibleRows() const { return std::max(1, viewport()->height() / lineHeight()); }

int LogView::wrapWidth() const { return std::max(1, viewport()->width() - 2 * Margin); }

void LogView::flush()
{
    m_batch.stop();
    m_log.acknowledgeChanges();
    const quint64 appended = m_log.appendedTotal();
    const qsizetype added = qsizetype(appended - m_seenAppended);
    m_seenAppended = appended;
    // Someone reading older lines keeps them in sight while new ones arrive on top.
    if (m_topRow > 0)
        m_topRow += added;
    m_knownRows = m_log.lineCount();
    const qsizetype maxTop = maxTopRow();
    if (m_caret) {
        m_caret = false;
        m_topRow = maxTop;
    }
    m_topRow = std::clamp<qsizetype>(m_topRow, 0, maxTop);
    updateScrollBar();
    viewport()->update();
}

QList<int> LogView::wrapStarts(const QString& text, const QFontMetrics& metrics, int width)
{
    QList<int> starts{0};
    int lineStart = 0;
    int afterBlank = -1;
    int x = 0;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const int w = metrics.horizontalAdvance(c);
        if (c == u' ') {
            afterBlank = i + 1;
        } else if (x + w > width && i > lineStart) {
            const int cut = afterBlank > lineStart ? afterBlank : i;
            starts.append(cut);
            lineStart = cut;
            x = 0;
            for (int k = cut; k < i; ++k)
                x += metrics.horizontalAdvance(text.at(k));
        }
        x += w;
    }
    return starts;
}

qsizetype LogView::maxTopRow() const
{
    // Only the oldest lines that fill one box are measured, never the whole log.
    const QFontMetrics fm = fontMetrics();
    const int rows = visibleRows();
    int used = 0;
    qsizetype row = m_knownRows - 1;
    for (; row >= 0; --row) {
        const int n = int(wrapStarts(visibleText(int(row - m_topRow)), fm, wrapWidth()).size());
        if (used > 0 && used + n > rows)
            break;
        used += n;
        if (used >= rows) {
            --row;
            break;
        }
    }
    return std::max<qsizetype>(0, row + 1);
}

void LogView::updateScrollBar()
{
    // A scroll bar counts in int; past that many lines it moves in steps of several lines.
    QScrollBar* bar = verticalScrollBar();
    m_settingScrollBar = true;
    bar->setRange(0, int(std::min<qsizetype>(maxTopRow(), INT_MAX)));
    bar->setPageStep(visibleRows());
    bar->setSingleStep(1);
    bar->setValue(int(std::min<qsizetype>(m_topRow, INT_MAX)));
    m_settingScrollBar = false;
}

void LogView::scrollContentsBy(int, int)
{
    if (m_settingScrollBar)
        return;
    m_topRow = verticalScrollBar()->value();
    viewport()->update();
}

QString LogView::visibleText(int i) const
{
    const qsizetype row = m_topRow + i;
    // Rows dropped from the log since the last batch simply are not drawn.
    if (row < 0 || row >= std::min(m_knownRows, m_log.lineCount()))
        return {};
    // Lines that arrived since the last batch sit above the rows known to the view.
    const qsizetype unseen = qsizetype(m_log.appendedTotal() - m_seenAppended);
    if (row + unseen >= m_log.lineCount())
        return {};
    return m_log.line(row + unseen);
}

QList<LogView::Drawn> LogView::layout() const
{
    QList<Drawn> out;
    const QFontMetrics fm = fontMetrics();
    const int rows = viewport()->height() / lineHeight() + 1;
    for (qsizetype row = m_topRow; out.size() < rows && row < m_knownRows; ++row) {
        const QString text = visibleText(int(row - m_topRow));
        const QList<int> starts = wrapStarts(text, fm, wrapWidth());
        for (qsizetype k = 0; k < starts.size(); ++k)
            out.append({row, starts[k], int(k + 1 < starts.size() ? starts[k + 1] : text.size()) - starts[k]});
    }
    return out;
}

QStringList LogView::drawnLines() const
{
    QStringList out;
    for (const Drawn& d : layout())
        out.append(visibleText(int(d.row - m_topRow)).mid(d.start, d.length));
    return out;
}

void LogView::paintEvent(QPaintEvent*)
{
    QPainter p(viewport());
    const QFontMetrics fm = fontMetrics();
    const int h = lineHeight();
    const int ascent = fm.ascent();
    const Spot from = std::min(m_anchor, m_cursor);
    const Spot to = std::max(m_anchor, m_cursor);
    const bool selecting = !(m_anchor == m_cursor);
    const QList<Drawn> lines = layout();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const Drawn& d = lines[i];
        const QString text = visibleText(int(d.row - m_topRow)).mid(d.start, d.length);
        const int y = int(i) * h;
        p.setPen(palette().color(QPalette::Text));
        p.drawText(Margin, y + ascent, text);
        const qint64 number = lineNumber(d.row);
        if (!selecting || number > from.line || number < to.line)
            continue;
        const int a = std::clamp((number == from.line ? from.column : 0) - d.start, 0, d.length);
        const int b = std::clamp((number == to.line ? to.column : INT_MAX - d.start) - d.start, 0, d.length);
        if (a >= b)
            continue;
        const QRect band(Margin + fm.horizontalAdvance(text.left(a)), y, fm.horizontalAdvance(text.mid(a, b - a)), h);
        p.fillRect(band, palette().color(QPalette::Highlight));
        p.setPen(palette().color(QPalette::HighlightedText));
        p.drawText(band.left(), y + ascent, text.mid(a, b - a));
    }
}

LogView::Spot LogView::spotAt(const QPoint& pos) const
{
    const QList<Drawn> lines = layout();
    if (lines.isEmpty())
        return {lineNumber(m_topRow), 0};
    const qsizetype i = std::clamp<qsizetype>(pos.y() / lineHeight(), 0, lines.size() - 1);
    const Drawn& d = lines[i];
    const QString text = visibleText(int(d.row - m_topRow));
    const QFontMetrics fm = fontMetrics();
    int x = Margin;
    int column = d.start;
    // The nearer edge of the character under the pointer.
    while (column < d.start + d.length) {
        const int w = fm.horizontalAdvance(text.at(column));
        if (pos.x() < x + w / 2)
            break;
        x += w;
        ++column;
    }
    return {lineNumber(d.row), column};
}

void LogView::clearSelection()
{
    m_anchor = m_cursor = Spot{};
    viewport()->update();
}

QString LogView::selectedText() const
{
    if (m_anchor == m_cursor)
        return {};
    const Spot from = std::min(m_anchor, m_cursor);
    const Spot to = std::max(m_anchor, m_cursor);
    QStringList parts;
    const qint64 newest = qint64(m_log.appendedTotal()) - 1;
    for (qint64 n = from.line; n >= to.line; --n) {
        // Lines that have since left the log are left out.
        const qint64 row = newest - n;
        if (row < 0 || row >= m_log.lineCount())
            continue;
        const QString text = m_log.line(row);
        const int a = n == from.line ? from.column : 0;
        const int b = n == to.line ? to.column : int(text.size());
        parts.append(text.mid(a, std::max(0, b - a)));
    }
    return parts.join(QStringLiteral("\r\n"));
}

QMenu* LogView::createContextMenu(QWidget* parent)
{
    // As the Copy button does: whatever the clipboard held goes before the new text is put.
    auto* menu = new QMenu(parent);
    QAction* selection = menu->addAction(QStringLiteral("Copy selection"), this, [this] {
        QApplication::clipboard()->clear();
        QApplication::clipboard()->setText(selectedText());
    });
    selection->setEnabled(!(m_anchor == m_cursor));
    menu->addAction(QStringLiteral("Copy all"), this, [this] {
        QApplication::clipboard()->clear();
        QApplication::clipboard()->setText(m_log.text());
    });
    return menu;
}

void LogView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mousePressEvent(event);
    m_anchor = m_cursor = spotAt(event->position().toPoint());
    viewport()->update();
}

void LogView::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return QAbstractScrollArea::mouseMoveEvent(event);
    m_cursor = spotAt(event->position().toPoint());
    viewport()->update();
}

void LogView::contextMenuEvent(QContextMenuEvent* event)
{
    // Shown without a loop of its own; it deletes itself once closed.
    QMenu* menu = createContextMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void LogView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    m_topRow = std::clamp<qsizetype>(m_topRow, 0, maxTopRow());
    updateScrollBar();
}

void LogView::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        emit escapePressed();
        event->accept();
        return;
    case Qt::Key_Home:
        verticalScrollBar()->setValue(0);
        return;
    case Qt::Key_End:
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
        return;
    default:
        QAbstractScrollArea::keyPressEvent(event);
    }
}
