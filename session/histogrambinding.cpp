/// @brief The histogram's ties to the session: records, calibration in force, run starts.
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
    feed.setCalibration(session.calibration().calibration());
    QObject::connect(&session.calibration(), &CalibrationModel::calibrationChanged, &session,
                     [&feed](const Calibration& c) { feed.setCalibration(c); });
}
