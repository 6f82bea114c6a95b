/// @brief Reply decoding: framing by the first byte, records with their gate, conversion, line and outputs.
#include "link/replydecoder.h"

#include "link/decoderoutput.h"
#include "link/numberformat.h"
#include "link/protocol.h"
#include "platform/clock.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>

namespace {

using protocol::PlausibleHigh;
using protocol::PlausibleLow;
using protocol::RecordLength;
using protocol::RegisterLength;
using protocol::VersionLength;

int readingA(const uchar* record) { return 256 * record[1] + record[2]; }
int readingB(const uchar* record) { return 256 * (record[3] % 16) + record[4]; }
bool plausible(int a, int b) { return a > PlausibleLow && a < PlausibleHigh && b > PlausibleLow && b < PlausibleHigh; }

/// Length of the reply that starts with this byte; 0 when no reply starts with it.
int replyLength(uchar first)
{
    switch (first) {
    case 'H':
        return protocol::HeartbeatLength;
    case 'P':
        return protocol::PrefixLength;
    case 'R':
        return RecordLength;
    case 'V':
        return VersionLength;
    default:
        return first >= '0' && first <= '7' ? RegisterLength : 0;
    }
}

QString describe(timeconv::Fault fault)
{
    switch (fault) {
    case timeconv::Fault::DivisionByZero:
        return QStringLiteral("Division by zero");
    case timeconv::Fault::InvalidLog:
        return QStringLiteral("Invalid procedure call or argument");
    case timeconv::Fault::Overflow:
        return QStringLiteral("Overflow");
    case timeconv::Fault::None:
        break;
    }
    return QString();
}

QString typeMismatch() { return QStringLiteral("Type mismatch"); }

void appendNumber(QString& out, int value)
{
    char buf[16];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(QLatin1String(buf, res.ptr - buf));
}

template <size_t N>
char* putText(char* out, const char (&text)[N])
{
    std::memcpy(out, text, N - 1);
    return out + N - 1;
}

/// Blanks, not whitespace in general: the network module pads its text with blanks.
QString trimBlanks(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == u' ')
        ++begin;
    while (end > begin && text.at(end - 1) == u' ')
        --end;
    return text.mid(begin, end - begin);
}

/// Calls `each` with every line of `bytes` (lines each followed by CR LF), without the line end.
template <typename Each>
bool forEachLine(QByteArrayView bytes, Each each)
{
    qsizetype start = 0;
    while (start < bytes.size()) {
        const auto* lf = static_cast<const char*>(
            std::memchr(bytes.data() + start, '\n', size_t(bytes.size() - start)));
        const qsizetype end = lf ? lf - bytes.data() + 1 : bytes.size();
        if (!each(bytes.sliced(start, end - start)))
            return false;
        start = end;
    }
    return true;
}

} // namespace

bool DecoderOutput::writeFileLines(QByteArrayView bytes, qsizetype, QString& errorText)
{
    return forEachLine(bytes, [&](QByteArrayView line) { return writeFile(line, errorText); });
}

bool DecoderOutput::writeFileRecords(QByteArrayView bytes, int recordSize, QString& errorText)
{
    for (qsizetype at = 0; at + recordSize <= bytes.size(); at += recordSize)
        if (!writeFile(bytes.sliced(at, recordSize), errorText))
            return false;
    return true;
}

void DecoderOutput::displayAsciiLines(QByteArrayView bytes, qsizetype)
{
    forEachLine(bytes, [&](QByteArrayView line) {
        displayAscii(line.chopped(2));
        return true;
    });
}

ReplyDecoder::ReplyDecoder(const Context& context, QObject* parent) : QObject(parent), m_ctx(context)
{
    refreshLocale();
}

void ReplyDecoder::refreshLocale()
{
    m_groupSeparator = m_locale.groupSeparator();
    m_separatorIsAscii = m_groupSeparator.size() <= numberformat::MaxSeparatorBytes
                         && std::all_of(m_groupSeparator.cbegin(), m_groupSeparator.cend(),
                                        [](QChar c) { return c.unicode() < 0x80; });
    m_separatorSize = m_separatorIsAscii ? int(m_groupSeparator.size()) : 0;
    for (int i = 0; i < m_separatorSize; ++i)
        m_separatorBytes[size_t(i)] = char(m_groupSeparator.at(i).unicode());
}

