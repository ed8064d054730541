// The metrics endpoint's HTTP front: accepts connections on a listening
// socket, reads one request from each within a deadline and answers it with
// the text it is given. Owned by the exporter; main thread, where its event
// loop serves every connection at once without a thread per connection.
#pragma once

#include <QObject>
#include <QTcpServer>
#include <chrono>
#include <functional>
#include <list>
#include <string>

#include "NerivaneKit/platform/UniqueFd.h"

class QTcpSocket;

namespace nerivane {

class MetricsServer : public QObject {
    Q_OBJECT

public:
    // At most this many connections are open; one more closes the oldest
    // that has not sent its request, so a flood of idle connections cannot
    // keep a scrape out.
    static constexpr std::size_t connectionLimit = 64;
    // A connection that has not sent a complete request by then is closed.
    static constexpr std::chrono::milliseconds requestDeadline{3000};
    // Whatever it does, a connection is closed this long after it came.
    static constexpr std::chrono::milliseconds connectionDeadline{10000};
    // A request line and headers larger than this are refused.
    static constexpr std::size_t requestLimit = 8192;

    // listening: a bound, listening TCP socket, taken over. render: the
    // exposition text, made when a scrape asks for it.
    MetricsServer(UniqueFd listening, std::function<std::string()> render, QObject* parent = nullptr);
    ~MetricsServer() override;

    // False when the socket could not be taken over.
    bool isListening() const { return server_.isListening(); }
    std::size_t openConnections() const { return connections_.size(); }

private:
    struct Connection {
        QTcpSocket* socket = nullptr;
        bool answered = false;
    };

    void handleNewConnection();
    void handleReadyRead(QTcpSocket* socket);
    void answer(Connection& connection, const QByteArray& request);
    void close(QTcpSocket* socket);
    std::list<Connection>::iterator find(QTcpSocket* socket);

    QTcpServer server_;
    std::function<std::string()> render_;
    // Oldest first. The sockets are children of the server, deleted later when closed.
    std::list<Connection> connections_;
};

}  // namespace nerivane
