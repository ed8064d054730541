#include "nerivane/metrics/MetricsServer.h"

#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <string_view>

namespace nerivane {

// Each connection lives at most connectionDeadline, and without a complete
// request at most requestDeadline; it gets one answer and is then closed
// ("Connection: close"), which every Prometheus version accepts. Open
// connections are at most connectionLimit: the oldest one still waiting for
// its request makes room for a new one, so a scrape's connection, which
// sends its request at once, is answered while any number of idle ones come
// and go.

namespace {

QByteArray response(const char* status, const char* type, const std::string& body, bool withBody) {
    QByteArray text = QByteArray("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
                      "\r\nContent-Length: " + QByteArray::number(static_cast<qulonglong>(body.size())) +
                      "\r\nConnection: close\r\n";
    if (std::string_view(status).starts_with("405")) text += "Allow: GET, HEAD\r\n";
    text += "\r\n";
    if (withBody) text.append(body.data(), static_cast<qsizetype>(body.size()));
    return text;
}

// The end of the request line and headers: a blank line, with or without carriage returns.
qsizetype headersEnd(const QByteArray& data) {
    const qsizetype crlf = data.indexOf("\r\n\r\n");
    const qsizetype lf = data.indexOf("\n\n");
    if (crlf < 0) return lf < 0 ? -1 : lf + 2;
    return lf < 0 || crlf < lf ? crlf + 4 : lf + 2;
}

}  // namespace

MetricsServer::MetricsServer(UniqueFd listening, std::function<std::string()> render, QObject* parent)
    : QObject(parent), render_(std::move(render)) {
    server_.setMaxPendingConnections(static_cast<int>(connectionLimit));
    connect(&server_, &QTcpServer::newConnection, this, &MetricsServer::handleNewConnection);
    if (server_.setSocketDescriptor(listening.get())) listening.release();
}

MetricsServer::~MetricsServer() {
    // The server deletes its sockets after this object's members are gone: nothing may reach back.
    for (const auto& connection : connections_) QObject::disconnect(connection.socket, nullptr, this, nullptr);
}

void MetricsServer::handleNewConnection() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        if (connections_.size() >= connectionLimit) {
            auto oldest = std::find_if(connections_.begin(), connections_.end(),
                                       [](const Connection& c) { return !c.answered; });
            close(oldest != connections_.end() ? oldest->socket : connections_.front().socket);
        }
        connections_.push_back({socket, false});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { handleReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { close(socket); });
        connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] { close(socket); });
        QTimer::singleShot(requestDeadline, socket, [this, socket] {
            const auto connection = find(socket);
            if (connection != connections_.end() && !connection->answered) close(socket);
        });
        QTimer::singleShot(connectionDeadline, socket, [this, socket] { close(socket); });
        // Data may have come with the connection.
        if (socket->bytesAvailable() > 0) handleReadyRead(socket);
    }
}

void MetricsServer::handleReadyRead(QTcpSocket* socket) {
    const auto connection = find(socket);
    if (connection == connections_.end()) return;
    if (connection->answered) {
        // Nothing more is read; what a client sends after its request is dropped.
        socket->skip(socket->bytesAvailable());
        return;
    }
    const QByteArray data = socket->peek(static_cast<qint64>(requestLimit));
    const qsizetype end = headersEnd(data);
    if (end < 0) {
        if (socket->bytesAvailable() >= static_cast<qint64>(requestLimit)) answer(*connection, {});
        return;
    }
    socket->skip(socket->bytesAvailable());
    answer(*connection, data.left(end));
}

void MetricsServer::answer(Connection& connection, const QByteArray& request) {
    connection.answered = true;
    const QList<QByteArray> words = request.left(request.indexOf('\n')).trimmed().split(' ');
    QByteArray reply;
    if (words.size() != 3 || !words[2].startsWith("HTTP/1.")) {
        reply = response("400 Bad Request", "text/plain; charset=utf-8", "not an HTTP request\n", true);
    } else if (words[0] != "GET" && words[0] != "HEAD") {
        reply = response("405 Method Not Allowed", "text/plain; charset=utf-8", "GET /metrics is all it serves\n", true);
    } else if (words[1].split('?').constFirst() != "/metrics") {
        reply = response("404 Not Found", "text/plain; charset=utf-8", "GET /metrics is all it serves\n",
                         words[0] == "GET");
    } else {
        reply = response("200 OK", "text/plain; version=0.0.4; charset=utf-8", render_(), words[0] == "GET");
    }
    connection.socket->write(reply);
    // Closes once everything is written; the connection's deadline bounds a client that does not read.
    connection.socket->disconnectFromHost();
}

void MetricsServer::close(QTcpSocket* socket) {
    const auto connection = find(socket);
    if (connection == connections_.end()) return;
    connections_.erase(connection);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

std::list<MetricsServer::Connection>::iterator MetricsServer::find(QTcpSocket* socket) {
    return std::find_if(connections_.begin(), connections_.end(),
                        [socket](const Connection& c) { return c.socket == socket; });
}

}  // namespace nerivane