void ReplyDecoder::reset()
{
    m_counters.bytesDroppedByResync += quint64(m_pendingSize);
    m_pendingSize = 0;
}

void ReplyDecoder::feed(QByteArrayView arrival)
{
    if (arrival.isEmpty())
        return;
    // The thousands separator and the calibration's texts follow the default locale; a change
    // of it invalidates what was read under the old one.
    if (const QLocale current; current != m_locale) {
        m_locale = current;
        refreshLocale();
        emit localeChanged();
    }
    // The window shows the statistics once per arrival; the records change them one by one.
    if (!m_batch && m_ctx.output.takesLineBatches()) {
        m_batch = std::make_unique_for_overwrite<char[]>(size_t(BatchBytes + LineCapacity + 2));
        static_assert(PlainLines::WriteBytes <= LineCapacity + 2);
        m_plainLines = std::make_unique<PlainLines>();
        m_rawBatch = std::make_unique_for_overwrite<char[]>(size_t(BatchBytes + RecordLength));
    }
    // Lines collected for a batch reach their outputs before the arrival ends, whichever way it ends.
    struct ArrivalScope {
        ReplyDecoder& decoder;
        explicit ArrivalScope(ReplyDecoder& d) : decoder(d) { decoder.m_ctx.statistics.arrivalBegins(); }
        ~ArrivalScope()
        {
            decoder.flushBatch();
            decoder.m_ctx.statistics.arrivalEnds();
        }
    } arrivalScope(*this);

    const auto* bytes = reinterpret_cast<const uchar*>(arrival.data());
    const qsizetype size = arrival.size();
    qsizetype pos = 0;
    m_overflowReported = false;

    if (m_pendingSize > 0 && m_ctx.clock
        && m_ctx.clock->monotonicSeconds() - m_pendingSince > protocol::SilenceLimitSeconds)
        reset();
    if (m_pendingSize > 0) {
        const int length = replyLength(m_pending[0]);
        const qsizetype take = std::min<qsizetype>(length - m_pendingSize, size);
        std::memcpy(m_pending.data() + m_pendingSize, bytes, size_t(take));
        m_pendingSize += int(take);
        pos = take;
        if (m_pendingSize < length)
            return;
        // Decoded from a copy, so that a reset() from inside an output cannot pull the
        // bytes away under the decoding.
        const auto reply = m_pending;
        m_pendingSize = 0;
        if (decodeReply(reply.data()) == Outcome::Stop) {
            m_counters.bytesDroppedAfterError += quint64(size - pos);
            return;
        }
    }

    while (pos < size) {
        // Runs are streams of records: they skip the dispatch on the reply kind.
        if (bytes[pos] == 'R' && size - pos >= RecordLength) {
            const uchar* at = bytes + pos;
            const Outcome outcome = decodeRecords(at, bytes + size);
            pos = at - bytes;
            if (outcome == Outcome::Stop) {
                m_counters.bytesDroppedAfterError += quint64(size - pos);
                return;
            }
            continue;
        }
        const int length = replyLength(bytes[pos]);
        if (length == 0) {
            m_counters.bytesDroppedByResync += quint64(size - pos);
            return;
        }
        if (size - pos < length) {
            holdPending(bytes + pos, int(size - pos));
            return;
        }
        const uchar* reply = bytes + pos;
        pos += length;
        // What a reply sets off (a calibration step, a version caption) comes after the lines and
        // the counts of the records before it.
        if (flushBatch() == Outcome::Stop) {
            m_counters.bytesDroppedAfterError += quint64(size - pos + length);
            return;
        }
        if (decodeReply(reply) == Outcome::Stop) {
            m_counters.bytesDroppedAfterError += quint64(size - pos);
            return;
        }
    }
}

void ReplyDecoder::holdPending(const uchar* bytes, int size)
{
    std::memcpy(m_pending.data(), bytes, size_t(size));
    m_pendingSize = size;
    if (m_ctx.clock)
        m_pendingSince = m_ctx.clock->monotonicSeconds();
}

ReplyDecoder::Outcome ReplyDecoder::decodeReply(const uchar* reply)
{
    switch (reply[0]) {
    case 'H':
        m_ctx.output.heartbeat();
        return Outcome::Continue;
    case 'P':
        // Its meaning for the instrument is not ours to know; skipped unread. Recognised
        // wherever a reply may begin: once writes are glued or cut in transit, "the start
        // of an arrival" is no longer a place the instrument can aim at.
        return Outcome::Continue;
    case 'R':
        return decodeRecord(reply);
    case 'V':
        decodeVersion(reply);
        return Outcome::Continue;
    default:
        decodeRegister(reply);
        return Outcome::Continue;
    }
}

