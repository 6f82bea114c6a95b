/// @brief Live link-health figures: arrival and record rates over the last second, and what was lost or rejected since
/// the run started.
#pragma once

#include <QObject>
#include <QtGlobal>
#include <array>

class Clock;
class ReplyDecoder;

struct LinkHealthFigures {
    double recordsPerSecond = 0, bytesPerSecond = 0;
    quint64 recordsDecoded = 0, bytes = 0, rejectedByGate = 0, rejectedByPlausibility = 0, rejectedByOverflow = 0,
            bytesDroppedByResync = 0, errors = 0, reconnects = 0;
};

/// Reads the decoder's counters rather than keeping its own per record, so that the hot path
/// pays nothing for it: the owner tells it of every arrival (after the decoder has taken it)
/// and of every completed connection.
///
/// The rates are sums over the buckets of the last second on the monotonic clock, so that they
/// fall to zero within a second of the stream stopping even when nothing calls in between.
/// The counts are differences from a snapshot taken at resetForRun(); the rates are about the
/// link now and are not reset by a run start.
class LinkHealth : public QObject {
    Q_OBJECT
public:
    static constexpr double WindowSeconds = 1.0;
    static constexpr int Buckets = 20;

    LinkHealth(const ReplyDecoder& decoder, const Clock& clock, QObject* parent = nullptr);

    /// One arrival of `bytes` bytes, already fed to the decoder.
    void noteArrival(qint64 bytes);
    /// A connection completed; every one after the first counts as a reconnect.
    void noteConnectionEstablished();

    LinkHealthFigures figures() const;
    /// Counts start again from zero (run start).
    void resetForRun();

private:
    struct Bucket {
        qint64 index = -1;
        quint64 bytes = 0;
        quint64 records = 0;
    };
    qint64 bucketIndex(double seconds) const;

    const ReplyDecoder& m_decoder;
    const Clock& m_clock;
    std::array<Bucket, Buckets> m_buckets{};
    quint64 m_lastRecordsDecoded = 0;

    quint64 m_baseDecoded = 0;
    quint64 m_baseGate = 0;
    quint64 m_basePlausibility = 0;
    quint64 m_baseOverflow = 0;
    quint64 m_baseResync = 0;
    quint64 m_baseErrors = 0;
    quint64 m_bytes = 0;
    quint64 m_reconnects = 0;
    bool m_connectedBefore = false;
};
