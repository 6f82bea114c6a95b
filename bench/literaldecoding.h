/// @brief The literal decoding the benchmarks compare with: every record through caption texts, as
/// the panel's first form did, so that a speed-up is measured against what it replaced.
#pragma once

#include "link/dataoptions.h"
#include "link/protocol.h"
#include "platform/numbers.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QLocale>
#include <QString>
#include <cmath>

namespace literal {

struct CaptionPanel {
    QString phase = QStringLiteral("0");
    QString calAl = QStringLiteral("500");
    QString calAh = QStringLiteral("3600");
    QString calBl = QStringLiteral("510");
    QString calBh = QStringLiteral("3590");
    QString tauA = QString::fromLatin1(protocol::TauADefaultText);
    QString tauB = QString::fromLatin1(protocol::TauBDefaultText);
    QString countTag = QStringLiteral("0");
    QString countCaption = QStringLiteral("0");
    QString minCaption;
    QString maxCaption;
    QString rangeCaption;
    QString lastDifference;
    bool runTicked = true;
    DataOptions options;
    QByteArray file;
    qint64 decoded = 0;
    qint64 errors = 0;
};

inline double strictOrThrow(const QString& text)
{
    const auto v = numbers::strictNumber(text);
    if (!v)
        throw 13;
    return *v;
}

inline void recomputeRange(CaptionPanel& p)
{
    p.rangeCaption =
        QString::number(std::abs(numbers::leadingNumber(p.maxCaption) - numbers::leadingNumber(p.minCaption)), 'f', 0);
}

inline void minMaxReset(CaptionPanel& p)
{
    if (!p.runTicked)
        return;
    p.minCaption = p.lastDifference;
    recomputeRange(p);
    p.maxCaption = p.lastDifference;
    recomputeRange(p);
}

inline bool recordGate(const QString& t, const CaptionPanel& p)
{
    if (!(t.size() > 6 && t.at(0) == u'R'))
        return false;
    if (strictOrThrow(p.phase) != 0)
        return false;
    const double al = numbers::leadingNumber(p.calAl);
    const double ah = numbers::leadingNumber(p.calAh);
    const double bl = numbers::leadingNumber(p.calBl);
    const double bh = numbers::leadingNumber(p.calBh);
    using namespace protocol;
    const auto inside = [](double v, double lo, double hi) { return v > lo && v < hi; };
    return inside(al, CalibrationLowFloor, CalibrationLowCeiling)
           && inside(bl, CalibrationLowFloor, CalibrationLowCeiling)
           && inside(ah, CalibrationHighFloor, CalibrationHighCeiling)
           && inside(bh, CalibrationHighFloor, CalibrationHighCeiling);
}

inline void literalArrival(CaptionPanel& p, QByteArrayView arrival)
{
    QString t = QString::fromLatin1(arrival.data(), arrival.size());
    try {
        if (!t.isEmpty() && t.at(0) == u'H')
            return;
        if (!t.isEmpty() && t.at(0) == u'P')
            t = t.mid(2);
        while (recordGate(t, p)) {
            const auto code = [&t](int i) { return int(t.at(i - 1).unicode()); };
            if (code(2) >= 128)
                throw 6;
            const int a = 256 * code(2) + code(3);
            const int b = 256 * (code(4) % 16) + code(5);
            if (a > protocol::PlausibleLow && a < protocol::PlausibleHigh && b > protocol::PlausibleLow
                && b < protocol::PlausibleHigh) {
                const double tA =
                    -strictOrThrow(p.tauA)
                    * std::log(1 - (a - strictOrThrow(p.calAl)) / (strictOrThrow(p.calAh) - strictOrThrow(p.calAl)));
                const double tB =
                    -strictOrThrow(p.tauB)
                    * std::log(1 - (b - strictOrThrow(p.calBl)) / (strictOrThrow(p.calBh) - strictOrThrow(p.calBl)));
                const int offset = code(6);
                const qint32 dt = qint32(std::nearbyint(((tB + 10.0 * offset) - tA) * (-1000.0)));
                p.lastDifference = QString::number(dt);

                QString line;
                if (p.options.verbose) {
                    line = QLocale().toString(dt) + QStringLiteral(" A=") + QString::number(a) + QStringLiteral(" B=")
                           + QString::number(b) + QStringLiteral(" Offset=") + QString::number(offset)
                           + QStringLiteral(" OR/A=") + QString::number(code(7) % 16);
                } else {
                    const QString n = dt < 0 ? QString::number(dt) : QStringLiteral(" ") + QString::number(dt);
                    line = (QStringLiteral("         ") + n).right(9);
                }
                if (code(7) & 1)
                    line = line + QStringLiteral(", Overrange A!");
                if (code(7) & 2)
                    line = line + QStringLiteral(", Overrange B!");

                if (p.options.file)
                    p.file += p.options.raw ? t.left(7).toLatin1() : (line + QStringLiteral("\r\n")).toLocal8Bit();

                const qint64 count = qint64(strictOrThrow(p.countTag)) + 1;
                p.countTag = QString::number(count);
                p.countCaption = QLocale().toString(count);
                if (strictOrThrow(p.countTag) == 1)
                    minMaxReset(p);
                if (strictOrThrow(p.minCaption) > dt) {
                    p.minCaption = QString::number(dt);
                    recomputeRange(p);
                }
                if (strictOrThrow(p.maxCaption) < dt) {
                    p.maxCaption = QString::number(dt);
                    recomputeRange(p);
                }
                ++p.decoded;
            }
            t = t.mid(7);
        }
    } catch (int) {
        ++p.errors;
    }
}

} // namespace literal
