/// @brief The session's parts as tests reach them: timers to drive, cells to set, the decoder to feed; never for front
/// ends.
#pragma once

#include "control/calibrationmodel.h"
#include "control/calibrationsequence.h"
#include "control/registerpanel.h"
#include "control/versionmodel.h"
#include "link/connectionmanager.h"
#include "link/replydecoder.h"
#include "measure/datafile.h"
#include "measure/runstatistics.h"
#include "session/instrumentsession.h"

/// A test sets up the state it needs (a calibration, a version caption, a failing sync) and
/// drives the timers of a fake clock by hand; what it then checks goes through the session's
/// own commands, signals and snapshots wherever they say enough.
class SessionTestAccess {
public:
    explicit SessionTestAccess(InstrumentSession& session) : m_s(session) {}

    /// The keep-alive's timer and tick, the arrivals it hands on.
    ConnectionManager& link() { return *m_s.m_link; }
    CalibrationModel& calibration() { return *m_s.m_calibration; }
    CalibrationSequence& calibrationSequence() { return *m_s.m_calibrationSequence; }
    /// Arrivals fed directly, without a socket.
    ReplyDecoder& decoder() { return *m_s.m_decoder; }
    /// Sync functions that fail, failures raised by hand.
    DataFile& dataFile() { return *m_s.m_dataFile; }
    RegisterPanel& registerPanel() { return *m_s.m_registerPanel; }
    /// Differences counted without a decoder.
    RunStatistics& statistics() { return *m_s.m_statistics; }
    VersionModel& versions() { return *m_s.m_versions; }

    /// A calibration whose cells lie inside their windows, no sequence under way: the Run box
    /// opens without talking to an instrument.
    void setCells(const char* const (&cells)[4])
    {
        for (int c = 0; c < 4; ++c)
            calibration().setCell(CalibrationModel::Cell(c), QString::fromLatin1(cells[c]));
    }

private:
    InstrumentSession& m_s;
};
