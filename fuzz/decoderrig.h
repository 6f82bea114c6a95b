/// @brief The reply decoder wired to real models and a recording output, with the state a fuzz input chooses.
#pragma once

#include "fuzzcheck.h"

#include "control/calibrationcapture.h"
#include "control/calibrationmodel.h"
#include "control/registermodel.h"
#include "control/versionmodel.h"
#include "link/channeltimetable.h"
#include "link/dataoptions.h"
#include "link/decoderoutput.h"
#include "link/replydecoder.h"
#include "measure/runstatistics.h"

#include <QLocale>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace fuzzrig {

// Each table mixes the values a healthy instrument produces with the texts an operator or a
// broken settings store can leave behind: out-of-window, unreadable, radix and exponent forms,
// and texts that the forgiving and the strict reader judge differently ("5 00", "500x").
inline const std::array<const char*, 10> Phases{"0", "1", "2", "abc", "", " 0 ", "0.0", "-1", "3", "&H0"};
inline const std::array<const char*, 16> LowCells{"500", "510",  "???",  "450", "550", "451",  "549.9", "&H1F4",
                                                  "5E2", "5 00", "500x", "",    "abc", "-500", "1e999", "0"};
inline const std::array<const char*, 16> HighCells{"3600",   "3590",  "???",   "3550",  "3650",  "3551",
                                                   "3649.9", "&HE10", "3.6D3", "36 00", "3600x", "",
                                                   "abc",    "-3600", "1e999", "500"};
inline const std::array<const char*, 16> Taus{"9.47",  "9.49",   "0",     "-1",  "abc",    "9,47",  "",    " 9.47 ",
                                              "1e308", "1e-300", "9.470", "&H9", "100000", "-9.47", "nan", "inf"};

inline QString cellText(int cell, int index)
{
    const bool low = cell == CalibrationModel::ALow || cell == CalibrationModel::BLow;
    return QString::fromLatin1(low ? LowCells[std::size_t(index) % LowCells.size()]
                                   : HighCells[std::size_t(index) % HighCells.size()]);
}
inline QString phaseText(int index) { return QString::fromLatin1(Phases[std::size_t(index) % Phases.size()]); }
inline QString tauText(int index) { return QString::fromLatin1(Taus[std::size_t(index) % Taus.size()]); }

inline DataOptions optionsFromBits(uint8_t bits)
{
    DataOptions o;
    o.display = bits & 0x01;
    o.verbose = bits & 0x02;
    o.file = bits & 0x04;
    o.raw = bits & 0x08;
    return o;
}

/// Everything the decoder reads besides the bytes. Chosen by the first StateBytes of an input:
///   0 phase, 1..4 cells (A low, A high, B low, B high), 5 Tau A (low nibble) and B (high),
///   6 bits: display, verbose, file, raw, file open, Run ticked, run start first, failure reason,
///   7 the writeFile call that fails (1-based, 0 none), 8 locale (C, en_US, de_DE, fr_FR).
struct InitialState {
    static constexpr std::size_t StateBytes = 9;

    QString phase;
    std::array<QString, 4> cells;
    QString tauA;
    QString tauB;
    DataOptions options;
    bool fileOpen = false;
    bool runTicked = false;
    bool runStartFirst = false;
    bool failWithReason = false;
    int failWriteAt = 0;
    int locale = 0;

    static InitialState fromBytes(const uint8_t* h)
    {
        InitialState s;
        s.phase = phaseText(h[0]);
        for (int c = 0; c < 4; ++c)
            s.cells[std::size_t(c)] = cellText(c, h[1 + c]);
        s.tauA = tauText(h[5] & 15);
        s.tauB = tauText(h[5] >> 4);
        s.options = optionsFromBits(h[6]);
        s.fileOpen = h[6] & 0x10;
        s.runTicked = h[6] & 0x20;
        s.runStartFirst = h[6] & 0x40;
        s.failWithReason = h[6] & 0x80;
        s.failWriteAt = h[7];
        s.locale = h[8] & 3;
        return s;
    }
};

/// "G3=1234": a register took a value. Its captions are a function of the value alone, so they
/// are checked once per input, not formatted for every reply.
inline QString registerEvent(int index, int value)
{
    char text[32];
    const int n = std::snprintf(text, sizeof text, "G%d=%d", index, value);
    return QString::fromLatin1(text, n);
}

