/// @brief Cuts the panel's unframed command stream into commands, tolerating any split or merge of writes.
#pragma once

#include <QByteArray>
#include <QtGlobal>

class CommandParser {
public:
    enum class Kind { Heartbeat, Version, Register, Calibration, Run, DacA, Unknown };

    struct Command {
        Kind kind = Kind::Unknown;
        QByteArray bytes;       ///< exactly as received
        int registerIndex = -1; ///< Register: 0 to 7
        quint8 argument = 0;    ///< Calibration level, Run switch
        int dacCode = 0;        ///< DacA: 12 bits
    };

    /// Bytes a command starting with this byte occupies; a byte we do not know counts as one.
    static int commandLength(char first);

    /// Appends bytes as they arrive, in any pieces.
    void feed(const QByteArray& bytes) { m_buffer.append(bytes); }
    /// The next complete command, or false while the buffer holds only part of one.
    bool next(Command& command);
    qsizetype pendingBytes() const { return m_buffer.size() - m_pos; }

private:
    QByteArray m_buffer;
    qsizetype m_pos = 0;
};