ReplyDecoder::Outcome ReplyDecoder::fail(const QString& description)
{
    // The lines before the fault come first; a failure handing them over is the fault reported.
    if (flushBatch() == Outcome::Stop)
        return Outcome::Stop;
    ++m_counters.errors;
    m_ctx.output.errorLine(QStringLiteral("Doh! (data) ") + description);
    return Outcome::Stop;
}

void ReplyDecoder::setCalibration(const Calibration& calibration)
{
    if (calibration == m_calibration)
        return;
    m_calibration = calibration;
    m_gateOpen = !m_calibrationUnderWay && m_calibration.cellsInWindows();
    m_tablesDirty = true;
}

void ReplyDecoder::setCalibrationUnderWay(bool underWay)
{
    m_calibrationUnderWay = underWay;
    m_gateOpen = !m_calibrationUnderWay && m_calibration.cellsInWindows();
}

void ReplyDecoder::refreshTables()
{
    using Channel = Calibration::Channel;
    const Calibration& cal = m_calibration;
    m_numbersA = cal.converts(Channel::A);
    if (m_numbersA)
        m_tableA.build(*cal.tau(Channel::A), *cal.low(Channel::A), *cal.high(Channel::A));
    m_numbersB = cal.converts(Channel::B);
    if (m_numbersB)
        m_tableB.build(*cal.tau(Channel::B), *cal.low(Channel::B), *cal.high(Channel::B));
    m_tablesDirty = false;
}

ReplyDecoder::Outcome ReplyDecoder::decodeRecord(const uchar* record)
{
    if (!m_gateOpen) {
        ++m_counters.rejectedByGate;
        return Outcome::Continue;
    }

    const int a = readingA(record);
    const int b = readingB(record);
    if (!plausible(a, b)) {
        // A keeps all eight bits of its high byte, and 128 or more overflows it. Such a record
        // is corrupt, not the arrival: it is skipped and the replies behind it are still
        // decoded, but the operator hears of it, once per arrival so a corrupt stream cannot
        // flood the log.
        if (record[1] >= 128) {
            ++m_counters.rejectedByOverflow;
            if (!m_overflowReported && flushBatch() == Outcome::Stop)
                return Outcome::Stop;
            if (!std::exchange(m_overflowReported, true))
                m_ctx.output.errorLine(QStringLiteral("Doh! (data) ") + describe(timeconv::Fault::Overflow));
        } else {
            ++m_counters.rejectedByPlausibility;
        }
        return Outcome::Continue;
    }

    // Past the bound a record is not converted either: it belongs to no acquisition, so a fault
    // in it must not end the decoding of the replies behind it.
    if (m_recordsLeft == 0) {
        ++m_counters.refusedByBound;
        return Outcome::Continue;
    }

    if (m_tablesDirty)
        refreshTables();
    // A reading's fault is a NaN in its time, which makes the difference fail too: one test on
    // the way every record takes, and the fault itself is looked for only then.
    if (!m_numbersA || !m_numbersB) [[unlikely]]
        return failConversion(a, b, record[5]);
    const timeconv::Difference diff = timeconv::timeDifference(m_tableA.timeOrNaN(a), m_tableB.timeOrNaN(b), record[5]);
    if (diff.fault != timeconv::Fault::None) [[unlikely]]
        return failConversion(a, b, record[5]);
    const qint32 dt = diff.ps;
    m_lastDifference = dt;

    if (m_options.display || m_options.file) {
        if (outputRecord(record, dt, a, b) == Outcome::Stop)
            return Outcome::Stop;
    }

    m_decoded[m_decodedCount++] = {dt, quint16(a), quint16(b), record[5], record[6]};
    ++m_counters.recordsDecoded;
    if (m_recordsLeft != Unbounded)
        --m_recordsLeft;
    if (m_decodedCount == DecodedBlock)
        flushDecoded();
    return Outcome::Continue;
}

