/// @brief libFuzzer harness: the reply decoder against an uncached model of the protocol, over arrivals and state
/// changes.
//
// Input: InitialState::StateBytes of state (see decoderrig.h), then segments. A segment byte
// below 0xE0 is an arrival of that many bytes (fewer at the end of the input); 0xE0 and above
// changes one piece of state between arrivals, with the next byte as its argument, the way the
// calibration sequence, the option boxes, a run start or a reconnect do while bytes flow.
//
// The model below reads every number afresh from its text for every reply and converts with
// timeconv directly, so a stale cache in the decoder (gate, time tables, group separator)
// shows up as a difference in the effects, not just as a crash.

#include "decoderrig.h"

#include "link/timeconversion.h"
#include "platform/numbers.h"

#include <QByteArray>
#include <optional>
#include <utility>
#include <vector>

using namespace fuzzrig;

namespace {

int replyLength(uint8_t first)
{
    switch (first) {
    case 'H':
        return 1;
    case 'P':
        return 2;
    case 'R':
        return 7;
    case 'V':
        return 16;
    default:
        return first >= '0' && first <= '7' ? 3 : 0;
    }
}

QString faultText(timeconv::Fault f)
{
    switch (f) {
    case timeconv::Fault::DivisionByZero:
        return QStringLiteral("Division by zero");
    case timeconv::Fault::InvalidLog:
        return QStringLiteral("Invalid procedure call or argument");
    case timeconv::Fault::Overflow:
        return QStringLiteral("Overflow");
    case timeconv::Fault::None:
        break;
    }
    return QStringLiteral("?");
}

QString groupedByThree(qint64 v, const QString& separator)
{
    const QString digits = QString::number(v < 0 ? -v : v);
    QString out;
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += separator;
        out += digits.at(i);
    }
    return v < 0 ? u'-' + out : out;
}

/// The record line as the operator reads it, built from its definition, not from the decoder's code.
QString expectedLine(qint32 dt, int a, int b, int offset, int flags, bool verbose)
{
    QString line;
    if (verbose) {
        line = groupedByThree(dt, QLocale().groupSeparator())
               + QStringLiteral(" A=%1 B=%2 Offset=%3 OR/A=%4").arg(a).arg(b).arg(offset).arg(flags % 16);
    } else {
        const QString number = dt < 0 ? QString::number(dt) : u' ' + QString::number(dt);
        line = (QString(9, u' ') + number).right(9);
    }
    if (flags & 1)
        line += QStringLiteral(", Overrange A!");
    if (flags & 2)
        line += QStringLiteral(", Overrange B!");
    return line;
}

struct Model {
    InitialState state;
    ReplyDecoder::Counters counters;
    std::vector<uint8_t> pending;
    std::optional<qint32> last;
    std::optional<qint64> count, min, max;
    std::array<std::optional<int>, RegisterModel::Count> registers{};
    quint64 recordsSeen = 0;
    int writeCalls = 0;
    bool overflowTold = false;
    QStringList events;

    void runStart()
    {
        count = 0;
        min.reset();
        max.reset();
    }

    void error(const QString& description)
    {
        ++counters.errors;
        events.append(QStringLiteral("E:Doh! (data) ") + description);
    }