/// Records every call the decoder makes, in order, as one text per effect, so that two runs (or a
/// run and a model of it) compare with one equality and a difference prints readably.
class RecordingOutput : public DecoderOutput {
public:
    QStringList events;
    bool open = false;
    bool run = false;
    int failAt = 0;
    bool failWithReason = false;
    int writeCalls = 0;

    void heartbeat() override { events.append(QStringLiteral("H")); }
    void displayLine(const QString& line) override { events.append(QStringLiteral("D:") + line); }
    void errorLine(const QString& line) override { events.append(QStringLiteral("E:") + line); }
    bool fileIsOpen() const override { return open; }
    bool writeFile(QByteArrayView bytes, QString& errorText) override
    {
        // Written as Latin-1 so that every byte, also a raw record's, shows as one character.
        const QString text = QString::fromLatin1(bytes.data(), bytes.size());
        if (++writeCalls == failAt) {
            events.append(QStringLiteral("W!") + text);
            if (failWithReason)
                errorText = QStringLiteral("No space left on device");
            return false;
        }
        events.append(QStringLiteral("W:") + text);
        return true;
    }
};

/// One decoder with its own models, as the composition root wires them.
struct Rig {
    CalibrationModel calibration;
    RegisterModel registers;
    VersionModel versions;
    RunStatistics statistics;
    RecordingOutput output;
    CalibrationCapture capture{registers, calibration};
    ReplyDecoder decoder{ReplyDecoder::Context{capture, versions, statistics, output}};

    explicit Rig(const InitialState& s)
    {
        calibration.bindDecoder(decoder);
        statistics.setRunTickedSource([this] { return output.run; });
        // Every calibration the state tables above can spell, a few hundred, stays filled across
        // executions (64 KiB each); refilling them would cost more than the rest of a run.
        static const bool keepTables = (ChannelTimeTable::setCacheCapacity(1024), true);
        Q_UNUSED(keepTables);
        calibration.setPhaseText(s.phase);
        calibration.setTauA(s.tauA);
        calibration.setTauB(s.tauB);
        // Each set reads the texts once more; the order changes nothing else, as nothing but
        // the decoder listens yet.
        for (int c : {CalibrationModel::BHigh, CalibrationModel::BLow, CalibrationModel::AHigh, CalibrationModel::ALow})
            calibration.setCell(CalibrationModel::Cell(c), s.cells[std::size_t(c)]);
        decoder.setOptions(s.options);
        output.open = s.fileOpen;
        output.run = s.runTicked;
        output.failAt = s.failWriteAt;
        output.failWithReason = s.failWithReason;
        if (s.runStartFirst)
            statistics.clearForRunStart();

        // Only what the decoder changes is logged; the set-up above is not part of the effects.
        QObject::connect(&registers, &RegisterModel::valueChanged, &registers, [this](int index) {
            output.events.append(registerEvent(index, registers.value(index).value_or(-1)));
        });
        QObject::connect(&calibration, &CalibrationModel::cellChanged, &calibration,
                         [this](CalibrationModel::Cell cell, const QString& text) {
            QString e;
            e.reserve(3 + text.size());
            output.events.append(e.append(u'C').append(QChar(u'0' + int(cell))).append(u'=').append(text));
        });
        QObject::connect(&versions, &VersionModel::changed, &versions, [this] {
            output.events.append(QStringLiteral("V:") + versions.fpgaCaption() + u'|' + versions.rabbitCaption());
        });
    }

    /// Everything the window could show, as values; two rigs in the same state compare equal.
    /// The dropped-byte counters are shown but not compared: where a stream is cut decides how
    /// many bytes a drop takes, and the harnesses check them against that.
    /// Captions are left out where they are a function of values kept here (the run gate of
    /// the cells, the register and statistics captions of their numbers): formatting them for
    /// every execution cost more than the decoding.
    struct Snapshot {
        ReplyDecoder::Counters counters;
        int pending = 0;
        std::optional<qint32> last;
        std::optional<qint64> count, min, max;
        QString range;
        std::array<QString, 4> cells;
        std::array<std::optional<int>, RegisterModel::Count> registers{};
        QString fpga, rabbit;

