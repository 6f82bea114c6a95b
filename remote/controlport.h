/// @brief ControlPort: the control port as a front end has it: the server on its addresses, joined to the command
/// dispatch.
#pragma once

#include "remote/clienttransport.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <memory>
#include <optional>

class Clock;
class ControlServer;
class HistogramFeed;
class InstrumentSession;
class PanelOptions;
class RemoteControl;

/// Where the control port listens, as the command line gives it.
struct ControlPortSettings {
    quint16 port = 0;
    /// Null: loopback only (127.0.0.1 and ::1).
    QHostAddress address;
};

class ControlPort : public QObject, private ClientTransport {
    Q_OBJECT
public:
    ControlPort(InstrumentSession& session, PanelOptions& options, HistogramFeed& histogram, const Clock& clock,
                QObject* parent = nullptr);
    ~ControlPort() override;

    /// Starts listening; false with the reason when the port cannot be had.
    bool listen(const ControlPortSettings& settings, QString* error);
    /// Clients may connect and send, but their commands wait until releaseCommands().
    void holdCommands();
    void releaseCommands();
    /// One "Control port listening on ADDRESS:PORT" line per address, for stderr.
    QStringList listeningLines() const;
    /// Said before listening anywhere but loopback.
    static QString exposureWarning(const ControlPortSettings& settings);

    int clientCount() const;
    ControlServer& server() { return *m_server; }
    RemoteControl& control() { return *m_control; }

signals:
    void clientCountChanged(int count);

private:
    bool send(quint64 client, QByteArrayView bytes) override;
    bool sendMore(quint64 client, QByteArrayView bytes) override;
    qint64 unsentBytes(quint64 client) const override;
    void setReading(quint64 client, bool reading) override;
    QString peerName(quint64 client) const override;

    std::unique_ptr<ControlServer> m_server;
    std::unique_ptr<RemoteControl> m_control;
};

/// The --control-port and --control-address options, shared by the panel and the server.
class ControlPortOptions {
public:
    explicit ControlPortOptions(QCommandLineParser& parser);
    /// Nothing when --control-port is not given; `problem` set when an option is bad.
    std::optional<ControlPortSettings> read(const QCommandLineParser& parser, QString* problem) const;

private:
    QCommandLineOption m_port;
    QCommandLineOption m_address;
};