ReplyDecoder::Outcome ReplyDecoder::decodeRecords(const uchar*& at, const uchar* const end)
{
    while (end - at >= RecordLength && at[0] == 'R') {
        if (streamRecords(at, end) == Outcome::Stop)
            return Outcome::Stop;
        if (end - at < RecordLength || at[0] != 'R')
            break;
        // A record with something to say (a fault, a rejection, a batch to start or switch).
        const uchar* record = at;
        at += RecordLength;
        if (decodeRecord(record) == Outcome::Stop)
            return Outcome::Stop;
    }
    return Outcome::Continue;
}

ReplyDecoder::Outcome ReplyDecoder::streamRecords(const uchar*& at, const uchar* const end)
{
    // Each pass holds what it needs in locals until something outside is called (a hand-over,
    // the statistics), then looks at the decoder again: whoever was called may have changed the
    // options, the calibration, the bound, or closed the file.
    for (;;) {
        if (!m_gateOpen || m_tablesDirty || !m_numbersA || !m_numbersB || m_recordsLeft == 0)
            return Outcome::Continue;
        bool lines = false;
        bool toFile = false;
        bool raw = false;
        if (m_options.display || m_options.file) {
            if (!m_batch || (m_options.verbose && !m_separatorIsAscii))
                return Outcome::Continue;
            toFile = m_options.file && m_ctx.output.fileIsOpen();
            raw = toFile && m_options.raw;
            lines = toFile || m_options.display;
            // A line joins a batch already under way for the same outputs; a record without a line
            // leaves no batch for other outputs waiting. Starting or switching a batch is the
            // one-by-one path's to do.
            const bool joins = m_batchLines > 0 && toFile == m_batchToFile && m_options.display == m_batchToDisplay
                               && raw == m_batchRaw;
            if (joins != lines)
                return Outcome::Continue;
        }
        const bool text = m_options.display || !raw;
        const double* const timesA = m_tableA.timesOrNaN();
        const double* const timesB = m_tableB.timesOrNaN();
        char* const batch = m_batch.get();
        PlainLines* const plainLines = m_options.verbose ? nullptr : m_plainLines.get();
        char* const rawBatch = m_rawBatch.get();
        const qsizetype limit = m_batchLimit;
        DecodedRecord* const decoded = m_decoded.data();
        qsizetype batchSize = 0;
        qsizetype batchLines = 0;
        qsizetype rawSize = 0;
        int decodedCount = 0;
        quint64 recordsDecoded = 0;
        quint64 left = 0;
        std::optional<qint32> lastDifference;
        const auto load = [&] {
            batchSize = m_batchSize;
            batchLines = m_batchLines;
            rawSize = m_rawBatchSize;
            decodedCount = m_decodedCount;
            recordsDecoded = m_counters.recordsDecoded;
            left = m_recordsLeft;
            lastDifference = m_lastDifference;
        };
        const auto store = [&] {
            m_batchSize = batchSize;
            m_batchLines = batchLines;
            m_rawBatchSize = rawSize;
            m_decodedCount = decodedCount;
            m_counters.recordsDecoded = recordsDecoded;
            m_recordsLeft = left;
            m_lastDifference = lastDifference;
        };
        load();

        bool calledOut = false;
        while (!calledOut) {
            if (end - at < RecordLength || at[0] != 'R' || left == 0)
                break;
            const uchar* const record = at;
            const int a = readingA(record);
            const int b = readingB(record);
            if (!plausible(a, b))
                break;
            const timeconv::Difference diff = timeconv::timeDifference(timesA[a], timesB[b], record[5]);
            if (diff.fault != timeconv::Fault::None) [[unlikely]]
                break;
            const qint32 dt = diff.ps;
            lastDifference = dt;
            at += RecordLength;

            if (lines) {
                if (raw) {
                    std::memcpy(rawBatch + rawSize, record, RecordLength);
                    rawSize += RecordLength;
                }
                if (text) {
                    char* const to = batch + batchSize;
                    // Overrange notes are rare, and make a line no longer a function of dt alone.
                    batchSize = (plainLines && (record[6] & 3) == 0 ? plainLines->put(to, dt)
                                                                    : putBatchLine(to, dt, a, b, record[5], record[6]))
                                - batch;
                }
                ++batchLines;
                if (batchDue(toFile, raw ? rawSize : batchSize, limit, batchSize)) {
                    // This record's line is the one that hands the batch over, as one by one.
                    store();
                    if (flushBatch() == Outcome::Stop)
                        return Outcome::Stop;
                    load();
                    calledOut = true;
                }
            }

            decoded[decodedCount++] = {dt, quint16(a), quint16(b), record[5], record[6]};
            ++recordsDecoded;
            if (left != Unbounded)
                --left;
            if (decodedCount == DecodedBlock) {
                store();
                flushDecoded();
                load();
                calledOut = true;
            }
        }
        store();
        if (!calledOut)
            return Outcome::Continue;
    }
}