        bool operator==(const Snapshot& o) const
        {
            const ReplyDecoder::Counters& a = counters;
            const ReplyDecoder::Counters& b = o.counters;
            return a.recordsDecoded == b.recordsDecoded && a.rejectedByGate == b.rejectedByGate
                   && a.rejectedByPlausibility == b.rejectedByPlausibility && a.errors == b.errors
                   && pending == o.pending && last == o.last && count == o.count && min == o.min && max == o.max
                   && range == o.range && cells == o.cells && registers == o.registers && fpga == o.fpga
                   && rabbit == o.rabbit;
        }

        /// Only for the report of a difference.
        QString text() const
        {
            const auto opt = [](const auto& v) { return v ? QString::number(*v) : QStringLiteral("-"); };
            QString s = QStringLiteral("decoded=%1 gate=%2 plaus=%3 resync=%4 afterError=%5 errors=%6 pending=%7\n")
                            .arg(counters.recordsDecoded)
                            .arg(counters.rejectedByGate)
                            .arg(counters.rejectedByPlausibility)
                            .arg(counters.bytesDroppedByResync)
                            .arg(counters.bytesDroppedAfterError)
                            .arg(counters.errors)
                            .arg(pending);
            s += QStringLiteral("last=%1 count=%2 min=%3 max=%4 range=[%5]\n")
                     .arg(opt(last), opt(count), opt(min), opt(max), range);
            for (const QString& cell : cells)
                s += u'[' + cell + QStringLiteral("] ");
            s += u'\n';
            for (const auto& r : registers)
                s += opt(r) + u' ';
            return s + u'\n' + fpga + u'|' + rabbit;
        }
    };

    Snapshot snapshot() const
    {
        Snapshot s;
        s.counters = decoder.counters();
        s.pending = decoder.pendingBytes();
        s.last = decoder.lastDifference();
        s.count = statistics.count();
        s.min = statistics.minimum();
        s.max = statistics.maximum();
        s.range = statistics.rangeCaption();
        for (int cell = 0; cell < 4; ++cell)
            s.cells[std::size_t(cell)] = calibration.cell(CalibrationModel::Cell(cell));
        for (int r = 0; r < RegisterModel::Count; ++r)
            s.registers[std::size_t(r)] = registers.value(r);
        s.fpga = versions.fpgaCaption();
        s.rabbit = versions.rabbitCaption();
        return s;
    }
};

inline void printEvents(const char* title, const QStringList& events)
{
    std::fprintf(stderr, "%s (%lld events):\n", title, static_cast<long long>(events.size()));
    for (const QString& e : events)
        std::fprintf(stderr, "  %s\n", qPrintable(e));
}

inline quint64 droppedBytes(const ReplyDecoder::Counters& c)
{
    return c.bytesDroppedByResync + c.bytesDroppedAfterError;
}

// An error on the last reply of an arrival drops nothing there, yet fed whole it drops the rest
// of the stream: the error count marks the stop as well as the dropped bytes do.
inline quint64 stops(const ReplyDecoder::Counters& c) { return droppedBytes(c) + c.errors; }

/// Feeds stream to one rig in one arrival and to another in arrivals of the given lengths (what
/// they leave over as one more), and checks that both agree.
///
/// Why the comparison stops at the first drop: an unknown byte or an error ends the decoding of
/// the current arrival only, and the next arrival is read from its first byte. Fed whole, the
/// stream is one arrival, so everything after the first drop is gone; fed in pieces, only the
/// rest of the piece holding it is gone and decoding resumes at the next one. That difference
/// is the design (resynchronisation), not a fault. Up to and including the arrival with the
/// first drop, however, both feedings must agree exactly: same effects in the same order, same
/// models, same counters, and the dropped byte counts must differ by exactly the bytes never fed.
// A corrupt record is told once per arrival, so the piecewise feeding may tell it more often:
// those lines are compared apart from the other effects, by whether there is one at all.
inline const QString& overflowLine()
{
    static const QString line = QStringLiteral("E:Doh! (data) Overflow");
    return line;
}

inline QStringList withoutOverflowLines(QStringList events)
{
    events.removeAll(overflowLine());
    return events;
}

