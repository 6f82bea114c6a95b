/// @brief LogView: a scroll area that paints the visible log lines, refreshed in batches.
#include "app/logview.h"

#include "session/messagelog.h"

#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>

LogView::LogView(MessageLog& log, QWidget* parent) : QAbstractScrollArea(parent), m_log(log)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    m_batch.setSingleShot(true);
    m_batch.setInterval(BatchMs);
    connect(&m_batch, &QTimer::timeout, this, &LogView::flush);
    connect(&log, &MessageLog::changed, this, [this] {
        if (!m_batch.isActive())
            m_batch.start();
    });
    connect(&log, &MessageLog::reset, this, [this] {
        m_topRow = 0;
        flush();
    });
    connect(&log, &MessageLog::caretToEnd, this, [this] {
        m_caret = true;
        flush();
    });
    m_seenAppended = log.appendedTotal();
    m_knownRows = log.lineCount();
}

int LogView::lineHeight() const { return std::max(1, fontMetrics().height()); }

int LogView::visibleRows() const { return std::max(1, viewport()->height() / lineHeight()); }

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
    if (m_caret) {
        m_caret = false;
        m_topRow = std::max<qsizetype>(0, m_knownRows - visibleRows());
    }
    m_topRow = std::clamp<qsizetype>(m_topRow, 0, std::max<qsizetype>(0, m_knownRows - visibleRows()));
    updateScrollBar();
    viewport()->update();
}

void LogView::updateScrollBar()
{
    // A scroll bar counts in int; past that many lines it moves in steps of several lines.
    QScrollBar* bar = verticalScrollBar();
    m_settingScrollBar = true;
    bar->setRange(0, int(std::min<qsizetype>(std::max<qsizetype>(0, m_knownRows - visibleRows()), INT_MAX)));
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

void LogView::paintEvent(QPaintEvent*)
{
    QPainter p(viewport());
    p.setPen(palette().color(QPalette::Text));
    const int h = lineHeight();
    const int ascent = fontMetrics().ascent();
    const int rows = viewport()->height() / h + 1;
    for (int i = 0; i < rows; ++i) {
        const QString text = visibleText(i);
        if (!text.isEmpty())
            p.drawText(2, i * h + ascent, text);
    }
}

void LogView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    m_topRow = std::clamp<qsizetype>(m_topRow, 0, std::max<qsizetype>(0, m_knownRows - visibleRows()));
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