ReplyDecoder::Outcome ReplyDecoder::failConversion(int a, int b, int offset)
{
    // Channel A's faults come before channel B's, as when A's time is computed first.
    if (!m_numbersA)
        return fail(typeMismatch());
    const timeconv::ChannelTime& tA = m_tableA.at(a);
    if (tA.fault != timeconv::Fault::None)
        return fail(describe(tA.fault));
    if (!m_numbersB)
        return fail(typeMismatch());
    const timeconv::ChannelTime& tB = m_tableB.at(b);
    if (tB.fault != timeconv::Fault::None)
        return fail(describe(tB.fault));
    return fail(describe(timeconv::timeDifference(tA.ns, tB.ns, offset).fault));
}

void ReplyDecoder::flushDecoded()
{
    if (m_decodedCount == 0)
        return;
    const std::span<const DecodedRecord> records(m_decoded.data(), size_t(std::exchange(m_decodedCount, 0)));
    m_ctx.statistics.recordsDecoded(records);
    if (m_ctx.observer)
        m_ctx.observer->recordsDecoded(records);
}

ReplyDecoder::Outcome ReplyDecoder::outputRecord(const uchar* record, qint32 dt, int a, int b)
{
    const DataOptions& options = m_options;
    DecoderOutput& output = m_ctx.output;
    const bool toFile = options.file && output.fileIsOpen();
    if (m_batch && !(options.verbose && !m_separatorIsAscii))
        return batchLine(toFile, record, dt, a, b);
    if (flushBatch() == Outcome::Stop)
        return Outcome::Stop;
    if (options.display || (toFile && !options.raw))
        buildLine(dt, a, b, record[5], record[6]);

    if (toFile) {
        QString errorText;
        const bool written = options.raw
                                 ? output.writeFile(QByteArrayView(reinterpret_cast<const char*>(record), RecordLength),
                                                    errorText)
                                 : writeLine(errorText);
        if (!written)
            return fail(errorText.isEmpty() ? QStringLiteral("Write failed")
                                            : QStringLiteral("Write failed: ") + errorText);
    }
    if (options.display) {
        if (m_lineIsText)
            output.displayLine(lineText());
        else
            output.displayAscii(QByteArrayView(m_lineBytes.data(), m_lineSize));
    }
    return Outcome::Continue;
}

ReplyDecoder::Outcome ReplyDecoder::batchLine(bool toFile, const uchar* record, qint32 dt, int a, int b)
{
    const bool display = m_options.display;
    const bool raw = toFile && m_options.raw;
    if (m_batchLines > 0 && (toFile != m_batchToFile || display != m_batchToDisplay || raw != m_batchRaw)
        && flushBatch() == Outcome::Stop)
        return Outcome::Stop;
    if (!toFile && !display)
        return Outcome::Continue;
    if (m_batchLines == 0) {
        m_batchToFile = toFile;
        m_batchToDisplay = display;
        m_batchRaw = raw;
        m_batchLimit = toFile ? std::clamp<qsizetype>(m_ctx.output.fileRoom(), 1, BatchBytes) : BatchBytes;
    }
    if (raw) {
        std::memcpy(m_rawBatch.get() + m_rawBatchSize, record, RecordLength);
        m_rawBatchSize += RecordLength;
    }
    if (display || !raw)
        m_batchSize = putBatchLine(m_batch.get() + m_batchSize, dt, a, b, record[5], record[6]) - m_batch.get();
    ++m_batchLines;
    return batchDue(toFile, raw ? m_rawBatchSize : m_batchSize, m_batchLimit, m_batchSize) ? flushBatch()
                                                                                           : Outcome::Continue;
}

