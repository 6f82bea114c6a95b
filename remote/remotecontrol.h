/// @brief RemoteControl: SCPI commands of the control port's clients carried out on the session, one connection's order kept.
#pragma once

#include "remote/differencering.h"
#include "remote/scpiparser.h"
#include "remote/scpistatus.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

class Clock;
class HistogramFeed;
class InstrumentSession;
class PanelOptions;
class Timer;

/// Every client has its own parser place, error queue, status registers, data format and
/// place in the time-difference ring. Its commands run strictly in order: a query that waits
/// for the instrument (REGister?) or for its overlapped operations (*OPC?, *WAI) holds back
/// the commands after it, while other clients and the panel go on. The answers of one line go
/// out together, separated by ";", ended by "\n".
///
/// The transport is not its business: lines come in through the handlers below and answers go
/// out through `send`, so that tests drive it without a socket (ControlPort joins it to the
/// ControlServer).
class RemoteControl : public QObject {
    Q_OBJECT
public:
    using SendFunction = std::function<bool(quint64 client, QByteArrayView bytes)>;

    /// A register that has not answered by then gives "Hardware error".
    static constexpr int RegisterTimeoutMs = 1000;
    /// Commands a client may send while one of its queries waits; past that the waiting query
    /// is given up ("Query INTERRUPTED") so that the backlog cannot grow.
    static constexpr size_t MaxWaitingCommands = 1024;

    /// `histogram` and `session` must outlive this object; the ring is attached to the session's
    /// records for as long as it lives.
    RemoteControl(InstrumentSession& session, PanelOptions& options, HistogramFeed& histogram, const Clock& clock,
                  QString panelVersion, SendFunction send, QObject* parent = nullptr);
    ~RemoteControl() override;

    void clientConnected(quint64 client);
    void clientDisconnected(quint64 client);
    void lineReceived(quint64 client, QByteArrayView line);
    /// The client's current line outgrew the input buffer; its rest is being discarded.
    void lineOverrun(quint64 client);

    int clientCount() const { return int(m_clients.size()); }
    DifferenceRing& ring() { return m_ring; }

private:
    struct Client;
    enum class Wait { None, Operations, Register };

    void process(quint64 id);
    void execute(Client& c, const scpi::Parsed& p);
    void respond(Client& c, const QByteArray& answer);
    void fail(Client& c, scpi::Error e);
    void waitFor(Client& c, Wait wait, bool answerWhenDone);
    void endWait(quint64 id, Client& c);
    void calibrationEnded();
    void registerChanged(int index);

    void fetchDifferences(Client& c, const scpi::Parsed& p);
    void histogramData(Client& c);
    QByteArray identity() const;
    void setSwitch(int which, bool on);

    InstrumentSession& m_session;
    PanelOptions& m_options;
    HistogramFeed& m_histogram;
    const Clock& m_clock;
    const QString m_panelVersion;
    SendFunction m_send;
    DifferenceRing m_ring;
    std::map<quint64, std::unique_ptr<Client>> m_clients;
    std::vector<qint32> m_scratch;
};
