/// @brief Time to screen: how long a record waits between its arrival and the first paint that counts it.
#pragma once

#include <QElapsedTimer>
#include <QEvent>
#include <QObject>
#include <QString>
#include <QWidget>

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <functional>
#include <vector>

/// Watches one widget that shows a running count of records (the count caption, the histogram).
///
/// The panel's loop calls arrived() once per arrival with the count the panel then holds; every
/// paint of the widget reads the count it draws through `shown`. Each record's wait is the time
/// from the arrival that brought it to the first paint whose count includes it; all records of one
/// arrival wait the same. Waits go into 0.1 ms bins, weighted by records, so the percentiles are
/// per record, not per paint. A paint that draws a new count is a refresh.
///
/// Bytes the panel's socket leaves in the kernel for a frame to catch up with count from when they
/// were first held (held()). What it cannot see: time in the kernel's socket buffer before the
/// panel's socket hears of it, and the time the window system takes to put a painted frame on a
/// monitor.
class ScreenProbe : public QObject {
public:
    using ShownCount = std::function<quint64()>;

    ScreenProbe(QWidget* watched, ShownCount shown) : m_shown(std::move(shown)) { watched->installEventFilter(this); }

    void start()
    {
        m_clock.start();
        m_on = true;
        m_painting = true;
    }
    /// Takes no more arrivals; paints still count, so that the last records reach the screen.
    void stop() { m_on = false; }

    /// Bytes have come and the panel leaves them in the kernel until a frame catches up with them.
    /// Everything that catch-up reads is taken to have come now: also what came later while it
    /// waited, so that a wait is counted long rather than short.
    void held() { m_heldNs = m_clock.nsecsElapsed(); }

    /// The panel now holds `count` records (taken after an arrival was handled); `caughtUp` when
    /// the arrival was read by a catch-up of held bytes.
    void arrived(quint64 count, bool caughtUp = false)
    {
        const qint64 since = caughtUp ? m_heldNs : -1;
        if (!m_on || count <= m_lastArrived)
            return;
        m_pending.push_back({since >= 0 ? since : m_clock.nsecsElapsed(), count});
        m_lastArrived = count;
        m_lastArrivalNs = m_pending.back().ns;
    }

    /// A run start sets the count back to 0.
    void restart()
    {
        m_pending.clear();
        m_lastArrived = 0;
        m_lastShown = 0;
    }

    /// Records waiting at the p-th quantile, in ms (0 when none arrived).
    double percentileMs(double p) const
    {
        const quint64 total = m_recordsSeen;
        if (total == 0)
            return 0;
        const auto wanted = quint64(p * double(total));
        quint64 sum = 0;
        for (size_t i = 0; i < m_bins.size(); ++i) {
            sum += m_bins[i];
            if (sum > wanted || sum == total)
                return double(i) * BinMs;
        }
        return double(m_bins.size()) * BinMs;
    }
    double maxMs() const { return m_maxNs / 1e6; }
    /// Records that arrived and were never painted (still waiting at the end).
    quint64 neverShown() const { return m_lastArrived > m_lastShown ? m_lastArrived - m_lastShown : 0; }
    quint64 recordsSeen() const { return m_recordsSeen; }
    /// Refreshes per whole second while records arrived in that second: the lowest and the mean.
    std::pair<double, double> refreshesPerSecond() const
    {
        if (m_refreshesPerSecond.empty())
            return {0, 0};
        double lowest = 1e9, sum = 0;
        for (int n : m_refreshesPerSecond) {
            lowest = std::min(lowest, double(n));
            sum += n;
        }
        return {lowest, sum / double(m_refreshesPerSecond.size())};
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (m_painting && event->type() == QEvent::Paint)
            painted();
        return false;
    }

private:
    static constexpr double BinMs = 0.1;
    qint64 m_heldNs = -1;
    struct Arrival {
        qint64 ns;
        quint64 count;
    };

    void painted()
    {
        const qint64 now = m_clock.nsecsElapsed();
        const quint64 shown = m_shown();
        countRefresh(now, shown);
        while (!m_pending.empty() && m_pending.front().count <= shown) {
            const Arrival a = m_pending.front();
            m_pending.pop_front();
            const quint64 records = a.count - std::min(a.count, m_lastShown);
            const qint64 waited = now - a.ns;
            m_maxNs = std::max(m_maxNs, waited);
            m_bins[std::min(m_bins.size() - 1, size_t(double(waited) / 1e6 / BinMs))] += records;
            m_recordsSeen += records;
            m_lastShown = a.count;
        }
        m_lastShown = std::max(m_lastShown, std::min(shown, m_lastArrived));
    }

    void countRefresh(qint64 now, quint64 shown)
    {
        if (!m_on)
            return;
        const qint64 second = now / 1'000'000'000;
        if (second != m_second) {
            // Only whole seconds in which records kept arriving count.
            if (m_second >= 0 && m_lastArrivalNs / 1'000'000'000 > m_second)
                m_refreshesPerSecond.push_back(m_refreshesThisSecond);
            for (qint64 s = m_second + 1; s < second && m_second >= 0; ++s)
                if (m_lastArrivalNs / 1'000'000'000 > s)
                    m_refreshesPerSecond.push_back(0);
            m_second = second;
            m_refreshesThisSecond = 0;
        }
        if (shown != m_lastPaintedCount) {
            ++m_refreshesThisSecond;
            m_lastPaintedCount = shown;
        }
    }

    ShownCount m_shown;
    QElapsedTimer m_clock;
    bool m_on = false;
    bool m_painting = false;
    std::deque<Arrival> m_pending;
    quint64 m_lastArrived = 0;
    qint64 m_lastArrivalNs = 0;
    quint64 m_lastShown = 0;
    quint64 m_lastPaintedCount = 0;
    std::array<quint64, 10000> m_bins{}; // 0 .. 1 s, the last bin takes everything later
    quint64 m_recordsSeen = 0;
    qint64 m_maxNs = 0;
    qint64 m_second = -1;
    int m_refreshesThisSecond = 0;
    std::vector<int> m_refreshesPerSecond;
};

/// The digits of a caption as a number ("1,234,567" -> 1234567); 0 for an empty caption.
inline quint64 captionCount(const QString& caption)
{
    quint64 n = 0;
    for (QChar c : caption)
        if (c.isDigit())
            n = n * 10 + quint64(c.digitValue());
    return n;
}
