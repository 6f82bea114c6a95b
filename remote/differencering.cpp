/// @brief The time-difference ring: wrap-around copies and the lost counts.
#include "remote/differencering.h"

#include <QtEndian>
#include <algorithm>
#include <cstring>

DifferenceRing::DifferenceRing(qsizetype capacity) : m_capacity(std::max<qsizetype>(capacity, 1))
{
    // Value-initialised, so that the pages are touched now rather than in the decoder's path.
    m_values = std::make_unique<qint32[]>(size_t(m_capacity));
}

void DifferenceRing::recordDecoded(qint32 dt, int, int, int, int) { append(dt); }

quint64 DifferenceRing::available(const Cursor& c) const
{
    const quint64 from = std::max(c.next, oldestHeld());
    return from < m_written ? m_written - from : 0;
}

quint64 DifferenceRing::lost(const Cursor& c) const
{
    const quint64 oldest = oldestHeld();
    return c.lost + (c.next < oldest ? oldest - c.next : 0);
}

qsizetype DifferenceRing::prepare(Cursor& c, qsizetype max) const
{
    // A cursor from the future (another ring, a reset) reads from now on.
    if (c.next > m_written)
        c.next = m_written;
    const quint64 oldest = oldestHeld();
    if (c.next < oldest) {
        c.lost = oldest - c.next;
        c.next = oldest;
    } else {
        c.lost = 0;
    }
    if (max <= 0)
        return 0;
    return qsizetype(std::min<quint64>(quint64(max), m_written - c.next));
}

template <typename Copy>
void DifferenceRing::copyOut(quint64 first, qsizetype count, Copy copy) const
{
    const qsizetype start = qsizetype(first % quint64(m_capacity));
    const qsizetype firstPart = std::min(count, m_capacity - start);
    copy(m_values.get() + start, firstPart, 0);
    if (count > firstPart)
        copy(m_values.get(), count - firstPart, firstPart);
}

qsizetype DifferenceRing::fetch(Cursor& c, qsizetype max, qint32* out)
{
    const qsizetype count = prepare(c, max);
    copyOut(c.next, count, [out](const qint32* from, qsizetype n, qsizetype at) {
        std::memcpy(out + at, from, size_t(n) * sizeof(qint32));
    });
    c.next += quint64(count);
    return count;
}

qsizetype DifferenceRing::fetchLittleEndian(Cursor& c, qsizetype max, char* out)
{
    const qsizetype count = prepare(c, max);
    copyOut(c.next, count, [out](const qint32* from, qsizetype n, qsizetype at) {
        qToLittleEndian<qint32>(from, n, out + at * qsizetype(sizeof(qint32)));
    });
    c.next += quint64(count);
    return count;
}
