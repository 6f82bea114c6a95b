/// @brief Calibration state, the Run gate and the one reading of the texts as numbers.
#include "control/calibrationmodel.h"

#include "link/replydecoder.h"
#include "platform/numbers.h"

#include <utility>

CalibrationModel::CalibrationModel(QObject* parent) : QObject(parent)
{
    readTexts();
    readPhase();
}

bool CalibrationModel::readTexts()
{
    const Calibration now = Calibration::fromTexts(m_cells, m_tauA, m_tauB);
    if (now == m_calibration)
        return false;
    m_calibration = now;
    return true;
}

bool CalibrationModel::readPhase()
{
    const auto v = numbers::strictNumber(m_phase);
    const bool idle = v && *v == 0;
    return std::exchange(m_idle, idle) != idle;
}

void CalibrationModel::rereadTexts()
{
    if (readPhase())
        emit idleChanged(m_idle);
    if (readTexts())
        emit calibrationChanged(m_calibration);
}

void CalibrationModel::setPhaseText(const QString& phase)
{
    if (phase == m_phase)
        return;
    m_phase = phase;
    const bool idleMoved = readPhase();
    emit phaseChanged(phase);
    if (idleMoved)
        emit idleChanged(m_idle);
}

void CalibrationModel::setCell(Cell c, const QString& text)
{
    if (m_cells[c] == text)
        return;
    m_cells[c] = text;
    const bool changed = readTexts();
    emit cellChanged(c, text);
    emit runGateEvaluated(runGate());
    if (changed)
        emit calibrationChanged(m_calibration);
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
    const bool changed = readTexts();
    emit tauChanged();
    if (changed)
        emit calibrationChanged(m_calibration);
}

void CalibrationModel::setTauB(const QString& text)
{
    if (text == m_tauB)
        return;
    m_tauB = text;
    const bool changed = readTexts();
    emit tauChanged();
    if (changed)
        emit calibrationChanged(m_calibration);
}

void CalibrationModel::bindDecoder(ReplyDecoder& decoder)
{
    decoder.setCalibration(m_calibration);
    decoder.setCalibrationUnderWay(!m_idle);
    connect(this, &CalibrationModel::calibrationChanged, &decoder, &ReplyDecoder::setCalibration);
    connect(this, &CalibrationModel::idleChanged, &decoder,
            [&decoder](bool idle) { decoder.setCalibrationUnderWay(!idle); });
    connect(&decoder, &ReplyDecoder::localeChanged, this, &CalibrationModel::rereadTexts);
}
