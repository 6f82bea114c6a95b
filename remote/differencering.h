/// @brief The time differences kept for scripts: a fixed ring the decoder appends to, read by
/// cursors that each client owns.
#pragma once

#include "link/decoderoutput.h"

#include <QtGlobal>
#include <memory>

/// Single-threaded: the decoder appends and the control port reads on the same thread.
/// Every value gets a sequence number (its position in everything ever appended); a cursor is
/// only such a number, so any count of clients reads without the ring knowing about them.
class DifferenceRing : public RecordObserver {
public:
    static constexpr qsizetype DefaultCapacity = qsizetype(1) << 24;

    /// The whole ring is allocated here, once; capacity below 1 counts as 1.
    explicit DifferenceRing(qsizetype capacity = DefaultCapacity);

    void recordDecoded(qint32 dt, int a, int b, int offset, int flags) override;
    void recordsDecoded(std::span<const DecodedRecord> records) override
    {
        for (const DecodedRecord& r : records)
            append(r.dt);
    }

    void append(qint32 dt)
    {
        m_values[m_head] = dt;
        // Predictable (taken once per lap), cheaper than a division at 18 M values/s.
        if (++m_head == m_capacity)
            m_head = 0;
        ++m_written;
    }

    qsizetype capacity() const { return m_capacity; }
    quint64 written() const { return m_written; }

    struct Cursor {
        quint64 next = 0;
        quint64 lost = 0;
    };

    Cursor cursorAtEnd() const { return Cursor{m_written, 0}; }
    /// Values still held and not yet fetched under c (at most capacity()).
    quint64 available(const Cursor& c) const;
    /// Copies up to max values, oldest first, and moves c past them. c.lost becomes the number
    /// of values overwritten before they could be fetched (0 when none), and c then starts at
    /// the oldest value still held.
    qsizetype fetch(Cursor& c, qsizetype max, qint32* out);
    /// As fetch(), but writes little-endian int32 bytes whatever the host order, to any
    /// alignment (a block after its "#<n><length>" header).
    qsizetype fetchLittleEndian(Cursor& c, qsizetype max, char* out);
    /// Brings c to the oldest value held and sets c.lost, as a fetch does, and returns that gap. A
    /// fetch answered in pieces starts with it: each piece's own gap would be 0.
    quint64 catchUp(Cursor& c) const
    {
        prepare(c, 0);
        return c.lost;
    }
    /// The gap reported by the last fetch plus what has been overwritten under c since.
    quint64 lost(const Cursor& c) const;

private:
    quint64 oldestHeld() const { return m_written > quint64(m_capacity) ? m_written - quint64(m_capacity) : 0; }
    /// Brings c to the oldest value held if it fell behind; returns the count to copy.
    qsizetype prepare(Cursor& c, qsizetype max) const;
    template <typename Copy>
    void copyOut(quint64 first, qsizetype count, Copy copy) const;

    std::unique_ptr<qint32[]> m_values;
    qsizetype m_capacity;
    qsizetype m_head = 0;
    quint64 m_written = 0;
};
