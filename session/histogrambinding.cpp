/// @brief The histogram's ties to the session: records, calibration texts, run starts.
#include "session/histogrambinding.h"

#include "control/calibrationmodel.h"
#include "measure/histogramfeed.h"
#include "session/instrumentsession.h"

void bindHistogramFeed(InstrumentSession& session, HistogramFeed& feed)
{
    QObject::connect(&session, &InstrumentSession::runChanged, &session, [&feed](bool ticked) {
        if (ticked)
            feed.clearForRunStart();
    });
    session.addRecordObserver(&feed);
    const auto syncCalibration = [&session, &feed] {
        const CalibrationModel& c = session.calibration();
        feed.setCalibrationTexts(c.cell(CalibrationModel::ALow), c.cell(CalibrationModel::AHigh), c.cell(CalibrationModel::BLow),
                                 c.cell(CalibrationModel::BHigh), c.tauA(), c.tauB());
    };
    syncCalibration();
    QObject::connect(&session.calibration(), &CalibrationModel::cellChanged, &session, syncCalibration);
    QObject::connect(&session.calibration(), &CalibrationModel::tauChanged, &session, syncCalibration);
}
