/// @brief The control port's command table: every header it knows, with its forms, parameters, handler and help line.
#pragma once

#include <QtGlobal>
#include <array>
#include <span>

class RemoteControl;
struct RemoteClient;

namespace scpi {

struct Parsed;

enum class Kind : quint8 { None, Boolean, Integer, Real, String, Choice };

struct Parameter {
    Kind kind = Kind::None;
    double low = 0;
    double high = 0;
    /// For Choice: the accepted words in SCPI case ("ASCii|INTeger"), answered by index.
    const char* choices = nullptr;
    bool optional = false;
};

/// Whom a form's effect reaches: what the control port's lock and its closing refuse.
enum class Reach : quint8 {
    /// A read, or this client's own settings: always carried out.
    Own,
    /// Changes what the other clients see: refused while another client holds the lock.
    Shared,
    /// Asks the instrument and changes nothing anyone sees: refused once the front end closes.
    Instrument,
    /// Changes the session or starts a run: refused under another client's lock and once closing.
    Session,
};

constexpr bool refusedWhenClosing(Reach r) { return r == Reach::Instrument || r == Reach::Session; }
constexpr bool refusedUnderOthersLock(Reach r) { return r == Reach::Shared || r == Reach::Session; }

/// One way of using a header: as a command (no "?") or as a query.
struct Form {
    bool allowed = false;
    std::array<Parameter, 2> parameters{};
    Reach reach = Reach::Own;
};

/// Carries out one parsed command for one client; one handler serves both forms of its entry.
using Handler = void (RemoteControl::*)(RemoteClient& client, const Parsed& parsed);

struct CommandEntry {
    /// Uppercase letters are the short form; "[:NODE]" may be left out.
    const char* header;
    Form command;
    Form query;
    Handler handler;
    /// One sentence on what it does, for whoever reads or lists the table.
    const char* help;
};

/// The whole table, in the order the command documentation lists it.
std::span<const CommandEntry> commandTable();

} // namespace scpi
