/// @brief ReplaySink: the decoder's window side for a replay: entries to the output, records into the summary.
#pragma once

#include "link/decoderoutput.h"

#include <QByteArray>
#include <functional>

class HistogramFeed;
class QFile;

class ReplaySink final : public DecoderOutput, public RecordObserver {
public:
    /// `complain` takes the decoder's error lines; `histogram` may be null.
    ReplaySink(QFile& out, HistogramFeed* histogram, std::function<void(const QString&)> complain);

    void heartbeat() override {}
    void displayLine(const QString&) override {}
    void errorLine(const QString& line) override { m_complain(line); }
    bool fileIsOpen() const override { return true; }
    bool writeFile(QByteArrayView bytes, QString& errorText) override;
    void recordDecoded(qint32 dt, int a, int b, int offset, int flags) override;

    /// Hands what is buffered to the output.
    bool flush(QString& errorText);

    quint64 count() const { return m_count; }
    double mean() const { return m_mean; }
    double stdDev() const;

private:
    QFile& m_out;
    HistogramFeed* m_histogram;
    std::function<void(const QString&)> m_complain;
    QByteArray m_buffer;
    quint64 m_count = 0;
    double m_mean = 0;
    double m_m2 = 0;
};
