/// @brief The register reply that is a calibration reading becomes its cell.
#include "control/calibrationcapture.h"

#include "control/calibrationmodel.h"
#include "control/registermodel.h"
#include "platform/numbers.h"

void CalibrationCapture::registerReplied(int index, int shownValue)
{
    m_registers.setShownValue(index, shownValue);
    if (index != 3 && index != 4)
        return;
    // The phase is read for each reply: the calibration sequence moves it between the levels.
    const auto phase = numbers::strictNumber(m_calibration.phaseText());
    if (!phase || (*phase != 1 && *phase != 2))
        return;
    const bool low = *phase == 1;
    const CalibrationModel::Cell cell = index == 3 ? (low ? CalibrationModel::ALow : CalibrationModel::AHigh)
                                                   : (low ? CalibrationModel::BLow : CalibrationModel::BHigh);
    m_calibration.setCell(cell, m_registers.decimalCaption(index));
}
