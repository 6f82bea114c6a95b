/// @brief The reply decoder wired to real models and a recording output, with the state a fuzz input chooses.
#pragma once

#include "fuzzcheck.h"

#include "control/calibrationmodel.h"
#include "control/registermodel.h"
#include "link/decoderoutput.h"
#include "link/replydecoder.h"
#include "link/versionmodel.h"
#include "measure/dataoptions.h"
#include "measure/runstatistics.h"

#include <QLocale>
#include <QString>
#include <QStringList>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace fuzzrig {

// Each table mixes the values a healthy instrument produces with the texts an operator or a
// broken settings store can leave behind: out-of-window, unreadable, radix and exponent forms,
// and texts that the forgiving and the strict reader judge differently ("5 00", "500x").
inline const std::array<const char*, 10> Phases{"0", "1", "2", "abc", "", " 0 ", "0.0", "-1", "3", "&H0"};
inline const std::array<const char*, 16> LowCells{"500", "510", "???", "450", "550", "451", "549.9", "&H1F4",
                                                   "5E2", "5 00", "500x", "", "abc", "-500", "1e999", "0"};
inline const std::array<const char*, 16> HighCells{"3600", "3590", "???",  "3550", "3650", "3551",
                                                    "3649.9", "&HE10", "3.6D3", "36 00", "3600x", "",
                                                    "abc",  "-3600", "1e999", "500"};
inline const std::array<const char*, 16> Taus{"9.47", "9.49", "0",      "-1",    "abc",   "9,47",  "",    " 9.47 ",
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
    bool runTicked() const override { return run; }
};

/// One decoder with its own models, as the composition root wires them.
struct Rig {
    CalibrationModel calibration;
    RegisterModel registers;
    VersionModel versions;
    RunStatistics statistics;
    DataOptions options;
    RecordingOutput output;
    ReplyDecoder decoder{ReplyDecoder::Context{calibration, registers, versions, statistics, options, output}};

    explicit Rig(const InitialState& s)
    {
        calibration.setPhaseText(s.phase);
        calibration.setTauA(s.tauA);
        calibration.setTauB(s.tauB);
        for (int c = 0; c < 4; ++c)
            calibration.setCell(CalibrationModel::Cell(c), s.cells[std::size_t(c)]);
        options = s.options;
        output.open = s.fileOpen;
        output.run = s.runTicked;
        output.failAt = s.failWriteAt;
        output.failWithReason = s.failWithReason;
        if (s.runStartFirst)
            statistics.clearForRunStart();

        // Only what the decoder changes is logged; the set-up above is not part of the effects.
        QObject::connect(&registers, &RegisterModel::valueChanged, &registers, [this](int index) {
            output.events.append(QStringLiteral("G%1=%2/%3")
                                     .arg(index)
                                     .arg(registers.decimalCaption(index), registers.hexCaption(index)));
        });
        QObject::connect(&calibration, &CalibrationModel::cellChanged, &calibration,
                         [this](CalibrationModel::Cell cell, const QString& text) {
                             output.events.append(QStringLiteral("C%1=").arg(int(cell)) + text);
                         });
        QObject::connect(&versions, &VersionModel::changed, &versions, [this] {
            output.events.append(QStringLiteral("V:") + versions.fpgaCaption() + u'|' + versions.rabbitCaption());
        });
    }

    /// Every number the window could show, in one text; two rigs in the same state give the same text.
    QString snapshot() const
    {
        const ReplyDecoder::Counters& c = decoder.counters();
        QString s = QStringLiteral("decoded=%1 gate=%2 plaus=%3 errors=%4 pending=%5 last=%6\n")
                        .arg(c.recordsDecoded)
                        .arg(c.rejectedByGate)
                        .arg(c.rejectedByPlausibility)
                        .arg(c.errors)
                        .arg(decoder.pendingBytes())
                        .arg(decoder.lastDifference() ? QString::number(*decoder.lastDifference())
                                                      : QStringLiteral("-"));
        s += QStringLiteral("count=[%1] min=[%2] max=[%3] range=[%4] lastText=[%5]\n")
                 .arg(statistics.countCaption(), statistics.minCaption(), statistics.maxCaption(),
                      statistics.rangeCaption(), statistics.lastDifference());
        for (int cell = 0; cell < 4; ++cell)
            s += QStringLiteral("cell%1=[%2] ").arg(cell).arg(calibration.cell(CalibrationModel::Cell(cell)));
        s += calibration.runGate() ? QStringLiteral("gate open\n") : QStringLiteral("gate shut\n");
        for (int r = 0; r < RegisterModel::Count; ++r)
            s += registers.decimalCaption(r) + u'/' + registers.hexCaption(r) + u' ';
        s += u'\n' + versions.fpgaCaption() + u'|' + versions.rabbitCaption();
        return s;
    }
};

inline void printEvents(const char* title, const QStringList& events)
{
    std::fprintf(stderr, "%s (%lld events):\n", title, static_cast<long long>(events.size()));
    for (const QString& e : events)
        std::fprintf(stderr, "  %s\n", qPrintable(e));
}

} // namespace fuzzrig
