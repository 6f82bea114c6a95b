/// @brief Calibration state and the Run gate.
#include "control/calibrationmodel.h"

#include "platform/numbers.h"

void CalibrationModel::setPhaseText(const QString& phase)
{
    if (phase == m_phase)
        return;
    m_phase = phase;
    bumpRevision();
    emit phaseChanged(phase);
}

void CalibrationModel::setCell(Cell c, const QString& text)
{
    if (m_cells[c] == text)
        return;
    m_cells[c] = text;
    bumpRevision();
    emit cellChanged(c, text);
    emit runGateEvaluated(runGate());
}

void CalibrationModel::voidCells()
{
    for (Cell c : {ALow, AHigh, BLow, BHigh})
        setCell(c, Unknown);
}

void CalibrationModel::setTauA(const QString& text)
{
    if (text == m_tauA)
        return;
    m_tauA = text;
    bumpRevision();
    emit tauChanged();
}

void CalibrationModel::setTauB(const QString& text)
{
    if (text == m_tauB)
        return;
    m_tauB = text;
    bumpRevision();
    emit tauChanged();
}

bool CalibrationModel::runGate() const
{
    const auto inside = [](const QString& t, double lo, double hi) {
        const double v = numbers::leadingNumber(t);
        return v > lo && v < hi;
    };
    using namespace protocol;
    return inside(m_cells[ALow], CalibrationLowFloor, CalibrationLowCeiling)
        && inside(m_cells[BLow], CalibrationLowFloor, CalibrationLowCeiling)
        && inside(m_cells[AHigh], CalibrationHighFloor, CalibrationHighCeiling)
        && inside(m_cells[BHigh], CalibrationHighFloor, CalibrationHighCeiling);
}

bool CalibrationModel::isIdle() const
{
    const auto v = numbers::strictNumber(m_phase);
    return v && *v == 0;
}
