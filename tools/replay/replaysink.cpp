/// @brief ReplaySink: buffered output and the running mean and deviation of the time differences.
#include "tools/replay/replaysink.h"

#include "measure/histogramfeed.h"

#include <QFile>
#include <cmath>
#include <utility>

ReplaySink::ReplaySink(QFile& out, HistogramFeed* histogram, std::function<void(const QString&)> complain)
    : m_out(out), m_histogram(histogram), m_complain(std::move(complain))
{}

bool ReplaySink::writeFile(QByteArrayView bytes, QString& errorText)
{
    m_buffer.append(bytes.data(), bytes.size());
    if (m_buffer.size() >= (1 << 20))
        return flush(errorText);
    return true;
}

void ReplaySink::recordDecoded(qint32 dt, int a, int b, int offset, int flags)
{
    if (m_histogram)
        m_histogram->recordDecoded(dt, a, b, offset, flags);
    // Welford's running mean and sum of squares: stable for millions of records.
    ++m_count;
    const double delta = dt - m_mean;
    m_mean += delta / double(m_count);
    m_m2 += delta * (dt - m_mean);
}

bool ReplaySink::flush(QString& errorText)
{
    if (!m_buffer.isEmpty() && m_out.write(m_buffer) != m_buffer.size()) {
        errorText = m_out.errorString();
        m_buffer.clear();
        return false;
    }
    m_buffer.clear();
    if (!m_out.flush()) {
        errorText = m_out.errorString();
        return false;
    }
    return true;
}

double ReplaySink::stdDev() const { return m_count > 1 ? std::sqrt(m_m2 / double(m_count - 1)) : 0.0; }
