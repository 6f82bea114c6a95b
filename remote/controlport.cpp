/// @brief The control port's server joined to RemoteControl, and its command-line options.
#include "remote/controlport.h"

#include "platform/commandline.h"
#include "platform/versioninfo.h"
#include "remote/controlserver.h"
#include "remote/remotecontrol.h"

ControlPort::ControlPort(InstrumentSession& session, PanelOptions& options, HistogramFeed& histogram,
                         const Clock& clock, QObject* parent)
    : QObject(parent), m_server(std::make_unique<ControlServer>(ControlServer::Limits{}, &clock))
{
    ControlServer* server = m_server.get();
    ClientTransport& transport = *this;
    m_control = std::make_unique<RemoteControl>(session, options, histogram, clock, versioninfo::versionNumber(),
                                                transport);
    RemoteControl* control = m_control.get();
    connect(server, &ControlServer::clientConnected, control, [control](quint64 c) { control->clientConnected(c); });
    connect(server, &ControlServer::clientDisconnected, control,
            [control](quint64 c) { control->clientDisconnected(c); });
    connect(server, &ControlServer::lineReceived, control,
            [control](quint64 c, const QByteArray& line) { control->lineReceived(c, line); });
    connect(server, &ControlServer::lineOverrun, control, [control](quint64 c) { control->lineOverrun(c); });
    connect(server, &ControlServer::lineTimedOut, control, [control](quint64 c) { control->lineTimedOut(c); });
    connect(server, &ControlServer::bytesSent, control, [control](quint64 c) { control->clientDrained(c); });
    connect(server, &ControlServer::clientCountChanged, this, &ControlPort::clientCountChanged);
}

bool ControlPort::send(quint64 client, QByteArrayView bytes) { return m_server->send(client, bytes); }

bool ControlPort::sendMore(quint64 client, QByteArrayView bytes) { return m_server->sendMore(client, bytes); }

qint64 ControlPort::unsentBytes(quint64 client) const { return m_server->unsentBytes(client); }

void ControlPort::setReading(quint64 client, bool reading) { m_server->setReading(client, reading); }

QString ControlPort::peerName(quint64 client) const { return m_server->peerName(client); }

void ControlPort::holdCommands() { m_control->holdCommands(); }

void ControlPort::releaseCommands() { m_control->releaseCommands(); }

ControlPort::~ControlPort()
{
    // The server's last signals (clients closing) must not reach a dispatcher already gone.
    m_server->disconnect();
    m_server.reset();
}

bool ControlPort::listen(const ControlPortSettings& settings, QString* error)
{
    return m_server->listen(settings.address, settings.port, error);
}

QStringList ControlPort::listeningLines() const
{
    QStringList lines;
    for (const QHostAddress& a : m_server->addresses()) {
        const QString host = a.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + a.toString() + u']' : a.toString();
        lines.append(QStringLiteral("Control port listening on %1:%2").arg(host).arg(m_server->port()));
    }
    return lines;
}

QString ControlPort::exposureWarning(const ControlPortSettings& settings)
{
    if (settings.address.isNull() || settings.address.isLoopback())
        return {};
    return QStringLiteral(
               "warning: the control port listens on %1, port %2: anyone who can reach it there controls the "
               "instrument, with no password")
        .arg(settings.address.toString())
        .arg(settings.port == 0 ? QStringLiteral("chosen at start") : QString::number(settings.port));
}

int ControlPort::clientCount() const { return m_server->clientCount(); }

ControlPortOptions::ControlPortOptions(QCommandLineParser& parser)
    : m_port(QStringLiteral("control-port"),
             QStringLiteral(
                 "Accept SCPI commands on TCP port <n> (0 picks a free one, printed on stderr); loopback only."),
             QStringLiteral("n")),
      m_address(QStringLiteral("control-address"),
                QStringLiteral("Listen for commands on <addr> instead of loopback. Anyone who can reach it controls "
                               "the instrument."),
                QStringLiteral("addr"))
{
    parser.addOptions({m_port, m_address});
}

std::optional<ControlPortSettings> ControlPortOptions::read(const QCommandLineParser& parser, QString* problem) const
{
    if (!parser.isSet(m_port)) {
        if (parser.isSet(m_address))
            *problem = QStringLiteral("--control-address needs --control-port");
        return std::nullopt;
    }
    ControlPortSettings s;
    const auto port = CommandLine::port(parser.value(m_port), 0);
    if (!port) {
        *problem = QStringLiteral("--control-port: expected 0 to 65535");
        return std::nullopt;
    }
    s.port = *port;
    if (parser.isSet(m_address)) {
        if (!s.address.setAddress(parser.value(m_address))) {
            *problem = QStringLiteral("--control-address: expected an IP address");
            return std::nullopt;
        }
    }
    return s;
}
