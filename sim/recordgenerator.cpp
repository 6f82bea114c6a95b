/// @brief Record synthesis by inverting the ramp conversion; quantised with lookup tables for speed.
#include "sim/recordgenerator.h"

#include "link/protocol.h"
#include "sim/conversionoracle.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double CoarseStepNs = ConversionOracle::CoarseStepNs;
// Redraws of a difference that falls outside what the instrument can represent before it is clamped.
constexpr int MaxRedraws = 16;

} // namespace

RecordGenerator::RecordGenerator(const SimulatorConfig& config) : m_config(config), m_rng(config.seed)
{
    m_a.tau = config.tauANs;
    m_b.tau = config.tauBNs;
    setCalibration({config.calLowA, config.calHighA, config.calLowB, config.calHighB});
}

void RecordGenerator::Channel::build(int lowReading, int highReading)
{
    low = lowReading;
    high = highReading;
    times.clear();
    maxStep = 0;
    firstReading = MinReading;
    // The reference conversion, so a reading we pick converts back to the time we tabulated.
    for (int r = MinReading; r <= MaxReading; ++r) {
        const auto t = ConversionOracle::timeOf({tau, double(low), double(high)}, r);
        if (t.fault != ConversionOracle::Fault::None || (!times.empty() && !(t.ns > times.back())))
            break;
        if (!times.empty())
            maxStep = std::max(maxStep, t.ns - times.back());
        times.push_back(t.ns);
    }
    grid.clear();
    if (!valid())
        return;
    // Several cells per reading: a lookup walks a step or two at most (the while loop stays correct
    // for any spread of steps).
    const size_t cells = 4 * times.size();
    gridScale = double(cells) / (tMax() - tMin());
    grid.resize(cells);
    size_t i = 0;
    for (size_t cell = 0; cell < cells; ++cell) {
        const double start = tMin() + double(cell) / gridScale;
        while (i + 1 < times.size() && times[i + 1] <= start)
            ++i;
        grid[cell] = int(i);
    }
}

int RecordGenerator::Channel::nearestReading(double t) const
{
    const int cells = int(grid.size());
    const int cell = std::clamp(int((t - tMin()) * gridScale), 0, cells - 1);
    size_t i = size_t(grid[size_t(cell)]);
    while (i + 1 < times.size() && times[i + 1] <= t)
        ++i;
    if (i + 1 < times.size() && times[i + 1] - t < t - times[i])
        ++i;
    return firstReading + int(i);
}

void RecordGenerator::setCalibration(const Calibration& calibration)
{
    if (calibration == m_calibration && m_a.valid() && m_b.valid())
        return;
    m_calibration = calibration;
    m_a.build(calibration.lowA, calibration.highA);
    m_b.build(calibration.lowB, calibration.highB);
    if (canGenerate()) {
        // dt = tA - tB - 10 * offset, with each time on its own ramp and the offset 0 to 255.
        m_minDiffNs = m_a.tMin() - m_b.tMax() - CoarseStepNs * MaxOffset;
        m_maxDiffNs = m_a.tMax() - m_b.tMin();
    }
}

double RecordGenerator::quantisationBoundPs() const
{
    // Each reading is within half a step of its time; the final rounding adds half a picosecond.
    return 1000.0 * (m_a.maxStep + m_b.maxStep) / 2.0 + 0.5;
}

double RecordGenerator::uniform01() { return double(m_rng() >> 11) * 0x1.0p-53; }

double RecordGenerator::drawDifferencePs()
{
    double dt = m_config.peakPs;
    for (int attempt = 0; attempt < MaxRedraws; ++attempt) {
        if (m_config.backgroundFraction > 0 && uniform01() < m_config.backgroundFraction)
            dt = m_config.peakPs + (uniform01() - 0.5) * m_config.backgroundSpanPs;
        else
            dt = m_config.peakPs + m_config.peakWidthPs * m_normal(m_rng);
        if (dt >= minDifferencePs() && dt <= maxDifferencePs())
            return dt;
    }
    // A distribution mostly outside the instrument's range piles up at its edge rather than stalling.
    return std::clamp(dt, minDifferencePs(), maxDifferencePs());
}

void RecordGenerator::placeOnRamps(double diffNs, int& offset, double& tA, double& tB)
{
    // tA uniform over every position that leaves tB on its ramp for some offset: the arrival phase
    // against the coarse clock is random, so each feasible offset gets its share of the phase.
    const int kLow = std::max(0, int(std::ceil((m_a.tMin() - diffNs - m_b.tMax()) / CoarseStepNs)));
    const int kHigh = std::min(MaxOffset, int(std::floor((m_a.tMax() - diffNs - m_b.tMin()) / CoarseStepNs)));
    const auto window = [&](int k, double& lo, double& hi) {
        lo = std::max(m_a.tMin(), diffNs + CoarseStepNs * k + m_b.tMin());
        hi = std::min(m_a.tMax(), diffNs + CoarseStepNs * k + m_b.tMax());
        return hi > lo ? hi - lo : 0.0;
    };
    double total = 0;
    double lo = 0;
    double hi = 0;
    for (int k = kLow; k <= kHigh; ++k)
        total += window(k, lo, hi);

    offset = std::clamp(kLow, 0, MaxOffset);
    if (total > 0) {
        double pick = uniform01() * total;
        for (int k = kLow; k <= kHigh; ++k) {
            const double width = window(k, lo, hi);
            if (width <= 0)
                continue;
            // Set on every candidate, so that rounding in the last subtraction still leaves a placement.
            offset = k;
            tA = lo + std::min(pick, width);
            if (pick < width)
                break;
            pick -= width;
        }
    } else {
        // Only at the very edge of the range: a single point, no room to spread.
        tA = std::clamp(diffNs + CoarseStepNs * offset + (m_b.tMin() + m_b.tMax()) / 2, m_a.tMin(), m_a.tMax());
    }
    tB = tA - diffNs - CoarseStepNs * offset;
}

GeneratedRecord RecordGenerator::next()
{
    GeneratedRecord record;
    if (!canGenerate())
        return record;
    record.trueDtPs = drawDifferencePs();
    int offset = 0;
    double tA = 0;
    double tB = 0;
    placeOnRamps(record.trueDtPs / 1000.0, offset, tA, tB);
    const int a = m_a.nearestReading(tA);
    const int b = m_b.nearestReading(tB);
    record.representedPs = ConversionOracle::represented({m_a.timeOf(a)}, {m_b.timeOf(b)}, offset).ps;

    quint8 flags = 0;
    if (m_config.overrangeFraction > 0 && uniform01() < m_config.overrangeFraction)
        flags = quint8(1 + m_rng() % 3);
    quint8 bHigh = quint8(b >> 8);
    if (m_config.setUnusedBits)
        bHigh |= quint8(m_rng() & 0xF0);
    record.bytes = {quint8('R'), quint8(a >> 8), quint8(a & 0xFF), bHigh, quint8(b & 0xFF), quint8(offset), flags};
    return record;
}

void RecordGenerator::generate(int count, QByteArray& out, std::vector<GeneratedRecord>* records)
{
    if (count <= 0 || !canGenerate())
        return;
    const qsizetype start = out.size();
    out.resize(start + qsizetype(count) * protocol::RecordLength);
    char* dst = out.data() + start;
    if (records)
        records->reserve(records->size() + size_t(count));
    for (int i = 0; i < count; ++i, dst += protocol::RecordLength) {
        const GeneratedRecord record = next();
        std::copy(record.bytes.begin(), record.bytes.end(), dst);
        if (records)
            records->push_back(record);
    }
}