inline void checkArrivalsMatchWhole(const InitialState& initial, const uint8_t* stream, std::size_t streamSize,
                                    const std::vector<std::size_t>& lengths)
{
    Rig whole(initial);
    whole.decoder.feed(QByteArrayView(reinterpret_cast<const char*>(stream), qsizetype(streamSize)));

    Rig split(initial);
    std::size_t at = 0;
    std::size_t arrivals = 0;
    bool stopped = false;
    for (std::size_t i = 0; i <= lengths.size() && !stopped; ++i) {
        const std::size_t n = std::min(i < lengths.size() ? lengths[i] : streamSize, streamSize - at);
        const quint64 before = stops(split.decoder.counters());
        split.decoder.feed(QByteArrayView(reinterpret_cast<const char*>(stream + at), qsizetype(n)));
        at += n;
        ++arrivals;
        stopped = stops(split.decoder.counters()) != before;
        FUZZ_CHECK(split.decoder.pendingBytes() < ReplyDecoder::MaxReplyLength, "%d bytes held after arrival %zu",
                   split.decoder.pendingBytes(), arrivals);
    }
    const quint64 unfed = streamSize - at;

    // The error path that ends a decoding can say "Overflow" too (a time beyond range), once.
    const QString& overflow = overflowLine();
    const ReplyDecoder::Counters& ew = whole.decoder.counters();
    const ReplyDecoder::Counters& es = split.decoder.counters();
    FUZZ_CHECK(whole.output.events.count(overflow) <= 1 + qsizetype(ew.errors)
                   && whole.output.events.contains(overflow) == split.output.events.contains(overflow)
                   && split.output.events.count(overflow) <= qsizetype(arrivals + es.errors),
               "overflow lines: whole %lld, in pieces %lld in %zu arrivals",
               static_cast<long long>(whole.output.events.count(overflow)),
               static_cast<long long>(split.output.events.count(overflow)), arrivals);
    if (withoutOverflowLines(whole.output.events) != withoutOverflowLines(split.output.events)) {
        std::fprintf(stderr, "%zu arrivals, %llu bytes unfed\n", arrivals, static_cast<unsigned long long>(unfed));
        printEvents("whole", whole.output.events);
        printEvents("in pieces", split.output.events);
        FUZZ_CHECK(false, "whole and piecewise feeding differ in their effects");
    }
    const Rig::Snapshot w = whole.snapshot();
    const Rig::Snapshot s = split.snapshot();
    FUZZ_CHECK(w == s, "whole and piecewise feeding leave different states\nwhole:\n%s\nin pieces:\n%s",
               qPrintable(w.text()), qPrintable(s.text()));

    const ReplyDecoder::Counters& cw = whole.decoder.counters();
    const ReplyDecoder::Counters& cs = split.decoder.counters();
    FUZZ_CHECK(cw.rejectedByOverflow == cs.rejectedByOverflow, "overflow records: whole %llu, in pieces %llu",
               static_cast<unsigned long long>(cw.rejectedByOverflow),
               static_cast<unsigned long long>(cs.rejectedByOverflow));
    FUZZ_CHECK(stopped == (stops(cw) > 0), "only one feeding stopped (whole %llu, in pieces %llu)",
               static_cast<unsigned long long>(stops(cw)), static_cast<unsigned long long>(stops(cs)));
    // The stop was a resync or an error, never both; the bytes the piecewise feeding never gave
    // out count as dropped by that same cause in the whole feeding.
    const bool byError = cs.errors > 0;
    FUZZ_CHECK(cw.bytesDroppedByResync == cs.bytesDroppedByResync + (stopped && !byError ? unfed : 0)
                   && cw.bytesDroppedAfterError == cs.bytesDroppedAfterError + (byError ? unfed : 0),
               "dropped bytes: whole resync %llu after error %llu, in pieces %llu %llu, unfed %llu",
               static_cast<unsigned long long>(cw.bytesDroppedByResync),
               static_cast<unsigned long long>(cw.bytesDroppedAfterError),
               static_cast<unsigned long long>(cs.bytesDroppedByResync),
               static_cast<unsigned long long>(cs.bytesDroppedAfterError), static_cast<unsigned long long>(unfed));
    FUZZ_CHECK(!stopped || whole.decoder.pendingBytes() == 0, "bytes held after a drop");
}

} // namespace fuzzrig
