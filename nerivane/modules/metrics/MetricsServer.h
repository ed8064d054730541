// The metrics endpoint's HTTP front: accepts connections on a listening
// socket, reads one request from each within a deadline and answers it with
// the text it is given. Owned by the exporter; serves on a thread of its own
// (an Asio loop), so that no number of connections can hold up the program's
// main thread, and a flood costs at most connectionLimit sockets at a time.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "NerivaneKit/platform/UniqueFd.h"

namespace nerivane {

class MetricsServer {
public:
    // At most this many connections are open; one more closes the oldest
    // that has not sent its request (an idle one first), so a flood of idle
    // connections cannot keep a scrape out. A scrape's request comes some
    // time after its connection (a round trip, a busy scraper): at a flood's
    // 40,000 connections a second, 512 give it more than 10 ms; and they
    // stay well inside the usual limit of 1,024 descriptors.
    static constexpr std::size_t connectionLimit = 512;
    // A connection that has not sent a complete request by then is closed.
    static constexpr std::chrono::milliseconds requestDeadline{3000};
    // Whatever it does, a connection is closed this long after it came.
    static constexpr std::chrono::milliseconds connectionDeadline{10000};
    // A request line and headers larger than this are refused.
    static constexpr std::size_t requestLimit = 8192;
    // Connections taken in one turn of the server's loop at most.
    static constexpr std::size_t acceptsPerTurn = 8;
    // After a failed accept (out of descriptors), the next try waits this long.
    static constexpr std::chrono::milliseconds acceptRetry{100};

    // listening: a bound, listening TCP socket, taken over. render: the
    // exposition text, made on the server's thread when a scrape asks for it.
    MetricsServer(UniqueFd listening, std::function<std::string()> render);
    // Stops serving and joins the thread; every connection is closed.
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // False when the socket could not be taken over.
    bool isListening() const { return listening_; }
    std::size_t openConnections() const { return open_.load(); }

    // Everything below runs on the server's thread.
    struct Connection;
    using Connections = std::list<std::shared_ptr<Connection>>;

private:
    void accept();
    // Makes room at the limit, then serves the connection.
    void take(asio::ip::tcp::socket socket);
    void read(const std::shared_ptr<Connection>& connection);
    void answer(const std::shared_ptr<Connection>& connection);
    void close(Connections::iterator connection);
    // The one timer: wakes at the earliest deadline of any connection.
    void armSweep();
    void sweep();

    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer sweepTimer_;
    std::function<std::string()> render_;
    // Oldest first; a connection's socket is closed and its entry erased at
    // once when it ends, its memory freed when its last pending handler ran.
    Connections connections_;
    bool listening_ = false;
    bool acceptPaused_ = false;
    bool sweepArmed_ = false;
    std::atomic<std::size_t> open_{0};
    std::thread thread_;
};

}  // namespace nerivane