ReplyDecoder::Outcome ReplyDecoder::flushBatch()
{
    // The records before the lines' last are counted before the lines go: a failing write then
    // leaves them counted and its own record not, as one by one.
    flushDecoded();
    if (m_batchLines == 0)
        return Outcome::Continue;
    const QByteArrayView bytes(m_batch.get(), m_batchSize);
    const qsizetype lines = std::exchange(m_batchLines, 0);
    m_batchSize = 0;
    const QByteArrayView rawRecords(m_rawBatch.get(), std::exchange(m_rawBatchSize, 0));
    if (m_batchToFile) {
        QString errorText;
        const bool written = m_batchRaw ? m_ctx.output.writeFileRecords(rawRecords, RecordLength, errorText)
                                        : m_ctx.output.writeFileLines(bytes, lines, errorText);
        if (!written) {
            // Shown are the lines written before the one that failed, as one by one.
            if (m_batchToDisplay && lines > 1) {
                qsizetype shown = bytes.size() - 2;
                while (bytes[shown - 1] != '\n')
                    --shown;
                m_ctx.output.displayAsciiLines(bytes.first(shown), lines - 1);
            }
            return fail(errorText.isEmpty() ? QStringLiteral("Write failed")
                                            : QStringLiteral("Write failed: ") + errorText);
        }
    }
    if (m_batchToDisplay)
        m_ctx.output.displayAsciiLines(bytes, lines);
    return Outcome::Continue;
}

char* ReplyDecoder::putAfterDifference(char* end, int a, int b, int offset, int flags) const
{
    if (m_options.verbose) {
        end = putText(end, " A=");
        end = numberformat::putSmall(end, a);
        end = putText(end, " B=");
        end = numberformat::putSmall(end, b);
        end = putText(end, " Offset=");
        end = numberformat::putSmall(end, offset);
        end = putText(end, " OR/A=");
        end = numberformat::putSmall(end, flags % 16);
    }
    if (flags & 1)
        end = putText(end, ", Overrange A!");
    if (flags & 2)
        end = putText(end, ", Overrange B!");
    return end;
}

void ReplyDecoder::buildLine(qint32 dt, int a, int b, int offset, int flags)
{
    m_lineTextCurrent = false;
    m_lineIsText = m_options.verbose && !m_separatorIsAscii;
    char* const begin = m_lineBytes.data();
    if (m_lineIsText) {
        // A separator outside ASCII: the line is text, written in the file's code page.
        m_line.resize(0);
        numberformat::appendGrouped(m_line, dt, m_groupSeparator);
        m_line.append(QLatin1String(begin, putAfterDifference(begin, a, b, offset, flags)));
        m_lineTextCurrent = true;
        m_lineSize = 0;
    } else {
        m_lineSize = int(putLine(begin, dt, a, b, offset, flags) - begin);
    }
}

const QString& ReplyDecoder::lineText()
{
    if (!m_lineTextCurrent) {
        m_line.resize(0);
        m_line.append(QLatin1String(m_lineBytes.data(), m_lineSize));
        m_lineTextCurrent = true;
    }
    return m_line;
}

bool ReplyDecoder::writeLine(QString& errorText)
{
    if (m_lineIsText) {
        m_fileBytes = m_line.toLocal8Bit();
        m_fileBytes.append("\r\n", 2);
        return m_ctx.output.writeFile(m_fileBytes, errorText);
    }
    // Plain ASCII is the same in every single-byte code page the file may be written in.
    char* const end = m_lineBytes.data() + m_lineSize;
    end[0] = '\r';
    end[1] = '\n';
    return m_ctx.output.writeFile(QByteArrayView(m_lineBytes.data(), m_lineSize + 2), errorText);
}

void ReplyDecoder::decodeVersion(const uchar* reply)
{
    QString fpga = QStringLiteral("FPGA: ");
    appendNumber(fpga, reply[1]);
    fpga.append(u'.');
    appendNumber(fpga, reply[2] / 16);
    fpga.append(u'.');
    appendNumber(fpga, reply[2] % 16);
    // The module's text, byte for character as received.
    const QString module = QString::fromLatin1(reinterpret_cast<const char*>(reply + 3), VersionLength - 3);
    m_ctx.versions.versionReplied(fpga, QStringLiteral("Rabbit: ") + trimBlanks(module));
}

void ReplyDecoder::decodeRegister(const uchar* reply)
{
    const int index = reply[0] - '0';
    const int value = 256 * (reply[1] % 16) + reply[2];
    int shown = value;
    if (index == 5)
        shown = value % 256;
    else if (index == 6)
        shown = value % 8;
    m_ctx.registers.registerReplied(index, shown);
}
