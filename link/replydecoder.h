/// @brief Decodes the instrument's unframed byte stream into effects on the models and the decoder output.
#pragma once

#include "link/calibration.h"
#include "link/channeltimetable.h"
#include "link/dataoptions.h"
#include "link/decoderoutput.h"
#include "link/numberformat.h"
#include "link/plainlines.h"
#include "link/protocol.h"

#include <QByteArrayView>
#include <QLocale>
#include <QObject>
#include <QString>
#include <array>
#include <memory>
#include <optional>
#include <string_view>

class Clock;
class DecoderOutput;
class RecordObserver;
class RegisterReplies;
class VersionReplies;

/// Fed with every arrival of the socket, in order. Replies are taken one after the other by
/// their first byte, whatever their kind:
///   "H" heartbeat (1 byte), "P" prefix (2 bytes, skipped unread), "R" coincidence record
///   (7), "V" version (16), "0".."7" register reply (3).
/// TCP keeps no write boundaries, so a reply cut at the end of an arrival is held and
/// completed from the next one, unless the link has been silent for longer than its silence
/// limit since the reply began (the rest, if it ever comes, belongs to nothing we can trust);
/// reset() drops it too. A byte that starts no known reply ends the decoding of what is
/// buffered: the rest is dropped without a message and the next arrival is read from its
/// first byte (resynchronisation). The decoder holds only that unfinished reply, the counters
/// and caches of the models' numbers between arrivals.
class ReplyDecoder : public QObject {
    Q_OBJECT
public:
    /// The state the decoder reads and writes. All referenced objects must outlive it.
    struct Context {
        RegisterReplies& registers;
        VersionReplies& versions;
        /// Told of each record first: the run statistics.
        RecordObserver& statistics;
        DecoderOutput& output;
        /// Told of each record after the statistics; may be null.
        RecordObserver* observer = nullptr;
        /// Ages an unfinished reply; null: it waits for its rest however long that takes.
        const Clock* clock = nullptr;
    };

    /// Link-health figures; they only grow, until the decoder is destroyed.
    struct Counters {
        /// Records converted and counted in the statistics.
        quint64 recordsDecoded = 0;
        /// Records dropped because a calibration was under way or a cell was outside its window.
        quint64 rejectedByGate = 0;
        /// Records dropped because a reading lay outside 650 < reading < 2350.
        quint64 rejectedByPlausibility = 0;
        /// Records dropped because A's high byte was 128 or more (corrupt, reported once per arrival).
        quint64 rejectedByOverflow = 0;
        /// Bytes discarded because they started no known reply, or were held unfinished at
        /// reset() or past the silence limit.
        quint64 bytesDroppedByResync = 0;
        /// Bytes discarded behind a reply that took the error path.
        quint64 bytesDroppedAfterError = 0;
        /// Decodings ended by the error path (each with its error line).
        quint64 errors = 0;
        /// Records that came after a record bound was used up: neither counted, shown nor written.
        quint64 refusedByBound = 0;
    };

    static constexpr int MaxReplyLength = protocol::MaxReplyLength;

    explicit ReplyDecoder(const Context& context, QObject* parent = nullptr);

    /// Decodes one arrival, after whatever unfinished reply the previous one left.
    /// Connect ConnectionManager::dataArrived here. Not re-entrant: the outputs must not feed.
    void feed(QByteArrayView arrival);

    /// Forgets an unfinished reply; call when a new connection starts, because the bytes
    /// that would complete it belonged to the old one, and before a run starts, because its
    /// first record must not complete a reply from before.
    void reset();
    /// The calibration the records are converted with and gated by, from the next record on.
    /// Nothing is converted and the gate is shut until the first one comes.
    void setCalibration(const Calibration& calibration);
    /// A calibration sequence under way shuts the record gate, whatever the cells say.
    void setCalibrationUnderWay(bool underWay);
    /// The options the next record is shown and written with; options changed during a run
    /// apply from the next record on.
    void setOptions(const DataOptions& options) { m_options = options; }
    const DataOptions& options() const { return m_options; }

    /// Who is told of each record after the statistics (null: nobody).
    void setObserver(RecordObserver* observer) { m_ctx.observer = observer; }

    /// From now on at most `records` more records are counted, shown and written; the ones
    /// after them are refused (Counters::refusedByBound) until the bound is lifted with nullopt.
    /// A bound can end an acquisition in the middle of an arrival, and exactly on its record.
    void setRecordBound(std::optional<quint64> records) { m_recordsLeft = records.value_or(Unbounded); }
    /// Records the bound still lets through; nullopt when there is none.
    std::optional<quint64> recordsLeft() const
    {
        return m_recordsLeft == Unbounded ? std::nullopt : std::optional<quint64>(m_recordsLeft);
    }

    /// Bytes of an unfinished reply waiting for the next arrival.
    int pendingBytes() const { return m_pendingSize; }
    const Counters& counters() const { return m_counters; }
    /// The time difference of the last converted record, in ps; empty before the first.
    std::optional<qint32> lastDifference() const { return m_lastDifference; }

signals:
    /// The default locale changed since the last arrival; emitted before its first reply is
    /// decoded. The calibration's texts read differently in another locale: whoever holds them
    /// reads them again and sets the calibration, so that this arrival meets the new numbers.
    void localeChanged();

private:
    enum class Outcome { Continue, Stop };