    /// False when the reply took the error path.
    bool record(const uint8_t* r)
    {
        ++recordsSeen;
        const auto phase = numbers::strictNumber(state.phase);
        const auto inside = [this](int cell, double lo, double hi) {
            const double v = numbers::leadingNumber(state.cells[std::size_t(cell)]);
            return v > lo && v < hi;
        };
        const bool gate = phase && *phase == 0 && inside(CalibrationModel::ALow, 450, 550)
                          && inside(CalibrationModel::BLow, 450, 550) && inside(CalibrationModel::AHigh, 3550, 3650)
                          && inside(CalibrationModel::BHigh, 3550, 3650);
        if (!gate) {
            ++counters.rejectedByGate;
            return true;
        }
        // A high byte of 128 or more overflows A: skipped, and told once per arrival.
        if (r[1] >= 128) {
            ++counters.rejectedByOverflow;
            if (!std::exchange(overflowTold, true))
                events.append(QStringLiteral("E:Doh! (data) Overflow"));
            return true;
        }
        const int a = 256 * r[1] + r[2];
        const int b = 256 * (r[3] % 16) + r[4];
        if (!(a > 650 && a < 2350 && b > 650 && b < 2350)) {
            ++counters.rejectedByPlausibility;
            return true;
        }
        const auto channel = [](const QString& tau, int reading, const QString& low, const QString& high,
                                std::optional<timeconv::ChannelTime>& out) -> std::optional<QString> {
            const auto t = numbers::strictNumber(tau);
            const auto l = numbers::strictNumber(low);
            const auto h = numbers::strictNumber(high);
            if (!t || !l || !h)
                return QStringLiteral("Type mismatch");
            out = timeconv::channelTime(*t, reading, *l, *h);
            if (out->fault != timeconv::Fault::None)
                return faultText(out->fault);
            return std::nullopt;
        };
        std::optional<timeconv::ChannelTime> tA, tB;
        if (auto e = channel(state.tauA, a, state.cells[CalibrationModel::ALow], state.cells[CalibrationModel::AHigh],
                             tA)) {
            error(*e);
            return false;
        }
        if (auto e = channel(state.tauB, b, state.cells[CalibrationModel::BLow], state.cells[CalibrationModel::BHigh],
                             tB)) {
            error(*e);
            return false;
        }
        const int offset = r[5];
        const int flags = r[6];
        const timeconv::Difference d = timeconv::timeDifference(tA->ns, tB->ns, offset);
        if (d.fault != timeconv::Fault::None) {
            error(faultText(d.fault));
            return false;
        }
        last = d.ps;
        const QString line = expectedLine(d.ps, a, b, offset, flags, state.options.verbose);
        if (state.options.file && state.fileOpen) {
            const QByteArray bytes = state.options.raw ? QByteArray(reinterpret_cast<const char*>(r), 7)
                                                       : line.toLocal8Bit() + "\r\n";
            const QString shown = QString::fromLatin1(bytes);
            if (++writeCalls == state.failWriteAt) {
                events.append(QStringLiteral("W!") + shown);
                error(state.failWithReason ? QStringLiteral("Write failed: No space left on device")
                                           : QStringLiteral("Write failed"));
                return false;
            }
            events.append(QStringLiteral("W:") + shown);
        }
        if (state.options.display)
            events.append(QStringLiteral("D:") + line);

        count = count.value_or(0) + 1;
        if (*count == 1 && state.runTicked) {
            min = d.ps;
            max = d.ps;
        }
        if (!min || *min > d.ps)
            min = d.ps;
        if (!max || *max < d.ps)
            max = d.ps;
        ++counters.recordsDecoded;
        return true;
    }

    void version(const uint8_t* r)
    {
        const QString fpga = QStringLiteral("FPGA: %1.%2.%3").arg(r[1]).arg(r[2] >> 4).arg(r[2] & 15);
        QString module = QString::fromLatin1(reinterpret_cast<const char*>(r + 3), 13);
        while (module.startsWith(u' '))
            module.remove(0, 1);
        while (module.endsWith(u' '))
            module.chop(1);
        events.append(QStringLiteral("V:") + fpga + QStringLiteral("|Rabbit: ") + module);
    }

    void registerReply(const uint8_t* r)
    {
        const int index = r[0] - '0';
        const int v = 256 * (r[1] & 15) + r[2];
        const int shown = index == 5 ? v & 255 : index == 6 ? v & 7 : v;
        registers[std::size_t(index)] = shown;
        events.append(registerEvent(index, shown));
        if (index != 3 && index != 4)
            return;
        const auto phase = numbers::strictNumber(state.phase);
        if (!phase || (*phase != 1 && *phase != 2))
            return;
        const int cell = index == 3 ? (*phase == 1 ? CalibrationModel::ALow : CalibrationModel::AHigh)
                                    : (*phase == 1 ? CalibrationModel::BLow : CalibrationModel::BHigh);
        const QString text = QString::number(shown);
        if (state.cells[std::size_t(cell)] != text) {
            state.cells[std::size_t(cell)] = text;
            events.append(QStringLiteral("C%1=").arg(cell) + text);
        }
    }

