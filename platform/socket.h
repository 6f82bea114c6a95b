/// @brief The one TCP client link to the instrument, as a seam: a Qt implementation and fakes in tests.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class Socket : public QObject {
    Q_OBJECT
public:
    /// State numbers as the connection rules test them; anything else counts as broken.
    enum State { Closed = 0, Connecting = 6, Connected = 7, Closing = 8, Error = 9 };

    using QObject::QObject;
    ~Socket() override = default;

    /// Starts a connect; does nothing while connected or connecting (the link in place stays).
    virtual void connectToHost(const QString& host, quint16 port) = 0;
    /// Drops the connection at once; no event follows.
    virtual void close() = 0;
    /// Queues the bytes as one write; false when not connected (the bytes are dropped).
    virtual bool send(const QByteArray& bytes) = 0;
    virtual int state() const = 0;
    /// Hands on at once whatever a stream's bytes were left waiting for (a display frame is due).
    virtual void catchUp() {}
    /// Whether a stream's bytes may wait for the next catch-up; off, every byte is read as it
    /// comes (a run timed to the millisecond needs each arrival's own time).
    virtual void setHoldAllowed(bool /*allowed*/) {}

signals:
    void connected();
    void errorOccurred(int number, const QString& description);
    void dataArrived(const QByteArray& bytes);
};
