// A tiny HTTP/1.0 server for the update tests: listens on 127.0.0.1 only, on
// a port of the system's choosing, and answers each path with a canned
// response, never answers it at all, or answers with a body that never ends
// (a byte now and then). Counts the requests per path. Lives on the test's
// main thread.
#pragma once

#include <QHostAddress>
#include <QMap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace nerivane::test {

class LoopbackServer : public QObject {
public:
    LoopbackServer() {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, &LoopbackServer::handleConnection);
    }

    bool isListening() const { return server_.isListening(); }
    quint16 port() const { return server_.serverPort(); }
    QUrl url(const QString& path) const { return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path)); }

    static QByteArray ok(const QByteArray& body) {
        return "HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    }
    static QByteArray redirect(const QUrl& location) {
        return "HTTP/1.0 302 Found\r\nLocation: " + location.toEncoded() + "\r\nContent-Length: 0\r\n\r\n";
    }

    void serve(const QString& path, const QByteArray& response) { routes_[path] = response; }
    // Takes requests for the path and never answers them.
    void hang(const QString& path) { routes_.remove(path); hanging_ = path; }
    // Answers the path with headers, then a byte every interval, forever.
    void drip(const QString& path, int intervalMilliseconds) { routes_.remove(path); dripping_[path] = intervalMilliseconds; }
    int requests(const QString& path) const { return requests_.value(path); }

private:
    void handleConnection() {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { handleRequest(socket); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            // The request may be in before we listen for it.
            if (socket->bytesAvailable() > 0) handleRequest(socket);
        }
    }

    void handleRequest(QTcpSocket* socket) {
        QByteArray& buffer = pending_[socket];
        buffer += socket->readAll();
        if (!buffer.contains("\r\n\r\n")) return;
        const QList<QByteArray> words = buffer.left(buffer.indexOf("\r\n")).split(' ');
        pending_.remove(socket);
        const QString path = words.size() > 1 ? QString::fromLatin1(words[1]) : QString();
        requests_[path] += 1;
        if (path == hanging_) return;
        if (dripping_.contains(path)) {
            socket->write("HTTP/1.0 200 OK\r\nContent-Length: 100000000\r\n\r\n");
            auto* timer = new QTimer(socket);
            QObject::connect(timer, &QTimer::timeout, socket, [socket] { socket->write("<"); });
            timer->start(dripping_.value(path));
            return;
        }
        socket->write(routes_.value(path, "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"));
        socket->disconnectFromHost();
    }

    QTcpServer server_;
    QMap<QString, QByteArray> routes_;
    QMap<QTcpSocket*, QByteArray> pending_;
    QString hanging_;
    QMap<QString, int> dripping_;
    QMap<QString, int> requests_;
};

}  // namespace nerivane::test
