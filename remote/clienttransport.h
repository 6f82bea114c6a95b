/// @brief What the command layer needs of the connections it answers: sending, the unsent backlog, and holding a
/// client's input back.
#pragma once

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

class ClientTransport {
public:
    virtual ~ClientTransport() = default;
    /// Queues bytes for the client; false when it is gone (then it is reported gone as well).
    virtual bool send(quint64 client, QByteArrayView bytes) = 0;
    /// Queues the next piece of an answer that send() began. A large answer goes in pieces, so
    /// that nobody builds a copy of all of it; its start passed the checks, so its rest does too.
    virtual bool sendMore(quint64 client, QByteArrayView bytes) { return send(client, bytes); }
    /// Bytes queued for the client that the network has not taken yet.
    virtual qint64 unsentBytes(quint64 client) const = 0;
    /// With false no further line of the client arrives until it is turned on again.
    virtual void setReading(quint64 client, bool reading) = 0;
    /// Who the client is, for SYSTem:LOCK:OWNer? ("127.0.0.1:50123").
    virtual QString peerName(quint64 client) const { return QStringLiteral("client %1").arg(client); }
};
