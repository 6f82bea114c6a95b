/// @brief Plain record lines kept by their time difference, so that most records copy a line.
#pragma once

#include "link/numberformat.h"

#include <QtGlobal>
#include <array>
#include <cstring>

/// A record's plain line (its field, then CR LF) depends on its difference alone, and a run's
/// differences crowd around a few peaks: most records repeat a difference seen moments ago.
/// Each line is kept in a slot chosen by the difference's low bits, so a line already made is
/// one 16-byte copy instead of a conversion to digits and three separate stores.
class PlainLines {
public:
    /// Bytes one line takes in the batch: the field and CR LF.
    static constexpr int LineBytes = numberformat::PlainWidth + 2;
    /// Bytes put writes from `to`: the line and the slot's tag behind it. The caller's buffer
    /// needs this much room at every line's start; the bytes after the line are scratch.
    static constexpr int WriteBytes = 16;

    PlainLines()
    {
        // A tag that lands in another slot can match no difference kept in this one.
        for (quint32 i = 0; i < Slots; ++i)
            m_slots[i].dt = qint32(i + 1);
    }

    /// dt's plain line at `to` (with WriteBytes of room); returns the line's end.
    char* put(char* to, qint32 dt)
    {
        Slot& slot = m_slots[quint32(dt) & (Slots - 1)];
        if (slot.dt != dt) [[unlikely]]
            fill(slot, dt);
        std::memcpy(to, &slot, WriteBytes);
        return to + LineBytes;
    }

private:
    // Room for a narrow peak's values (about 1,500 for a σ of 250 ps) in 32 KiB. Half as many
    // slots missed too often to pay; twice as many cost the same.
    static constexpr quint32 Slots = 2048;
    struct alignas(16) Slot {
        char line[12]{};
        qint32 dt = 0;
    };
    static_assert(sizeof(Slot) == WriteBytes && LineBytes <= int(sizeof(Slot::line)));

    static void fill(Slot& slot, qint32 dt)
    {
        char* const end = numberformat::putPlainField(slot.line, dt);
        end[0] = '\r';
        end[1] = '\n';
        slot.dt = dt;
    }

    std::array<Slot, Slots> m_slots;
};
