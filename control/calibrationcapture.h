/// @brief Register replies into the register model and, during a calibration, into the calibration cells.
#pragma once

#include "link/decoderoutput.h"

class CalibrationModel;
class RegisterModel;

/// The decoder's register replies. While the calibration phase is 1 (low level) or 2 (high
/// level), the ADC registers 3 (A) and 4 (B) are the readings of that level: their decimal
/// captions become the calibration cells.
class CalibrationCapture final : public RegisterReplies {
public:
    CalibrationCapture(RegisterModel& registers, CalibrationModel& calibration)
        : m_registers(registers), m_calibration(calibration)
    {}

    void registerReplied(int index, int shownValue) override;

private:
    RegisterModel& m_registers;
    CalibrationModel& m_calibration;
};
