/// @brief ScpiParser: one SCPI program message (a line) into commands with checked parameters, or the error that stops
/// it.
#pragma once

#include "remote/scpicommands.h"
#include "remote/scpierror.h"

#include <QByteArray>
#include <QByteArrayList>
#include <vector>

namespace scpi {

struct Value {
    bool flag = false; ///< Boolean
    double number = 0; ///< Integer (rounded) and Real
    QByteArray text;   ///< String, quotes removed
    int choice = -1;   ///< Choice: index into the word list
};

/// A command ready to run, or (error != None) the error that ended the line at this point.
struct Parsed {
    /// The table's entry; null with an error.
    const CommandEntry* command = nullptr;
    bool query = false;
    Error error = Error::None;
    int valueCount = 0;
    std::array<Value, 2> values{};

    const Form& form() const { return query ? command->query : command->command; }
};

/// Parses lines of one connection. The connection's place in the command tree carries from
/// one command to the next: after "CALibration:TAU:A 9.5", a following "B 9.6" (after ";", no
/// leading ":") means CALibration:TAU:B, as IEEE 488.2 has it; a common command ("*...") leaves
/// the place alone, and a new line starts again at the root.
class Parser {
public:
    /// The commands of the line in order. Parsing stops at the first bad command: it and the
    /// rest of the line are dropped, and the error takes its place as the last entry, so that
    /// the commands before it run first (and may queue their own errors first).
    std::vector<Parsed> parseLine(QByteArrayView line);

private:
    Parsed parseUnit(QByteArrayView unit);

    QByteArrayList m_branch;
};

/// Whether header nodes ("CAL", "TAU", "A") name a table pattern ("CALibration:TAU:A").
bool headerMatches(const char* pattern, const QByteArrayList& nodes);

} // namespace scpi
