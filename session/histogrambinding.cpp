/// @brief The histogram's ties to the session: records, calibration in force, run starts.
#include "session/histogrambinding.h"

#include "measure/histogramfeed.h"
#include "session/instrumentsession.h"

void bindHistogramFeed(InstrumentSession& session, HistogramFeed& feed)
{
    QObject::connect(&session, &InstrumentSession::runChanged, &session, [&feed](bool ticked) {
        if (ticked)
            feed.clearForRunStart();
    });
    session.addRecordObserver(&feed);
    const auto syncCalibration = [&session, &feed] { feed.setCalibration(session.calibration()); };
    syncCalibration();
    QObject::connect(&session, &InstrumentSession::calibrationChanged, &session, syncCalibration);
}
