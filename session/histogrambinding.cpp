/// @brief The histogram's ties to the session: records, calibration texts, run starts.
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
    const auto syncCalibration = [&session, &feed] {
        const InstrumentSession::CalibrationShown c = session.calibrationShown();
        feed.setCalibrationTexts(c.cells[0], c.cells[1], c.cells[2], c.cells[3], c.tauA, c.tauB);
    };
    syncCalibration();
    QObject::connect(&session, &InstrumentSession::calibrationChanged, &session, syncCalibration);
}
