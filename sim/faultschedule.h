/// @brief Faults planned ahead from text ("silence@10:6000"), for the executable's command line.
#pragma once

#include <QList>
#include <QString>
#include <optional>

class InstrumentSimulator;

class FaultSchedule {
public:
    enum class Kind { Silence, DropHeartbeats, Drop, Refuse, RefuseListen, Garbage, Split, Stall };

    struct Entry {
        Kind kind = Kind::Drop;
        int atMs = 0;     ///< after arming
        int argument = 0; ///< duration in ms or a count, by kind
        bool operator==(const Entry&) const = default;
    };

    /// "kind@seconds[:argument]"; seconds may have a fraction. Empty with a reason on bad text.
    static std::optional<Entry> parse(const QString& text, QString* error = nullptr);
    /// One line per kind, for --help.
    static QString syntaxHelp();

    bool add(const QString& text, QString* error = nullptr);
    const QList<Entry>& entries() const { return m_entries; }
    /// Starts one timer per entry on the simulator's clock, counted from now, each bound to the simulator's lifetime.
    void arm(InstrumentSimulator& simulator) const;

private:
    QList<Entry> m_entries;
};
