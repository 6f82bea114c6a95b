/// @brief Parsing and arming of planned faults.
#include "sim/faultschedule.h"

#include "sim/instrumentsimulator.h"

#include <algorithm>
#include <array>
#include <limits>

namespace {

struct KindInfo {
    FaultSchedule::Kind kind;
    const char* name;
    const char* argument; ///< nullptr: takes none
    const char* help;
};

constexpr std::array<KindInfo, 8> Kinds{{
    {FaultSchedule::Kind::Silence, "silence", "ms", "answer nothing at all for ms"},
    {FaultSchedule::Kind::DropHeartbeats, "heartbeats", "count", "leave the next count heartbeats unanswered"},
    {FaultSchedule::Kind::Drop, "drop", nullptr, "reset every open connection"},
    {FaultSchedule::Kind::Refuse, "refuse", "ms", "close accepted connections at once for ms"},
    {FaultSchedule::Kind::RefuseListen, "refuse-listen", "ms", "stop listening for ms"},
    {FaultSchedule::Kind::Garbage, "garbage", "count", "send count bytes that begin no reply"},
    {FaultSchedule::Kind::Split, "split", "ms", "split every write at random byte boundaries for ms"},
    {FaultSchedule::Kind::Stall, "stall", "ms", "hold all output for ms, then resume"},
}};

// A week: long enough for any soak run, short enough for a timer.
constexpr double MaxSeconds = 7 * 24 * 3600;

} // namespace

std::optional<FaultSchedule::Entry> FaultSchedule::parse(const QString& text, QString* error)
{
    const auto fail = [&](const QString& why) -> std::optional<Entry> {
        if (error)
            *error = QStringLiteral("bad fault \"%1\": %2").arg(text, why);
        return std::nullopt;
    };
    const qsizetype at = text.indexOf(u'@');
    if (at < 0)
        return fail(QStringLiteral("expected kind@seconds[:argument]"));
    const QString name = text.left(at).trimmed();
    const auto info = std::find_if(Kinds.begin(), Kinds.end(),
                                   [&](const KindInfo& k) { return name == QLatin1String(k.name); });
    if (info == Kinds.end())
        return fail(QStringLiteral("unknown kind \"%1\"").arg(name));

    const QString rest = text.mid(at + 1);
    const qsizetype colon = rest.indexOf(u':');
    bool ok = false;
    const double seconds = (colon < 0 ? rest : rest.left(colon)).trimmed().toDouble(&ok);
    if (!ok || !(seconds >= 0) || seconds > MaxSeconds)
        return fail(QStringLiteral("time must be 0 to %1 seconds").arg(MaxSeconds));

    Entry entry;
    entry.kind = info->kind;
    entry.atMs = int(seconds * 1000 + 0.5);
    if (info->argument == nullptr) {
        if (colon >= 0)
            return fail(QStringLiteral("takes no argument"));
        return entry;
    }
    if (colon < 0)
        return fail(QStringLiteral("needs %1").arg(QLatin1String(info->argument)));
    const qint64 argument = rest.mid(colon + 1).trimmed().toLongLong(&ok);
    if (!ok || argument <= 0 || argument > std::numeric_limits<int>::max())
        return fail(QStringLiteral("%1 must be a positive whole number").arg(QLatin1String(info->argument)));
    entry.argument = int(argument);
    return entry;
}

QString FaultSchedule::syntaxHelp()
{
    QString help;
    for (const KindInfo& k : Kinds) {
        QString form = QLatin1String(k.name) + QStringLiteral("@seconds");
        if (k.argument)
            form += u':' + QLatin1String(k.argument);
        help += QStringLiteral("  %1  %2\n").arg(form, -28).arg(QLatin1String(k.help));
    }
    return help;
}

bool FaultSchedule::add(const QString& text, QString* error)
{
    const auto entry = parse(text, error);
    if (entry)
        m_entries.append(*entry);
    return entry.has_value();
}

void FaultSchedule::arm(InstrumentSimulator& simulator) const
{
    for (const Entry& entry : m_entries) {
        // On the simulator's clock: a fake one runs the plan as the test moves it.
        Timer* timer = simulator.clock().makeTimer(&simulator).release();
        timer->setSingleShot(true);
        timer->setInterval(entry.atMs);
        QObject::connect(timer, &Timer::timeout, &simulator, [&simulator, entry, timer] {
            timer->deleteLater();
            switch (entry.kind) {
            case Kind::Silence:
                simulator.silence(entry.argument);
                break;
            case Kind::DropHeartbeats:
                simulator.dropHeartbeats(entry.argument);
                break;
            case Kind::Drop:
                simulator.dropConnections();
                break;
            case Kind::Refuse:
                simulator.refuseConnections(entry.argument, InstrumentSimulator::RefuseMode::CloseAccepted);
                break;
            case Kind::RefuseListen:
                simulator.refuseConnections(entry.argument, InstrumentSimulator::RefuseMode::StopListening);
                break;
            case Kind::Garbage:
                simulator.sendGarbage(entry.argument);
                break;
            case Kind::Split:
                simulator.splitReplies(entry.argument);
                break;
            case Kind::Stall:
                simulator.stall(entry.argument);
                break;
            }
        });
        timer->start();
    }
}
