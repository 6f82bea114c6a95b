/// @brief Time-difference ring throughput on the full-size ring: appends as the decoder makes them,
/// fetches into little-endian int32 blocks as the control port sends them, against a value-by-value
/// copy measured in the same run.
#include "bench/benchutil.h"
#include "remote/differencering.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QtEndian>
#include <algorithm>
#include <cstdio>

namespace {

constexpr qint64 AppendCount = 400'000'000; // about 24 laps of the ring
constexpr int Repetitions = 3;
constexpr qsizetype HeaderBytes = 11; // "#9" and nine digits

double perSecond(qint64 values, qint64 ns) { return ns > 0 ? double(values) * 1e9 / double(ns) : 0; }

/// Best of the repetitions, values per second.
template <typename Body>
double best(qint64 values, Body body)
{
    double top = 0;
    for (int r = 0; r < Repetitions; ++r) {
        QElapsedTimer t;
        t.start();
        body();
        top = std::max(top, perSecond(values, t.nsecsElapsed()));
    }
    return top;
}

/// Fetches the whole ring in blocks of `chunk` values, each with room for its header.
qint64 fetchRing(DifferenceRing& ring, qsizetype chunk, QByteArray& block)
{
    DifferenceRing::Cursor c{ring.written() - quint64(ring.capacity()), 0};
    qint64 total = 0;
    while (const qsizetype n = qsizetype(std::min<quint64>(ring.available(c), quint64(chunk)))) {
        block.resize(HeaderBytes + n * 4);
        total += ring.fetchLittleEndian(c, n, block.data() + HeaderBytes);
    }
    return total;
}

/// The same, one value at a time into a growing byte array.
qint64 fetchValueByValue(DifferenceRing& ring, qsizetype chunk, QByteArray& block)
{
    DifferenceRing::Cursor c{ring.written() - quint64(ring.capacity()), 0};
    qint64 total = 0;
    qint32 value = 0;
    char bytes[4];
    while (ring.available(c) > 0) {
        block.clear();
        block.append(HeaderBytes, '#');
        for (qsizetype i = 0; i < chunk && ring.fetch(c, 1, &value) == 1; ++i, ++total) {
            qToLittleEndian(value, bytes);
            block.append(bytes, 4);
        }
    }
    return total;
}

} // namespace

int main()
{
    const double before = benchutil::residentMiB();
    DifferenceRing ring;
    std::printf("ring: %lld values, +%.0f MiB resident\n", static_cast<long long>(ring.capacity()),
                benchutil::residentMiB() - before);

    const double direct = best(AppendCount, [&] {
        for (qint64 i = 0; i < AppendCount; ++i)
            ring.append(qint32(i));
    });
    // The decoder reaches the ring through its observer interface.
    RecordObserver* observer = &ring;
    const double virtualCall = best(AppendCount, [&] {
        for (qint64 i = 0; i < AppendCount; ++i)
            observer->recordDecoded(qint32(i), 0, 0, 0, 0);
    });
    std::printf("append: %.1f M values/s; through RecordObserver: %.1f M values/s (%lld values, %d runs, best)\n",
                direct / 1e6, virtualCall / 1e6, static_cast<long long>(AppendCount), Repetitions);

    QByteArray block;
    const qint64 all = ring.capacity();
    for (const qsizetype chunk : {qsizetype(1'000'000), ring.capacity()}) {
        qint64 got = 0;
        qint64 slowGot = 0;
        const double slow = best(all, [&] { slowGot = fetchValueByValue(ring, chunk, block); });
        const double rate = best(all, [&] { got = fetchRing(ring, chunk, block); });
        std::printf("fetch into little-endian blocks of %lld values: %.1f M values/s; value by value: %.1f M values/s "
                    "(%.0fx)%s\n",
                    static_cast<long long>(chunk), rate / 1e6, slow / 1e6, slow > 0 ? rate / slow : 0,
                    got == all && slowGot == all ? "" : "  [COUNT MISMATCH]");
    }
    // The fetched bytes must be the values appended: the last 16 M of 0..AppendCount-1.
    const qint32 last = qFromLittleEndian<qint32>(block.constData() + block.size() - 4);
    std::printf("last value fetched %d (expected %lld); peak %.0f MiB resident\n", last,
                static_cast<long long>(AppendCount - 1), benchutil::peakResidentMiB());
    return last == qint32(AppendCount - 1) ? 0 : 1;
}
