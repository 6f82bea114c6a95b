/// @brief Ground-truth lines formatted by hand: the file must keep up with millions of records per second.
#include "sim/groundtruthlog.h"

#include <charconv>

namespace {

constexpr qsizetype FlushThreshold = 1 << 20;

void appendNumber(QByteArray& out, auto value)
{
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr - text);
}

} // namespace

GroundTruthLog::~GroundTruthLog() { close(); }

bool GroundTruthLog::open(const QString& path, QString* error)
{
    close();
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (error)
            *error = m_file.errorString();
        return false;
    }
    m_buffer = "# record_hex true_dt_ps represented_dt_ps\n";
    flush();
    return true;
}

void GroundTruthLog::close()
{
    if (!m_file.isOpen())
        return;
    flush();
    m_file.close();
}

void GroundTruthLog::writeCalibration(const RecordGenerator::Calibration& calibration, double tauANs, double tauBNs)
{
    if (!isOpen())
        return;
    m_buffer.append("# calibration lowA=");
    appendNumber(m_buffer, calibration.lowA);
    m_buffer.append(" highA=");
    appendNumber(m_buffer, calibration.highA);
    m_buffer.append(" lowB=");
    appendNumber(m_buffer, calibration.lowB);
    m_buffer.append(" highB=");
    appendNumber(m_buffer, calibration.highB);
    m_buffer.append(" tauA=");
    appendNumber(m_buffer, tauANs);
    m_buffer.append(" tauB=");
    appendNumber(m_buffer, tauBNs);
    m_buffer.append('\n');
}

void GroundTruthLog::writeRingHeader(qint64 count)
{
    if (!isOpen())
        return;
    m_buffer.append("# ring ");
    appendNumber(m_buffer, count);
    m_buffer.append(" records: the stream is this ring repeated from record 0\n");
}

void GroundTruthLog::append(const GeneratedRecord& record)
{
    if (!isOpen())
        return;
    static constexpr char Hex[] = "0123456789abcdef";
    char hex[14];
    for (size_t i = 0; i < record.bytes.size(); ++i) {
        hex[2 * i] = Hex[record.bytes[i] >> 4];
        hex[2 * i + 1] = Hex[record.bytes[i] & 0x0F];
    }
    m_buffer.append(hex, sizeof hex);
    m_buffer.append(' ');
    appendNumber(m_buffer, record.trueDtPs);
    m_buffer.append(' ');
    appendNumber(m_buffer, record.representedPs);
    m_buffer.append('\n');
    if (m_buffer.size() > FlushThreshold)
        flush();
}

void GroundTruthLog::flush()
{
    if (!isOpen() || m_buffer.isEmpty())
        return;
    m_file.write(m_buffer);
    m_file.flush();
    m_buffer.clear();
}