    bool reply(const uint8_t* r)
    {
        switch (r[0]) {
        case 'H':
            events.append(QStringLiteral("H"));
            return true;
        case 'P':
            return true;
        case 'R':
            return record(r);
        case 'V':
            version(r);
            return true;
        default:
            registerReply(r);
            return true;
        }
    }

    void feed(const uint8_t* p, qsizetype n)
    {
        if (n == 0)
            return;
        overflowTold = false;
        qsizetype pos = 0;
        if (!pending.empty()) {
            const std::size_t length = std::size_t(replyLength(pending[0]));
            while (pending.size() < length && pos < n)
                pending.push_back(p[pos++]);
            if (pending.size() < length)
                return;
            const std::vector<uint8_t> whole = std::move(pending);
            pending.clear();
            if (!reply(whole.data())) {
                counters.bytesDroppedAfterError += quint64(n - pos);
                return;
            }
        }
        while (pos < n) {
            const int length = replyLength(p[pos]);
            if (length == 0) {
                counters.bytesDroppedByResync += quint64(n - pos);
                return;
            }
            if (n - pos < length) {
                pending.assign(p + pos, p + n);
                return;
            }
            const uint8_t* r = p + pos;
            pos += length;
            if (!reply(r)) {
                counters.bytesDroppedAfterError += quint64(n - pos);
                return;
            }
        }
    }
};

QString counterText(const ReplyDecoder::Counters& c)
{
    return QStringLiteral("decoded=%1 gate=%2 plaus=%3 overflow=%7 resync=%4 afterError=%5 errors=%6")
        .arg(c.recordsDecoded)
        .arg(c.rejectedByGate)
        .arg(c.rejectedByPlausibility)
        .arg(c.bytesDroppedByResync)
        .arg(c.bytesDroppedAfterError)
        .arg(c.errors)
        .arg(c.rejectedByOverflow);
}

QString optionalText(const std::optional<qint64>& v) { return v ? QString::number(*v) : QStringLiteral("-"); }

