/// @brief A small HTTP/1.1 server on 127.0.0.1 that serves the update tests' web directory, and misbehaves on request.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

class LoopbackHttpServer {
public:
    struct Route {
        QByteArray body = {};
        int status = 200;
        /// No "Content-Length" header: the body ends when the connection closes.
        bool dropContentLength = false;
        /// Read the request and never answer.
        bool stall = false;
        /// Sent instead of the body's size when not empty (a lying server).
        QByteArray contentLength = {};
        /// Send the body one byte every so many milliseconds (0: all at once).
        int trickleMs = 0;
        /// Repeat the body without length until the client goes, 4 GiB are sent or two minutes pass.
        bool flood = false;
        /// "Location" of a redirect (status 30x).
        QByteArray location = {};
    };

    LoopbackHttpServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection()) {
                auto head = std::make_shared<QByteArray>();
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, head] {
                    const bool answered = head->contains("\r\n\r\n");
                    head->append(s->readAll());
                    if (!answered && head->contains("\r\n\r\n"))
                        answer(s, *head);
                });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }

    quint16 port() const { return m_server.serverPort(); }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/updates/").arg(port()); }
    void serve(const QString& fileName, const Route& route)
    {
        m_routes.insert(QStringLiteral("/updates/") + fileName, route);
    }
    /// A route already served, to change before the transfer (the update benchmark's faults).
    Route& route(const QString& fileName) { return m_routes[QStringLiteral("/updates/") + fileName]; }

    /// Paths asked for, in order.
    QStringList requests;

private:
    void answer(QTcpSocket* s, const QByteArray& head)
    {
        const QString path = QString::fromLatin1(head.left(head.indexOf("\r\n")).split(' ').value(1));
        requests.append(path);
        const Route r = m_routes.value(path, Route{"<html><body><h1>404 Not Found</h1></body></html>", 404});
        if (r.stall)
            return;
        const QByteArray reason = r.status == 200 ? "OK" : r.status / 100 == 3 ? "Found" : "Not Found";
        QByteArray out = "HTTP/1.1 " + QByteArray::number(r.status) + ' ' + reason + "\r\nContent-Type: "
                         + (r.status == 200 ? "application/octet-stream" : "text/html") + "\r\nConnection: close\r\n";
        if (!r.location.isEmpty())
            out += "Location: " + r.location + "\r\n";
        if (!r.dropContentLength && !r.flood)
            out += "Content-Length: "
                   + (r.contentLength.isEmpty() ? QByteArray::number(r.body.size()) : r.contentLength) + "\r\n";
        s->write(out + "\r\n");
        if (r.flood)
            return flood(s, r.body);
        if (r.trickleMs > 0)
            return trickle(s, r.body, r.trickleMs);
        s->write(r.body);
        s->disconnectFromHost();
    }

    static void flood(QTcpSocket* s, QByteArray chunk)
    {
        while (chunk.size() < 64 * 1024)
            chunk += chunk.isEmpty() ? QByteArray(1, 'x') : chunk;
        auto sent = std::make_shared<qint64>(0);
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        const auto more = [s, chunk, sent, clock] {
            if (*sent >= (qint64(4) << 30) || clock->elapsed() > 120000)
                return s->disconnectFromHost();
            for (; s->bytesToWrite() < 4 * chunk.size(); *sent += chunk.size())
                s->write(chunk);
        };
        QObject::connect(s, &QTcpSocket::bytesWritten, s, more);
        more();
    }

    static void trickle(QTcpSocket* s, const QByteArray& body, int everyMs)
    {
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
