/// @brief A small HTTP/1.1 server on 127.0.0.1 that serves the update tests' web directory, and misbehaves on request.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

class LoopbackHttpServer {
public:
    struct Route {
        QByteArray body;
        int status = 200;
        /// No "Content-Length" header: the body ends when the connection closes.
        bool dropContentLength = false;
        /// Read the request and never answer.
        bool stall = false;
        /// Sent instead of the body's size when not empty (a lying server).
        QByteArray contentLength = {};
        /// Send the body one byte every so many milliseconds (0: all at once).
        int trickleMs = 0;
        /// Repeat the body without end (no length), until the client goes or kFloodLimit is sent.
        bool flood = false;
        /// "Location" of a redirect (status 30x).
        QByteArray location = {};
    };

    /// Even a flood ends: a client that reads on for this much is not one the tests want.
    static constexpr qint64 kFloodLimit = qint64(4) << 30;
    static constexpr int kFloodSeconds = 120;

    LoopbackHttpServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, buffer] {
                    if (buffer->contains("\r\n\r\n")) {
                        s->readAll(); // answered already
                        return;
                    }
                    buffer->append(s->readAll());
                    if (buffer->contains("\r\n\r\n"))
                        answer(s, *buffer);
                });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }

    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/updates/").arg(m_server.serverPort()); }
    void serve(const QString& fileName, const Route& route) { m_routes.insert(QStringLiteral("/updates/") + fileName, route); }
    Route& route(const QString& fileName) { return m_routes[QStringLiteral("/updates/") + fileName]; }

    /// Paths asked for, in order.
    QStringList requests;

private:
    void answer(QTcpSocket* s, const QByteArray& head)
    {
        const QList<QByteArray> words = head.left(head.indexOf("\r\n")).split(' ');
        const QString path = QString::fromLatin1(words.value(1));
        requests.append(path);
        const auto it = m_routes.constFind(path);
        Route r = it != m_routes.constEnd() ? *it : Route{QByteArrayLiteral("<html><body><h1>404 Not Found</h1></body></html>"), 404};
        if (r.stall)
            return;
        const QByteArray reason = r.status == 200 ? "OK" : r.status / 100 == 3 ? "Found" : "Not Found";
        QByteArray out = "HTTP/1.1 " + QByteArray::number(r.status) + ' ' + reason
                         + "\r\nContent-Type: " + (r.status == 200 ? "application/octet-stream" : "text/html")
                         + "\r\nConnection: close\r\n";
        if (!r.location.isEmpty())
            out += "Location: " + r.location + "\r\n";
        if (!r.dropContentLength && !r.flood)
            out += "Content-Length: " + (r.contentLength.isEmpty() ? QByteArray::number(r.body.size()) : r.contentLength) + "\r\n";
        out += "\r\n";
        if (r.flood)
            return flood(s, out, r.body);
        if (r.trickleMs > 0)
            return trickle(s, out, r.body, r.trickleMs);
        s->write(out + r.body);
        s->disconnectFromHost();
    }

    static void flood(QTcpSocket* s, const QByteArray& head, const QByteArray& pattern)
    {
        QByteArray chunk = pattern.isEmpty() ? QByteArray(1, 'x') : pattern;
        while (chunk.size() < 64 * 1024)
            chunk += chunk;
        s->write(head);
        auto sent = std::make_shared<qint64>(0);
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        const auto more = [s, chunk, sent, clock] {
            if (*sent >= kFloodLimit || clock->elapsed() > kFloodSeconds * 1000)
                return s->disconnectFromHost();
            while (s->bytesToWrite() < 4 * chunk.size()) {
                s->write(chunk);
                *sent += chunk.size();
            }
        };
        QObject::connect(s, &QTcpSocket::bytesWritten, s, more);
        more();
    }

    static void trickle(QTcpSocket* s, const QByteArray& head, const QByteArray& body, int everyMs)
    {
        s->write(head);
        auto* timer = new QTimer(s);
        auto at = std::make_shared<qsizetype>(0);
        QObject::connect(timer, &QTimer::timeout, s, [s, timer, body, at] {
            if (*at >= body.size()) {
                timer->stop();
                return s->disconnectFromHost();
            }
            s->write(body.mid((*at)++, 1));
        });
        timer->start(everyMs);
    }

    QTcpServer m_server;
    QHash<QString, Route> m_routes;
};
