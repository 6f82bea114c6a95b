/// @brief Reply decoder throughput: 10,000,000 coincidence records through decoding, statistics and line
/// formatting, against a literal text-based decoding measured in the same run.
#include "bench/literaldecoding.h"
#include "control/calibrationcapture.h"
#include "control/calibrationmodel.h"
#include "control/registermodel.h"
#include "control/versionmodel.h"
#include "link/dataoptions.h"
#include "link/decoderoutput.h"
#include "link/protocol.h"
#include "link/replydecoder.h"
#include "measure/runstatistics.h"
#include "platform/numbers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocale>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

using literal::CaptionPanel;
using literal::literalArrival;

constexpr qint64 RecordCount = 10'000'000;
using protocol::RecordLength;
constexpr int TcpArrival = 1460;
constexpr int MaxRandomArrival = 4096;
constexpr int Repetitions = 3;
// The literal decoding is quadratic in the arrival size; bounded in records and in time.
constexpr qint64 BaselineRecords = 200'000;
constexpr double BaselineSeconds = 4.0;

enum class Mode { Statistics, PlainFile, VerboseFile };

const char* modeName(Mode m)
{
    switch (m) {
    case Mode::Statistics:
        return "decode + statistics";
    case Mode::PlainFile:
        return "plain lines into memory";
    case Mode::VerboseFile:
        return "verbose lines into memory";
    }
    return "";
}

DataOptions optionsFor(Mode m)
{
    DataOptions o;
    o.display = false;
    o.file = m != Mode::Statistics;
    o.verbose = m == Mode::VerboseFile;
    o.raw = false;
    return o;
}

/// Records with readings spread over the plausible range, offsets over the whole byte and an
/// occasional overrange flag, so the line lengths and branches vary as they do in a run.
QByteArray makeRecords(qint64 count)
{
    std::mt19937 rng(20260612);
    std::uniform_int_distribution<int> reading(651, 2349);
    std::uniform_int_distribution<int> byte(0, 255);
    QByteArray stream(qsizetype(count * RecordLength), Qt::Uninitialized);
    char* out = stream.data();
    for (qint64 i = 0; i < count; ++i) {
        const int a = reading(rng);
        const int b = reading(rng);
        const int flagDraw = byte(rng);
        *out++ = 'R';
        *out++ = char(a >> 8);
        *out++ = char(a & 0xFF);
        *out++ = char(b >> 8);
        *out++ = char(b & 0xFF);
        *out++ = char(byte(rng));
        *out++ = char(flagDraw < 16 ? flagDraw : 0);
    }
    return stream;
}

std::vector<int> fixedArrivals(qint64 total, int size)
{
    std::vector<int> sizes;
    for (qint64 left = total; left > 0; left -= size)
        sizes.push_back(int(std::min<qint64>(left, size)));
    return sizes;
}

std::vector<int> randomArrivals(qint64 total)
{
    std::mt19937 rng(4096);
    std::uniform_int_distribution<int> size(1, MaxRandomArrival);
    std::vector<int> sizes;
    for (qint64 left = total; left > 0;) {
        const int s = int(std::min<qint64>(left, size(rng)));
        sizes.push_back(s);
        left -= s;
    }
    return sizes;
}

/// The data file replaced by a preallocated buffer that starts over when full.
class MemoryOutput final : public DecoderOutput {
public:
    MemoryOutput() : m_buffer(1 << 20, Qt::Uninitialized) {}

    void heartbeat() override {}
    void displayLine(const QString& line) override { m_displayed += line.size(); }
    void errorLine(const QString&) override { ++m_errors; }
    bool fileIsOpen() const override { return true; }
    bool writeFile(QByteArrayView bytes, QString&) override
    {
        if (m_used + bytes.size() > m_buffer.size()) {
            m_written += m_used;
            m_used = 0;
        }
        std::memcpy(m_buffer.data() + m_used, bytes.data(), size_t(bytes.size()));
        m_used += bytes.size();
        return true;
    }

    /// Everything written so far, when it still fits in the buffer.
    QByteArray contents() const { return m_written == 0 ? m_buffer.left(m_used) : QByteArray(); }
    qint64 bytesWritten() const { return m_written + m_used; }
    qint64 errors() const { return m_errors; }

private:
    QByteArray m_buffer;
    qsizetype m_used = 0;
    qint64 m_written = 0;
    qint64 m_displayed = 0;
    qint64 m_errors = 0;
};

/// A calibrated panel with a run started, as the decoder sees it.
struct Panel {
    CalibrationModel calibration;
    RegisterModel registers;
    VersionModel versions;
    RunStatistics statistics;
    MemoryOutput out;
    CalibrationCapture capture{registers, calibration};
    ReplyDecoder decoder{ReplyDecoder::Context{capture, versions, statistics, out}};

