/// @brief A small HTTP/1.1 server on 127.0.0.1 that serves the update tests' web directory, and misbehaves on request.
#pragma once

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

class LoopbackHttpServer {
public:
    struct Route {
        QByteArray body;
        int status = 200;
        /// No "Content-Length" header: the body ends when the connection closes.
        bool dropContentLength = false;
        /// Read the request and never answer.
        bool stall = false;
    };

    LoopbackHttpServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, buffer] {
                    buffer->append(s->readAll());
                    if (buffer->contains("\r\n\r\n"))
                        answer(s, *buffer);
                });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }

    bool isListening() const { return m_server.isListening(); }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/updates/").arg(m_server.serverPort()); }
    void serve(const QString& fileName, const Route& route) { m_routes.insert(QStringLiteral("/updates/") + fileName, route); }
    Route& route(const QString& fileName) { return m_routes[QStringLiteral("/updates/") + fileName]; }
    void remove(const QString& fileName) { m_routes.remove(QStringLiteral("/updates/") + fileName); }

    /// Paths asked for, in order.
    QStringList requests;

private:
    void answer(QTcpSocket* s, const QByteArray& head)
    {
        const QList<QByteArray> words = head.left(head.indexOf("\r\n")).split(' ');
        const QString path = QString::fromLatin1(words.value(1));
        requests.append(path);
        const auto it = m_routes.constFind(path);
        Route r = it != m_routes.constEnd() ? *it : Route{QByteArrayLiteral("<html><body><h1>404 Not Found</h1></body></html>"), 404, false, false};
        if (r.stall)
            return;
        QByteArray out = "HTTP/1.1 " + QByteArray::number(r.status) + (r.status == 200 ? " OK" : " Not Found")
                         + "\r\nContent-Type: " + (r.status == 200 ? "application/octet-stream" : "text/html")
                         + "\r\nConnection: close\r\n";
        if (!r.dropContentLength)
            out += "Content-Length: " + QByteArray::number(r.body.size()) + "\r\n";
        out += "\r\n" + r.body;
        s->write(out);
        s->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QString, Route> m_routes;
};
