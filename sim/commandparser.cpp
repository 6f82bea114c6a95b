/// @brief Command framing: fixed lengths by first byte, no terminators.
#include "sim/commandparser.h"

int CommandParser::commandLength(char first)
{
    switch (first) {
    case 'C':
    case 'R':
        return 2;
    case 'A':
        return 3;
    default:
        return 1;
    }
}

bool CommandParser::next(Command& command)
{
    if (m_pos >= m_buffer.size()) {
        m_buffer.clear();
        m_pos = 0;
        return false;
    }
    const char first = m_buffer.at(m_pos);
    const int length = commandLength(first);
    if (m_buffer.size() - m_pos < length)
        return false;

    command = Command{};
    command.bytes = m_buffer.mid(m_pos, length);
    const auto byteAt = [&](int i) { return quint8(command.bytes.at(i)); };
    switch (first) {
    case 'H':
        command.kind = Kind::Heartbeat;
        break;
    case 'V':
        command.kind = Kind::Version;
        break;
    case 'C':
        command.kind = Kind::Calibration;
        command.argument = byteAt(1);
        break;
    case 'R':
        command.kind = Kind::Run;
        command.argument = byteAt(1);
        break;
    case 'A':
        command.kind = Kind::DacA;
        command.dacCode = ((byteAt(1) << 8) | byteAt(2)) & 0x0FFF;
        break;
    default:
        if (first >= '0' && first <= '7') {
            command.kind = Kind::Register;
            command.registerIndex = first - '0';
        }
        break;
    }
    m_pos += length;
    // Compact only now and then: a long burst of one-byte commands must not cost a copy each.
    if (m_pos > 4096 && m_pos * 2 > m_buffer.size()) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    return true;
}
