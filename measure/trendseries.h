/// @brief Rate and drift over time: one point a second from a histogram's cumulative figures, in bounded memory.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <vector>

class Histogram;

/// Samples a Histogram about once a second and keeps, per interval, the coincidence rate
/// (records/s) and the drift (the mean dt of that interval's records inside the window). Both
/// come from differences of cumulative figures, so nothing is done per record. Points live in
/// a ring of fixed capacity: the oldest go first, however long the run.
class TrendSeries {
public:
    /// One hour of 1 s points.
    static constexpr int DefaultCapacity = 3600;

    struct Point {
        double seconds = 0; ///< end of the interval, since the first sample of the run
        double rate = 0;    ///< records/s
        double drift = 0;   ///< ps; NaN when no record of the interval fell inside the window
    };

    explicit TrendSeries(int capacity = DefaultCapacity);

    /// Forgets every point; the next sample starts a new series.
    void clear();
    /// Reads the histogram's figures at msecs (a monotonic clock) and, after the first call,
    /// appends the point for the interval since the previous one. A cleared histogram (a new
    /// run) starts a new series.
    void sample(qint64 msecs, const Histogram& histogram);

    int size() const { return int(m_points.size()); }
    int capacity() const { return m_capacity; }
    /// Oldest first.
    const Point& at(int index) const { return m_points[std::size_t((m_head + index) % m_points.size())]; }
    /// Points not older than span seconds before the newest, oldest first.
    std::vector<Point> last(double spanSeconds) const;

    /// "seconds,records_per_s,drift_ps" and one row per point of last(spanSeconds); an
    /// interval without records in the window has an empty drift.
    QByteArray toCsv(double spanSeconds) const;
    bool writeCsv(const QString& path, double spanSeconds, QString* errorText = nullptr) const;

private:
    void append(const Point& p);

    int m_capacity;
    std::vector<Point> m_points;
    std::size_t m_head = 0; ///< index of the oldest point once the ring is full

    bool m_sampled = false;
    quint64 m_generation = 0;
    qint64 m_startMs = 0;
    qint64 m_lastMs = 0;
    quint64 m_lastCount = 0;
    double m_lastLow = 0;
    double m_lastHigh = 0;
    quint64 m_lastInWindow = 0;
    long double m_lastWindowSum = 0;
};
