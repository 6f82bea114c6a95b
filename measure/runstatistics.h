/// @brief Record count, minimum, maximum and range of the current run, with their captions.
#pragma once

#include <QObject>
#include <QString>
#include <optional>

class RunStatistics : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    /// Run start: count 0, minimum, maximum and range empty.
    void clearForRunStart();
    /// One decoded record. Before any run has started the count starts from 0 and the first
    /// record starts the minimum and maximum, instead of failing on empty captions.
    void recordUpdate(qint32 dt, bool runTicked);
    /// Min/max restart from the latest time difference; only while Run is ticked.
    void minMaxReset(bool runTicked);

    std::optional<qint64> count() const { return m_count; }
    std::optional<qint64> minimum() const { return m_min; }
    std::optional<qint64> maximum() const { return m_max; }
    /// Decimal text of the latest time difference, empty until the first record.
    QString lastDifference() const { return m_last ? QString::number(*m_last) : QString(); }

    /// Captions as shown: count grouped "#,###,###,##0" in the locale; the others plain.
    QString countCaption() const;
    QString minCaption() const { return m_min ? QString::number(*m_min) : QString(); }
    QString maxCaption() const { return m_max ? QString::number(*m_max) : QString(); }
    QString rangeCaption() const;

signals:
    /// Emitted after every change; listeners read the captions they need.
    void changed();

private:
    std::optional<qint64> m_count;
    std::optional<qint64> m_min;
    std::optional<qint64> m_max;
    std::optional<qint64> m_last;
    bool m_rangeShown = false;
};
