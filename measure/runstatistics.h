/// @brief Record count, minimum, maximum and range of the current run, with their captions.
#pragma once

#include "link/decoderoutput.h"

#include <QLocale>
#include <QObject>
#include <QString>
#include <algorithm>
#include <functional>
#include <optional>

class RunStatistics : public QObject, public RecordObserver {
    Q_OBJECT
public:
    using QObject::QObject;

    /// Holds changed() back while it lives and emits it once at the end when anything changed.
    /// The values themselves change at once; only the announcement waits. The decoder holds one
    /// per arrival: the window redraws its captions once, not once per record. Nestable.
    class Batch {
    public:
        explicit Batch(RunStatistics& statistics) : m_statistics(statistics) { ++m_statistics.m_batchDepth; }
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        RunStatistics& m_statistics;
    };

    /// Run start: count 0, minimum, maximum and range empty.
    void clearForRunStart();
    /// The Run switch, read when the first record of a count restarts minimum and maximum;
    /// unset reads as not ticked.
    void setRunTickedSource(std::function<bool()> source) { m_runTicked = std::move(source); }
    /// The decoder's records: counted, and a Batch for each arrival.
    void recordDecoded(qint32 dt, int, int, int, int) override
    {
        recordUpdate(dt, [this] { return runTickedNow(); });
    }
    void recordsDecoded(std::span<const DecodedRecord> records) override
    {
        // Until the count holds a record, one by one: the first may restart minimum and maximum.
        std::size_t i = 0;
        for (; i < records.size() && m_count.value_or(0) == 0; ++i)
            recordUpdate(records[i].dt, [this] { return runTickedNow(); });
        if (i == records.size())
            return;
        // From then on both extremes hold a value, and the block's own extremes and count are
        // kept in registers and stored once.
        qint64 low = m_min.value_or(records[i].dt);
        qint64 high = m_max.value_or(records[i].dt);
        for (std::size_t j = i; j < records.size(); ++j) {
            low = std::min<qint64>(low, records[j].dt);
            high = std::max<qint64>(high, records[j].dt);
        }
        m_min = low;
        m_max = high;
        m_last = records.back().dt;
        m_count = *m_count + qint64(records.size() - i);
        m_rangeShown = true;
        noteChange();
    }
    void arrivalBegins() override { ++m_batchDepth; }
    void arrivalEnds() override { endBatch(); }
    /// One decoded record. Before any run has started the count starts from 0 and the first
    /// record starts the minimum and maximum, instead of failing on empty captions.
    void recordUpdate(qint32 dt, bool runTicked)
    {
        recordUpdate(dt, [runTicked] { return runTicked; });
    }
    /// The same, with the state of the Run switch asked for only by the record that makes the
    /// count 1, the one whose min/max restart depends on it.
    template <typename RunTicked>
    void recordUpdate(qint32 dt, RunTicked&& runTicked)
    {
        m_last = dt;
        m_count = m_count.value_or(0) + 1;
        if (*m_count == 1)
            minMaxReset(runTicked());
        if (!m_min || *m_min > dt)
            m_min = dt;
        if (!m_max || *m_max < dt)
            m_max = dt;
        m_rangeShown = true;
        noteChange();
    }
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
    /// Emitted after every change, or once at the end of a Batch; listeners read the captions
    /// they need.
    void changed();

private:
    void noteChange()
    {
        if (m_batchDepth > 0)
            m_changePending = true;
        else
            emit changed();
    }

    std::optional<qint64> m_count;
    // The separator of the default locale, asked of the system only when the locale changes:
    // the count caption is made once per arrival.
    mutable QLocale m_captionLocale{QLocale::c()};
    mutable QString m_groupSeparator = QLocale::c().groupSeparator();
    std::optional<qint64> m_min;
    std::optional<qint64> m_max;
    std::optional<qint64> m_last;
    bool m_rangeShown = false;
    void endBatch();

    std::function<bool()> m_runTicked;
    bool runTickedNow() const { return m_runTicked && m_runTicked(); }
    int m_batchDepth = 0;
    bool m_changePending = false;
};