    explicit Panel(Mode m)
    {
        calibration.bindDecoder(decoder);
        statistics.setRunTickedSource([] { return true; });
        calibration.setCell(CalibrationModel::ALow, QStringLiteral("500"));
        calibration.setCell(CalibrationModel::AHigh, QStringLiteral("3600"));
        calibration.setCell(CalibrationModel::BLow, QStringLiteral("510"));
        calibration.setCell(CalibrationModel::BHigh, QStringLiteral("3590"));
        statistics.clearForRunStart();
        decoder.setOptions(optionsFor(m));
    }
};

struct Figure {
    qint64 records = 0;
    double seconds = 0;
    double rate() const { return records / seconds; }
};

Figure runDecoder(const QByteArray& stream, const std::vector<int>& arrivals, Mode mode)
{
    Panel p(mode);
    QElapsedTimer t;
    t.start();
    const char* pos = stream.constData();
    for (int size : arrivals) {
        p.decoder.feed(QByteArrayView(pos, size));
        pos += size;
    }
    const double seconds = t.nsecsElapsed() / 1e9;
    const qint64 decoded = qint64(p.decoder.counters().recordsDecoded);
    if (decoded != stream.size() / RecordLength || p.out.errors() != 0 || p.statistics.count() != decoded) {
        std::fprintf(stderr, "decoder lost records: %lld decoded, %lld errors\n", qlonglong(decoded),
                     qlonglong(p.out.errors()));
        std::exit(1);
    }
    return {decoded, seconds};
}

// ---- the literal decoding -----------------------------------------------------------------

/// Every number held as the caption text the window would show, read back for each use.
Figure runLiteral(const QByteArray& stream, const std::vector<int>& arrivals, Mode mode, CaptionPanel* keep = nullptr)
{
    CaptionPanel p;
    p.options = optionsFor(mode);
    QElapsedTimer t;
    t.start();
    const char* pos = stream.constData();
    const char* end = stream.constData() + stream.size();
    for (int size : arrivals) {
        if (pos + size > end)
            break;
        literalArrival(p, QByteArrayView(pos, size));
        pos += size;
        if (p.file.size() > (1 << 20))
            p.file.resize(0);
        if (p.decoded >= BaselineRecords || t.nsecsElapsed() / 1e9 > BaselineSeconds)
            break;
    }
    const Figure f{p.decoded, t.nsecsElapsed() / 1e9};
    if (keep)
        *keep = p;
    return f;
}

/// Both decodings over the same whole-record arrivals must write the same bytes and end with the
/// same statistics; a figure of a decoder that computes something else would mean nothing.
bool sameResults(const QByteArray& stream, Mode mode)
{
    const qint64 records = 10'000;
    const QByteArray part = stream.left(records * RecordLength);
    const std::vector<int> arrivals = fixedArrivals(part.size(), 208 * RecordLength);

    Panel p(mode);
    for (qsizetype pos = 0; const int size : arrivals) {
        p.decoder.feed(QByteArrayView(part.constData() + pos, size));
        pos += size;
    }
    CaptionPanel literal;
    runLiteral(part, arrivals, mode, &literal);
    return p.out.contents() == literal.file && literal.decoded == records
           && p.statistics.countCaption() == literal.countCaption && p.statistics.minCaption() == literal.minCaption
           && p.statistics.maxCaption() == literal.maxCaption && p.statistics.rangeCaption() == literal.rangeCaption;
}

template <typename Run>
Figure median(Run run)
{
    std::vector<Figure> figures;
    for (int i = 0; i < Repetitions; ++i)
        figures.push_back(run());
    std::sort(figures.begin(), figures.end(), [](const Figure& x, const Figure& y) { return x.rate() < y.rate(); });
    return figures[figures.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));

    const QByteArray stream = makeRecords(RecordCount);
    struct Pattern {
        const char* name;
        std::vector<int> arrivals;
    };
    const Pattern patterns[] = {{"1460-byte arrivals", fixedArrivals(stream.size(), TcpArrival)},
                                {"random 1..4096-byte arrivals", randomArrivals(stream.size())}};
    const Mode modes[] = {Mode::Statistics, Mode::PlainFile, Mode::VerboseFile};

    for (Mode mode : modes) {
        if (!sameResults(stream, mode)) {
            std::fprintf(stderr, "%s: the decoder and the literal decoding disagree\n", modeName(mode));
            return 1;
        }
    }
    std::printf("%lld records of 7 bytes, median of %d runs; literal decoding bounded to %lld records or %.0f s\n",
                qlonglong(RecordCount), Repetitions, qlonglong(BaselineRecords), BaselineSeconds);
    for (const Pattern& pattern : patterns) {
        std::printf("%s:\n", pattern.name);
        for (Mode mode : modes) {
            const Figure fast = median([&] { return runDecoder(stream, pattern.arrivals, mode); });
            const Figure literal = median([&] { return runLiteral(stream, pattern.arrivals, mode); });
            std::printf("  %-26s %12.0f records/s (%.3f s)   literal %10.0f records/s (%lld records)   %7.0fx\n",
                        modeName(mode), fast.rate(), fast.seconds, literal.rate(), qlonglong(literal.records),
                        fast.rate() / literal.rate());
        }
    }
    return 0;
}