    /// reply holds the whole reply its first byte announces.
    Outcome decodeReply(const uchar* reply);
    /// The fault of a record whose conversion failed: the first in the order of the computation.
    Outcome failConversion(int a, int b, int offset);
    Outcome decodeRecord(const uchar* record);
    /// The records from `at` on, up to `end`, advancing `at` past each one taken.
    Outcome decodeRecords(const uchar*& at, const uchar* end);
    /// Takes records for as long as each is an ordinary one (plausible, inside the bound,
    /// converted without a fault, its line joining the batch as it stands) and leaves `at` on
    /// the first that is not, for decodeRecord. The same effects as decodeRecord, in the same
    /// order, with the decoder's running state held in registers between the hand-overs.
    Outcome streamRecords(const uchar*& at, const uchar* end);
    Outcome outputRecord(const uchar* record, qint32 dt, int a, int b);
    void decodeVersion(const uchar* reply);
    void decodeRegister(const uchar* reply);
    Outcome fail(const QString& description);
    void holdPending(const uchar* bytes, int size);

    void refreshTables();
    void refreshLocale();
    void buildLine(qint32 dt, int a, int b, int offset, int flags);
    /// The record line as bytes at `to`; returns its end. Not for a separator outside ASCII.
    /// Defined here, as the next two are, so that the record loops take them inline.
    char* putLine(char* to, qint32 dt, int a, int b, int offset, int flags) const
    {
        if (!m_options.verbose) {
            to = numberformat::putPlainField(to, dt);
            // Overrange notes are rare: the plain line of almost every record is its field alone.
            return (flags & 3) != 0 ? putAfterDifference(to, a, b, offset, flags) : to;
        }
        to = numberformat::putGrouped(to, dt, std::string_view(m_separatorBytes.data(), size_t(m_separatorSize)));
        return putAfterDifference(to, a, b, offset, flags);
    }
    /// putLine, then CR LF, as lines are kept in a batch; returns the end.
    char* putBatchLine(char* to, qint32 dt, int a, int b, int offset, int flags) const
    {
        char* const end = putLine(to, dt, a, b, offset, flags);
        end[0] = '\r';
        end[1] = '\n';
        return end + 2;
    }
    /// The batch goes now: its file part reached `limit`, the file's hand-over point (this record is
    /// the one whose write hands the file's buffer over, and fails if that fails), or its lines
    /// filled the batch (lines for the log alone go only then).
    static bool batchDue(bool toFile, qsizetype forFile, qsizetype limit, qsizetype lineBytes)
    {
        return (toFile && forFile >= limit) || lineBytes >= BatchBytes;
    }
    /// What follows the difference: the verbose fields and the overrange notes.
    char* putAfterDifference(char* to, int a, int b, int offset, int flags) const;
    /// The record for an output that takes batches: its line (and, for a raw file, its bytes)
    /// appended to the batch, handed over when full.
    Outcome batchLine(bool toFile, const uchar* record, qint32 dt, int a, int b);
    /// Hands the records decoded so far to the statistics, then the observer.
    void flushDecoded();
    /// Hands the collected lines (or raw records) over (file, then log). Stop when the file write
    /// failed.
    Outcome flushBatch();
    bool writeLine(QString& errorText);
    const QString& lineText();

    Context m_ctx;
    Counters m_counters;
    static constexpr quint64 Unbounded = ~quint64(0);
    quint64 m_recordsLeft = Unbounded;
    std::array<uchar, MaxReplyLength> m_pending{};
    int m_pendingSize = 0;
    double m_pendingSince = 0;
    bool m_overflowReported = false;
    std::optional<qint32> m_lastDifference;

    // The calibration as values and what is derived from it (the gate, the time tables), kept
    // until the next one is set; the group separator until the default locale changes.
    Calibration m_calibration;
    bool m_calibrationUnderWay = false;
    DataOptions m_options;
    QLocale m_locale;
    QString m_groupSeparator;
    // The separator as bytes when it is ASCII, so verbose lines can be built as bytes too.
    std::array<char, 4> m_separatorBytes{};
    int m_separatorSize = 0;
    bool m_separatorIsAscii = true;
    bool m_gateOpen = false;
    bool m_tablesDirty = true;
    bool m_numbersA = false;
    bool m_numbersB = false;
    ChannelTimeTable m_tableA;
    ChannelTimeTable m_tableB;

    // The last record line. Built as bytes, with room for the line end behind it, unless it
    // holds a character outside ASCII; then it is built as text. The text form of a byte line
    // is made only when the log asks for it. Both are reused, so formatting does not allocate
    // while nobody holds on to a line.
    static constexpr int LineCapacity = 128;
    std::array<char, LineCapacity> m_lineBytes{};
    int m_lineSize = 0;
    bool m_lineIsText = false;
    bool m_lineTextCurrent = true;
    QString m_line;
    QByteArray m_fileBytes;

    // Plain record lines not yet handed to an output that takes them in bulk, with where they go.
    static constexpr qsizetype BatchBytes = 64 * 1024;
    std::unique_ptr<char[]> m_batch;
    std::unique_ptr<PlainLines> m_plainLines;
    qsizetype m_batchSize = 0;
    qsizetype m_batchLines = 0;
    qsizetype m_batchLimit = 0;
    bool m_batchToFile = false;
    bool m_batchToDisplay = false;
    // Records not yet handed to the statistics and the observer; always empty between arrivals.
    static constexpr int DecodedBlock = 256;
    std::array<DecodedRecord, DecodedBlock> m_decoded;
    int m_decodedCount = 0;
    // A raw file takes the records' own bytes, collected here beside the lines for the log.
    bool m_batchRaw = false;
    std::unique_ptr<char[]> m_rawBatch;
    qsizetype m_rawBatchSize = 0;
};
