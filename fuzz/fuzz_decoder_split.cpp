/// @brief libFuzzer harness: one byte stream fed whole and fed cut into arrivals must have the same effects.
//
// Input: InitialState::StateBytes of state (see decoderrig.h), then one byte n (taken mod 16),
// then n arrival lengths (one byte each), then the stream. The split feeding gives the stream
// out in arrivals of those lengths, the remainder as a last arrival.
//
// Why the comparison stops at the first drop: an unknown byte or an error ends the decoding of
// the current arrival only, and the next arrival is read from its first byte. Fed whole, the
// stream is one arrival, so everything after the first drop is gone; fed split, only the rest
// of the arrival holding it is gone and decoding resumes at the next arrival. That difference is
// the design (resynchronisation), not a fault. Up to and including the arrival with the first
// drop, however, both feedings must agree exactly: same effects in the same order, same models,
// same counters, and the dropped byte counts must differ by exactly the bytes never fed.

#include "decoderrig.h"

#include <algorithm>
#include <vector>

using namespace fuzzrig;

namespace {

quint64 dropped(const ReplyDecoder::Counters& c) { return c.bytesDroppedByResync + c.bytesDroppedAfterError; }

// An error on the last reply of an arrival drops nothing there, yet fed whole it drops the rest
// of the stream: the error count marks the stop as well as the dropped bytes do.
quint64 stops(const ReplyDecoder::Counters& c) { return dropped(c) + c.errors; }

// A corrupt record is told once per arrival, so the split feeding may tell it more often: the
// lines are compared apart from the other effects, by whether there is one at all.
const QString OverflowLine = QStringLiteral("E:Doh! (data) Overflow");

QStringList withoutOverflowLines(QStringList events)
{
    events.removeAll(OverflowLine);
    return events;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < InitialState::StateBytes + 1)
        return 0;
    const InitialState initial = InitialState::fromBytes(data);
    QLocale::setDefault(localeAt(initial.locale));

    std::size_t pos = InitialState::StateBytes;
    const std::size_t wanted = data[pos++] % 16;
    const std::size_t cuts = std::min(wanted, size - pos);
    std::vector<std::size_t> lengths(data + pos, data + pos + cuts);
    pos += cuts;
    const uint8_t* stream = data + pos;
    const std::size_t streamSize = size - pos;

    Rig whole(initial);
    whole.decoder.feed(QByteArrayView(reinterpret_cast<const char*>(stream), qsizetype(streamSize)));

    Rig split(initial);
    std::size_t at = 0;
    std::size_t arrivals = 0;
    bool stopped = false;
    lengths.push_back(streamSize); // the remainder, whatever the cuts left
    for (std::size_t length : lengths) {
        const std::size_t n = std::min(length, streamSize - at);
        const quint64 before = stops(split.decoder.counters());
        split.decoder.feed(QByteArrayView(reinterpret_cast<const char*>(stream + at), qsizetype(n)));
        at += n;
        ++arrivals;
        if (stops(split.decoder.counters()) != before) {
            stopped = true;
            break;
        }
    }
    const quint64 unfed = streamSize - at;

    FUZZ_CHECK(whole.output.events.count(OverflowLine) <= 1
                   && whole.output.events.contains(OverflowLine) == split.output.events.contains(OverflowLine)
                   && split.output.events.count(OverflowLine) <= qsizetype(arrivals),
               "overflow lines: whole %lld, split %lld in %zu arrivals",
               static_cast<long long>(whole.output.events.count(OverflowLine)),
               static_cast<long long>(split.output.events.count(OverflowLine)), arrivals);
    if (withoutOverflowLines(whole.output.events) != withoutOverflowLines(split.output.events)) {
        std::fprintf(stderr, "%zu arrivals, %llu bytes unfed\n", arrivals, static_cast<unsigned long long>(unfed));
        printEvents("whole", whole.output.events);
        printEvents("split", split.output.events);
        FUZZ_CHECK(false, "whole and split feeding differ in their effects");
    }
    const QString w = whole.snapshot();
    const QString s = split.snapshot();
    FUZZ_CHECK(w == s, "whole and split feeding leave different states\nwhole:\n%s\nsplit:\n%s", qPrintable(w),
               qPrintable(s));

    const ReplyDecoder::Counters& cw = whole.decoder.counters();
    const ReplyDecoder::Counters& cs = split.decoder.counters();
    FUZZ_CHECK(cw.rejectedByOverflow == cs.rejectedByOverflow, "overflow records: whole %llu, split %llu",
               static_cast<unsigned long long>(cw.rejectedByOverflow), static_cast<unsigned long long>(cs.rejectedByOverflow));
    FUZZ_CHECK(stopped == (stops(cw) > 0), "only one feeding stopped (whole %llu, split %llu)",
               static_cast<unsigned long long>(stops(cw)), static_cast<unsigned long long>(stops(cs)));
    // The stop was a resync or an error, never both; the bytes the split feeding never gave out
    // count as dropped by that same cause in the whole feeding.
    const bool byError = cs.errors > 0;
    FUZZ_CHECK(cw.bytesDroppedByResync == cs.bytesDroppedByResync + (stopped && !byError ? unfed : 0)
                   && cw.bytesDroppedAfterError == cs.bytesDroppedAfterError + (byError ? unfed : 0),
               "dropped bytes: whole resync %llu after error %llu, split %llu %llu, unfed %llu",
               static_cast<unsigned long long>(cw.bytesDroppedByResync),
               static_cast<unsigned long long>(cw.bytesDroppedAfterError),
               static_cast<unsigned long long>(cs.bytesDroppedByResync),
               static_cast<unsigned long long>(cs.bytesDroppedAfterError), static_cast<unsigned long long>(unfed));
    FUZZ_CHECK(!stopped || whole.decoder.pendingBytes() == 0, "bytes held after a drop");
    return 0;
}
