/// @brief Differences of cumulative histogram figures into a bounded ring of trend points.
#include "measure/trendseries.h"
#include "platform/nofollowfile.h"

#include "measure/histogram.h"

#include <algorithm>
#include <cmath>
#include <limits>

TrendSeries::TrendSeries(int capacity) : m_capacity(std::max(1, capacity))
{
    m_points.reserve(std::size_t(m_capacity));
}

void TrendSeries::clear()
{
    m_points.clear();
    m_head = 0;
    m_sampled = false;
}

void TrendSeries::sample(qint64 msecs, const Histogram& histogram)
{
    if (m_sampled && histogram.generation() != m_generation)
        clear();
    const Histogram::Summary now = histogram.summary();
    if (m_sampled && msecs > m_lastMs) {
        // The previous sample's window on both ends: a window that moved in between (it
        // follows the peak) must not turn into a jump of the drift.
        const Histogram::Summary same = histogram.summary(m_lastLow, m_lastHigh);
        Point p;
        p.seconds = double(msecs - m_startMs) / 1000;
        p.rate = double(now.count - m_lastCount) * 1000 / double(msecs - m_lastMs);
        const quint64 inWindow = same.inWindow - m_lastInWindow;
        p.drift = inWindow > 0
                      ? double((static_cast<long double>(same.windowMean) * same.inWindow - m_lastWindowSum) / inWindow)
                      : std::numeric_limits<double>::quiet_NaN();
        append(p);
    } else if (m_sampled) {
        return; // the clock did not move: keep the earlier sample as the interval's start
    } else {
        m_startMs = msecs;
    }
    m_sampled = true;
    m_generation = histogram.generation();
    m_lastMs = msecs;
    m_lastCount = now.count;
    m_lastLow = now.windowLow;
    m_lastHigh = now.windowHigh;
    m_lastInWindow = now.inWindow;
    m_lastWindowSum = static_cast<long double>(now.windowMean) * now.inWindow;
}

void TrendSeries::append(const Point& p)
{
    if (int(m_points.size()) < m_capacity) {
        m_points.push_back(p);
        return;
    }
    m_points[m_head] = p;
    m_head = (m_head + 1) % m_points.size();
}

std::vector<TrendSeries::Point> TrendSeries::last(double spanSeconds) const
{
    std::vector<Point> out;
    if (m_points.empty())
        return out;
    const double from = at(size() - 1).seconds - spanSeconds;
    for (int i = 0; i < size(); ++i) {
        if (at(i).seconds >= from)
            out.push_back(at(i));
    }
    return out;
}

QByteArray TrendSeries::toCsv(double spanSeconds) const
{
    QByteArray out = "seconds,records_per_s,drift_ps\n";
    for (const Point& p : last(spanSeconds)) {
        out += QByteArray::number(p.seconds, 'g', 12) + ',' + QByteArray::number(p.rate, 'g', 12) + ','
               + (std::isnan(p.drift) ? QByteArray() : QByteArray::number(p.drift, 'g', 12)) + '\n';
    }
    return out;
}

bool TrendSeries::writeCsv(const QString& path, double spanSeconds, QString* errorText) const
{
    // Replaced whole, and never through a link standing at the name (QSaveFile writes
    // through one), however the name was chosen.
    const NoFollowFile::Replaced saved = NoFollowFile::replaceContents(path, toCsv(spanSeconds));
    if (!saved.ok() && errorText)
        *errorText = saved.errorString;
    return saved.ok();
}