void compare(const Rig& rig, const Model& model, quint64 bytesFed)
{
    const ReplyDecoder::Counters& c = rig.decoder.counters();
    if (rig.output.events != model.events) {
        printEvents("decoder", rig.output.events);
        printEvents("model", model.events);
        FUZZ_CHECK(false, "the decoder's effects differ from the model's");
    }
    const auto same = [](const ReplyDecoder::Counters& a, const ReplyDecoder::Counters& b) {
        return a.recordsDecoded == b.recordsDecoded && a.rejectedByGate == b.rejectedByGate
               && a.rejectedByPlausibility == b.rejectedByPlausibility && a.rejectedByOverflow == b.rejectedByOverflow
               && a.bytesDroppedByResync == b.bytesDroppedByResync
               && a.bytesDroppedAfterError == b.bytesDroppedAfterError && a.errors == b.errors;
    };
    // Compared as numbers after every arrival; put into words only for a report.
    FUZZ_CHECK(same(c, model.counters), "counters: decoder %s, model %s", qPrintable(counterText(c)),
               qPrintable(counterText(model.counters)));
    FUZZ_CHECK(c.recordsDecoded + c.rejectedByGate + c.rejectedByPlausibility + c.rejectedByOverflow
                   <= model.recordsSeen,
               "more records judged than seen (%s, seen %llu)", qPrintable(counterText(c)),
               static_cast<unsigned long long>(model.recordsSeen));
    FUZZ_CHECK(c.bytesDroppedByResync + c.bytesDroppedAfterError + quint64(rig.decoder.pendingBytes()) <= bytesFed,
               "more bytes dropped or held than fed");
    FUZZ_CHECK(rig.decoder.pendingBytes() == int(model.pending.size())
                   && rig.decoder.pendingBytes() < ReplyDecoder::MaxReplyLength,
               "pending %d, model %d", rig.decoder.pendingBytes(), int(model.pending.size()));
    const auto lastGot = rig.decoder.lastDifference();
    FUZZ_CHECK(lastGot == model.last, "last difference %s, model %s",
               lastGot ? qPrintable(QString::number(*lastGot)) : "-",
               model.last ? qPrintable(QString::number(*model.last)) : "-");
    const RunStatistics& st = rig.statistics;
    FUZZ_CHECK(st.count() == model.count && st.minimum() == model.min && st.maximum() == model.max,
               "count min max: %s %s %s, model %s %s %s", qPrintable(optionalText(st.count())),
               qPrintable(optionalText(st.minimum())), qPrintable(optionalText(st.maximum())),
               qPrintable(optionalText(model.count)), qPrintable(optionalText(model.min)),
               qPrintable(optionalText(model.max)));
    for (int cell = 0; cell < 4; ++cell)
        FUZZ_CHECK(rig.calibration.cell(CalibrationModel::Cell(cell)) == model.state.cells[std::size_t(cell)],
                   "cell %d", cell);
    for (int r = 0; r < RegisterModel::Count; ++r)
        FUZZ_CHECK(rig.registers.value(r) == model.registers[std::size_t(r)], "register %d", r);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < InitialState::StateBytes)
        return 0;
    const InitialState initial = InitialState::fromBytes(data);
    useLocale(initial.locale);

    Rig rig(initial);
    Model model;
    model.state = initial;
    if (initial.runStartFirst)
        model.runStart();

    quint64 fed = 0;
    std::size_t pos = InitialState::StateBytes;
    while (pos < size) {
        const uint8_t op = data[pos++];
        if (op < 0xE0) {
            const std::size_t n = std::min<std::size_t>(op, size - pos);
            rig.decoder.feed(QByteArrayView(reinterpret_cast<const char*>(data + pos), qsizetype(n)));
            model.feed(data + pos, qsizetype(n));
            pos += n;
            fed += n;
            compare(rig, model, fed);
            // Compared per arrival, so a long input costs linear time.
            rig.output.events.clear();
            model.events.clear();
            continue;
        }
        const uint8_t arg = pos < size ? data[pos++] : 0;
        InitialState& s = model.state;
        switch ((op - 0xE0) % 9) {
        case 0:
            s.phase = phaseText(arg);
            rig.calibration.setPhaseText(s.phase);
            break;
        case 1: {
            const int cell = (arg >> 4) & 3;
            s.cells[std::size_t(cell)] = cellText(cell, arg & 15);
            rig.calibration.setCell(CalibrationModel::Cell(cell), s.cells[std::size_t(cell)]);
            break;
        }
        case 2:
            s.tauA = tauText(arg);
            rig.calibration.setTauA(s.tauA);
            break;
        case 3:
            s.tauB = tauText(arg);
            rig.calibration.setTauB(s.tauB);
            break;
        case 4:
            s.options = optionsFromBits(arg);
            rig.decoder.setOptions(s.options);
            break;
        case 5:
            s.locale = arg & 3;
            useLocale(s.locale);
            break;
        case 6:
            model.runStart();
            rig.statistics.clearForRunStart();
            break;
        case 7:
            model.counters.bytesDroppedByResync += model.pending.size();
            model.pending.clear();
            rig.decoder.reset();
            break;
        default:
            s.fileOpen = arg & 1;
            s.runTicked = arg & 2;
            rig.output.open = s.fileOpen;
            rig.output.run = s.runTicked;
            break;
        }
        // Set-up changes emit model signals of their own; only the decoder's effects are compared.
        rig.output.events.clear();
        model.events.clear();
    }
    // The captions of the values compared along the way, as the register table shows them.
    for (int r = 0; r < RegisterModel::Count; ++r) {
        const auto v = model.registers[std::size_t(r)];
        const QString dec = v ? QString::number(*v) : QStringLiteral("???");
        const QString hex = v ? QString::asprintf("0x%X", unsigned(*v)) : QStringLiteral("???");
        FUZZ_CHECK(rig.registers.decimalCaption(r) == dec && rig.registers.hexCaption(r) == hex,
                   "register %d captions %s %s, expected %s %s", r, qPrintable(rig.registers.decimalCaption(r)),
                   qPrintable(rig.registers.hexCaption(r)), qPrintable(dec), qPrintable(hex));
    }
    return 0;
}
