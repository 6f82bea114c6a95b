/// @brief The message log box: a list view over the log model, newest line on top, refreshed in batches.
#pragma once

#include <QAbstractListModel>
#include <QListView>
#include <QTimer>

class MessageLog;

/// Presents MessageLog rows to a view. New lines are announced in batches at most every
/// 100 ms, so a flood of records costs the view one update per batch, not one per line.
class LogListModel : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr int BatchMs = 100;

    explicit LogListModel(MessageLog& log, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    /// Announces what is pending now (tests and the caret request call it directly).
    void flush();

signals:
    void flushed(bool caretToEnd);

private:
    MessageLog& m_log;
    QTimer m_batch;
    qsizetype m_shown = 0;   // rows the view knows about
    qsizetype m_pending = 0; // newest rows not announced yet
    qsizetype m_dropped = 0; // oldest rows gone from the log but still known to the view
    bool m_caret = false;
};

class LogView : public QListView {
    Q_OBJECT
public:
    explicit LogView(MessageLog& log, QWidget* parent = nullptr);
    LogListModel& logModel() { return m_model; }

signals:
    /// Escape pressed in the log.
    void escapePressed();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    LogListModel m_model;
};
