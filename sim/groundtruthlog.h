/// @brief The ground-truth file: one line per record actually sent, for checking what a panel made of it.
#pragma once

#include "sim/recordgenerator.h"

#include <QByteArray>
#include <QFile>
#include <QString>

/// Line format, blank-separated: the 7 record bytes as 14 lower-case hex digits, the true time
/// difference in ps (shortest text that reads back to the same double), the represented difference
/// in ps (the integer a correct panel shows). Lines starting with "#" are comments; a
/// "# calibration" line precedes the first record converted with a new calibration. In blast mode
/// the records follow a "# ring" line and are written once, however often they are sent.
class GroundTruthLog {
public:
    GroundTruthLog() = default;
    GroundTruthLog(const GroundTruthLog&) = delete;
    GroundTruthLog& operator=(const GroundTruthLog&) = delete;
    ~GroundTruthLog();

    bool open(const QString& path, QString* error = nullptr);
    bool isOpen() const { return m_file.isOpen(); }
    void close();

    void writeCalibration(const RecordGenerator::Calibration& calibration, double tauANs, double tauBNs);
    void append(const GeneratedRecord& record);
    /// "# ring <count> records ...": the lines that follow are a blast ring, which the stream repeats
    /// from its record 0 (record i on the wire is ring record i mod count).
    void writeRingHeader(qint64 count);
    /// Hands the buffered lines to the file, so a killed process loses at most one batch.
    void flush();

private:
    QFile m_file;
    QByteArray m_buffer;
};
