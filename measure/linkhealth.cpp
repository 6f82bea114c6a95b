/// @brief LinkHealth: bucketed sliding rates and counts relative to the run start.
#include "measure/linkhealth.h"

#include "link/replydecoder.h"
#include "platform/clock.h"

#include <algorithm>
#include <cmath>
#include <utility>

LinkHealth::LinkHealth(const ReplyDecoder& decoder, const Clock& clock, QObject* parent)
    : QObject(parent), m_decoder(decoder), m_clock(clock), m_lastRecordsDecoded(decoder.counters().recordsDecoded)
{
    resetForRun();
}

qint64 LinkHealth::bucketIndex(double seconds) const { return qint64(std::floor(seconds * Buckets / WindowSeconds)); }

void LinkHealth::noteArrival(qint64 bytes)
{
    const quint64 decoded = m_decoder.counters().recordsDecoded;
    const quint64 records = decoded - m_lastRecordsDecoded;
    m_lastRecordsDecoded = decoded;
    m_bytes += quint64(std::max<qint64>(bytes, 0));

    const qint64 index = bucketIndex(m_clock.monotonicSeconds());
    Bucket& b = m_buckets[size_t(((index % Buckets) + Buckets) % Buckets)];
    if (b.index != index)
        b = Bucket{index, 0, 0};
    b.bytes += quint64(std::max<qint64>(bytes, 0));
    b.records += records;
}

void LinkHealth::noteConnectionEstablished()
{
    if (std::exchange(m_connectedBefore, true))
        ++m_reconnects;
}

void LinkHealth::resetForRun()
{
    const ReplyDecoder::Counters& c = m_decoder.counters();
    m_baseDecoded = c.recordsDecoded;
    m_baseGate = c.rejectedByGate;
    m_basePlausibility = c.rejectedByPlausibility;
    m_baseOverflow = c.rejectedByOverflow;
    m_baseResync = c.bytesDroppedByResync;
    m_baseErrors = c.errors;
    m_bytes = 0;
    m_reconnects = 0;
}

LinkHealthFigures LinkHealth::figures() const
{
    LinkHealthFigures f;
    // The bucket being filled counts whole, the oldest one drops out: the window is one second
    // to within one bucket.
    const qint64 now = bucketIndex(m_clock.monotonicSeconds());
    quint64 bytes = 0;
    quint64 records = 0;
    for (const Bucket& b : m_buckets) {
        if (b.index > now - Buckets && b.index <= now) {
            bytes += b.bytes;
            records += b.records;
        }
    }
    f.bytesPerSecond = double(bytes) / WindowSeconds;
    f.recordsPerSecond = double(records) / WindowSeconds;

    const ReplyDecoder::Counters& c = m_decoder.counters();
    f.recordsDecoded = c.recordsDecoded - m_baseDecoded;
    f.rejectedByGate = c.rejectedByGate - m_baseGate;
    f.rejectedByPlausibility = c.rejectedByPlausibility - m_basePlausibility;
    f.rejectedByOverflow = c.rejectedByOverflow - m_baseOverflow;
    f.bytesDroppedByResync = c.bytesDroppedByResync - m_baseResync;
    f.errors = c.errors - m_baseErrors;
    f.bytes = m_bytes;
    f.reconnects = m_reconnects;
    return f;
}
