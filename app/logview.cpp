/// @brief Batched list model and view for the message log.
#include "app/logview.h"

#include "app/model/messagelog.h"

#include <QKeyEvent>

LogListModel::LogListModel(MessageLog& log, QObject* parent) : QAbstractListModel(parent), m_log(log)
{
    m_shown = log.lineCount();
    m_batch.setSingleShot(true);
    m_batch.setInterval(BatchMs);
    connect(&m_batch, &QTimer::timeout, this, &LogListModel::flush);
    connect(&log, &MessageLog::linesPrepended, this, [this](qsizetype n) {
        m_pending += n;
        if (!m_batch.isActive())
            m_batch.start();
    });
    connect(&log, &MessageLog::oldestDropped, this, [this](qsizetype n) {
        m_dropped += n;
        if (!m_batch.isActive())
            m_batch.start();
    });
    connect(&log, &MessageLog::reset, this, [this] {
        beginResetModel();
        m_shown = m_log.lineCount();
        m_pending = 0;
        m_dropped = 0;
        endResetModel();
    });
    connect(&log, &MessageLog::caretToEnd, this, [this] {
        m_caret = true;
        flush();
    });
}

int LogListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_shown);
}

QVariant LogListModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    // Rows the view knows sit below the lines still pending; rows already dropped from the
    // log read empty until the next batch removes them.
    const qsizetype row = index.row() + m_pending;
    if (row >= m_log.lineCount())
        return QString();
    return m_log.line(row);
}

void LogListModel::flush()
{
    m_batch.stop();
    if (m_dropped > 0) {
        const qsizetype remove = std::min(m_dropped, m_shown);
        if (remove > 0) {
            beginRemoveRows({}, int(m_shown - remove), int(m_shown - 1));
            m_shown -= remove;
            endRemoveRows();
        }
        m_dropped = 0;
    }
    if (m_pending > 0) {
        beginInsertRows({}, 0, int(m_pending - 1));
        m_shown += m_pending;
        m_pending = 0;
        endInsertRows();
    }
    // Lines logged and dropped within one batch never reach the view.
    if (m_shown > m_log.lineCount()) {
        beginResetModel();
        m_shown = m_log.lineCount();
        endResetModel();
    }
    const bool caret = m_caret;
    m_caret = false;
    emit flushed(caret);
}

LogView::LogView(MessageLog& log, QWidget* parent) : QListView(parent), m_model(log)
{
    setModel(&m_model);
    setUniformItemSizes(true);
    setLayoutMode(QListView::SinglePass);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextElideMode(Qt::ElideRight);
    connect(&m_model, &LogListModel::flushed, this, [this](bool caret) {
        if (caret)
            scrollToBottom();
    });
}

void LogView::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        emit escapePressed();
        event->accept();
        return;
    }
    QListView::keyPressEvent(event);
}
