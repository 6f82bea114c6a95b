/// @brief bindHistogramFeed: the histogram fed by a session, whichever front end shows it.
#pragma once

class HistogramFeed;
class InstrumentSession;

/// From now on `feed` gets the session's decoded records, is binned with the calibration in
/// force and is cleared at every run start, like the statistics. `feed` must outlive `session`.
void bindHistogramFeed(InstrumentSession& session, HistogramFeed& feed);
