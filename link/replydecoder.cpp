/// @brief Reply decoding: framing by the first byte, records with their gate, conversion, line and outputs.
#include "link/replydecoder.h"

#include "control/calibrationmodel.h"
#include "control/registermodel.h"
#include "link/decoderoutput.h"
#include "link/numberformat.h"
#include "link/versionmodel.h"
#include "measure/dataoptions.h"
#include "measure/runstatistics.h"
#include "platform/numbers.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

constexpr int RecordLength = 7;
constexpr int VersionLength = 16;
constexpr int RegisterLength = 3;
constexpr int PlainWidth = 9;

// Readings outside this open interval are not on the usable part of the ramp.
constexpr int PlausibleLow = 650;
constexpr int PlausibleHigh = 2350;

/// Length of the reply that starts with this byte; 0 when no reply starts with it.
int replyLength(uchar first)
{
    switch (first) {
    case 'H':
        return 1;
    case 'P':
        return 2;
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

/// Decimal digits of a value 0..9999 (a 12-bit reading, a byte, a nibble).
char* putSmall(char* out, int value)
{
    if (value >= 1000)
        *out++ = char('0' + value / 1000);
    if (value >= 100)
        *out++ = char('0' + value / 100 % 10);
    if (value >= 10)
        *out++ = char('0' + value / 10 % 10);
    *out++ = char('0' + value % 10);
    return out;
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

} // namespace

ReplyDecoder::ReplyDecoder(const Context& context, QObject* parent) : QObject(parent), m_ctx(context)
{
    const CalibrationModel* cal = &m_ctx.calibration;
    connect(cal, &CalibrationModel::phaseChanged, this, [this] { m_gateDirty = true; });
    connect(cal, &CalibrationModel::cellChanged, this, [this] {
        m_gateDirty = true;
        m_tablesDirty = true;
    });
    connect(cal, &CalibrationModel::tauChanged, this, [this] { m_tablesDirty = true; });
    m_groupSeparator = m_locale.groupSeparator();
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
    // strictNumber and the thousands separator follow the default locale; a change of it
    // invalidates what was read under the old one.
    if (const QLocale current; current != m_locale) {
        m_locale = current;
        m_groupSeparator = m_locale.groupSeparator();
        m_gateDirty = true;
        m_tablesDirty = true;
    }

    const auto* bytes = reinterpret_cast<const uchar*>(arrival.data());
    const qsizetype size = arrival.size();
    qsizetype pos = 0;

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
        const int length = replyLength(bytes[pos]);
        if (length == 0) {
            m_counters.bytesDroppedByResync += quint64(size - pos);
            return;
        }
        if (size - pos < length) {
            m_pendingSize = int(size - pos);
            std::memcpy(m_pending.data(), bytes + pos, size_t(m_pendingSize));
            return;
        }
        const uchar* reply = bytes + pos;
        pos += length;
        if (decodeReply(reply) == Outcome::Stop) {
            m_counters.bytesDroppedAfterError += quint64(size - pos);
            return;
        }
    }
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
    ++m_counters.errors;
    m_ctx.output.errorLine(QStringLiteral("Doh! (data) ") + description);
    return Outcome::Stop;
}

void ReplyDecoder::refreshGate()
{
    m_gateOpen = m_ctx.calibration.isIdle() && m_ctx.calibration.runGate();
    m_gateDirty = false;
}

void ReplyDecoder::refreshTables()
{
    const CalibrationModel& cal = m_ctx.calibration;
    const auto tauA = numbers::strictNumber(cal.tauA());
    const auto lowA = numbers::strictNumber(cal.cell(CalibrationModel::ALow));
    const auto highA = numbers::strictNumber(cal.cell(CalibrationModel::AHigh));
    m_numbersA = tauA && lowA && highA;
    if (m_numbersA)
        m_tableA.build(*tauA, *lowA, *highA);

    const auto tauB = numbers::strictNumber(cal.tauB());
    const auto lowB = numbers::strictNumber(cal.cell(CalibrationModel::BLow));
    const auto highB = numbers::strictNumber(cal.cell(CalibrationModel::BHigh));
    m_numbersB = tauB && lowB && highB;
    if (m_numbersB)
        m_tableB.build(*tauB, *lowB, *highB);

    m_tablesDirty = false;
}

ReplyDecoder::Outcome ReplyDecoder::decodeRecord(const uchar* record)
{
    if (m_gateDirty)
        refreshGate();
    if (!m_gateOpen) {
        ++m_counters.rejectedByGate;
        return Outcome::Continue;
    }

    // A keeps all eight bits of its high byte. A high byte of 128 or more gives A >= 32768,
    // which no 12-bit reading can be: the record is corrupt, not the arrival, so it falls to
    // the plausibility test below like any other impossible reading and the replies behind it
    // are still decoded (an overflow error there would throw away the whole rest).
    const int a = 256 * record[1] + record[2];
    const int b = 256 * (record[3] % 16) + record[4];
    if (!(a > PlausibleLow && a < PlausibleHigh && b > PlausibleLow && b < PlausibleHigh)) {
        ++m_counters.rejectedByPlausibility;
        return Outcome::Continue;
    }

    if (m_tablesDirty)
        refreshTables();
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

    const int offset = record[5];
    const int flags = record[6];
    const timeconv::Difference diff = timeconv::timeDifference(tA.ns, tB.ns, offset);
    if (diff.fault != timeconv::Fault::None)
        return fail(describe(diff.fault));
    const qint32 dt = diff.ps;
    m_lastDifference = dt;

    const DataOptions& options = m_ctx.options;
    DecoderOutput& output = m_ctx.output;
    const bool toFile = options.file && output.fileIsOpen();
    if (options.display || (toFile && !options.raw))
        buildLine(dt, a, b, offset, flags);

    if (toFile) {
        QString errorText;
        const bool written = options.raw
            ? output.writeFile(QByteArrayView(reinterpret_cast<const char*>(record), RecordLength), errorText)
            : writeLine(errorText);
        if (!written)
            return fail(errorText.isEmpty() ? QStringLiteral("Write failed")
                                            : QStringLiteral("Write failed: ") + errorText);
    }
    if (options.display)
        output.displayLine(m_line);

    m_ctx.statistics.recordUpdate(dt, output.runTicked());
    ++m_counters.recordsDecoded;
    return Outcome::Continue;
}

void ReplyDecoder::buildLine(qint32 dt, int a, int b, int offset, int flags)
{
    m_line.resize(0);
    if (m_ctx.options.verbose) {
        numberformat::appendGrouped(m_line, dt, m_groupSeparator);
        // The plain-decimal tail is ASCII: assembled as bytes and appended in one go.
        char tail[48];
        char* end = putText(tail, " A=");
        end = putSmall(end, a);
        end = putText(end, " B=");
        end = putSmall(end, b);
        end = putText(end, " Offset=");
        end = putSmall(end, offset);
        end = putText(end, " OR/A=");
        end = putSmall(end, flags % 16);
        m_line.append(QLatin1String(tail, end));
    } else {
        // A blank stands where the minus sign would be, then the number is right-aligned in
        // nine characters; a longer number keeps only its last nine.
        char buf[16];
        buf[0] = ' ';
        const auto res = std::to_chars(buf + 1, buf + sizeof buf, dt);
        const char* begin = dt < 0 ? buf + 1 : buf;
        const qsizetype len = res.ptr - begin;
        if (len < PlainWidth)
            m_line.fill(u' ', PlainWidth - len);
        else
            begin += len - PlainWidth;
        m_line.append(QLatin1String(begin, res.ptr));
    }
    if (flags & 1)
        m_line.append(QLatin1String(", Overrange A!"));
    if (flags & 2)
        m_line.append(QLatin1String(", Overrange B!"));
}

bool ReplyDecoder::writeLine(QString& errorText)
{
    // The file is single-byte text in the system's code page; a line made only of ASCII (all
    // plain lines, verbose lines under most locales) is copied without a conversion.
    const bool ascii = std::all_of(m_line.cbegin(), m_line.cend(), [](QChar c) { return c.unicode() < 0x80; });
    if (ascii) {
        m_fileBytes.resize(m_line.size());
        char* out = m_fileBytes.data();
        for (QChar c : std::as_const(m_line))
            *out++ = char(c.unicode());
    } else {
        m_fileBytes = m_line.toLocal8Bit();
    }
    m_fileBytes.append("\r\n", 2);
    return m_ctx.output.writeFile(m_fileBytes, errorText);
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
    m_ctx.versions.setCaptions(fpga, QStringLiteral("Rabbit: ") + trimBlanks(module));
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
    m_ctx.registers.setShownValue(index, shown);

    if (index != 3 && index != 4)
        return;
    // The phase is read for each reply: the calibration sequence moves it between the levels.
    const auto phase = numbers::strictNumber(m_ctx.calibration.phaseText());
    if (!phase || (*phase != 1 && *phase != 2))
        return;
    const bool low = *phase == 1;
    const CalibrationModel::Cell cell = index == 3 ? (low ? CalibrationModel::ALow : CalibrationModel::AHigh)
                                                   : (low ? CalibrationModel::BLow : CalibrationModel::BHigh);
    m_ctx.calibration.setCell(cell, m_ctx.registers.decimalCaption(index));
}
