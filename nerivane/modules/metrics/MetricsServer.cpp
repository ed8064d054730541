#include "nerivane/modules/metrics/MetricsServer.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <string_view>
#include <vector>

namespace nerivane {

// Each connection lives at most connectionDeadline, and without a complete
// request at most requestDeadline; it gets one answer and is then closed
// ("Connection: close"), which every Prometheus version accepts. Open
// connections are at most connectionLimit: the oldest one still waiting for
// its request makes room for a new one, so a scrape's connection, which
// sends its request at once, is answered while any number of idle ones come
// and go.
//
// A flood costs no more than that: each turn of the loop takes at most
// acceptsPerTurn connections and queues the next accept behind whatever else
// is ready (reads, writes, the timer), so the loop never drains the kernel's
// queue in one go; an idle connection makes room before one that has sent
// something; a connection has no timer of its own (one timer sweeps them all
// at the earliest deadline) and no buffer while it waits; a closed one gives
// its descriptor back at once.

struct MetricsServer::Connection {
    explicit Connection(asio::ip::tcp::socket s) : socket(std::move(s)) {}
    asio::ip::tcp::socket socket;
    Connections::iterator self;
    std::chrono::steady_clock::time_point accepted = std::chrono::steady_clock::now();
    std::string request;
    std::string reply;
    bool answered = false;
    // The client closed its end while the answer was being written.
    bool peerClosed = false;
    bool closed = false;

    std::chrono::steady_clock::time_point deadline() const {
        return accepted + (answered ? connectionDeadline : requestDeadline);
    }
};

namespace {

std::string response(std::string_view status, std::string_view type, const std::string& body, bool withBody) {
    std::string text = "HTTP/1.1 " + std::string(status) + "\r\nContent-Type: " + std::string(type) +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n";
    if (status.starts_with("405")) text += "Allow: GET, HEAD\r\n";
    text += "\r\n";
    if (withBody) text += body;
    return text;
}

// The end of the request line and headers: a blank line, with or without carriage returns.
std::size_t headersEnd(std::string_view data) {
    const std::size_t crlf = data.find("\r\n\r\n");
    const std::size_t lf = data.find("\n\n");
    if (crlf == std::string_view::npos) return lf == std::string_view::npos ? lf : lf + 2;
    return lf == std::string_view::npos || crlf < lf ? crlf + 4 : lf + 2;
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> found;
    while (!line.empty()) {
        const std::size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string_view::npos) break;
        line.remove_prefix(start);
        const std::size_t end = std::min(line.find_first_of(" \t\r"), line.size());
        found.push_back(line.substr(0, end));
        line.remove_prefix(end);
    }
    return found;
}

}  // namespace

MetricsServer::MetricsServer(UniqueFd listening, std::function<std::string()> render)
    : acceptor_(io_), sweepTimer_(io_), render_(std::move(render)) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (!listening || ::getsockname(listening.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
    const auto protocol = address.ss_family == AF_INET6 ? asio::ip::tcp::v6() : asio::ip::tcp::v4();
    asio::error_code error;
    acceptor_.assign(protocol, listening.get(), error);
    if (error) return;
    listening.release();
    acceptor_.non_blocking(true, error);
    listening_ = true;
    accept();
    thread_ = std::thread([this] { io_.run(); });
}

MetricsServer::~MetricsServer() {
    if (thread_.joinable()) {
        asio::post(io_, [this] {
            asio::error_code ignored;
            acceptor_.close(ignored);
            sweepTimer_.cancel();
            while (!connections_.empty()) close(connections_.begin());
            io_.stop();
        });
        thread_.join();
    }
}

void MetricsServer::accept() {
    acceptor_.async_accept([this](asio::error_code error, asio::ip::tcp::socket socket) {
        if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
        // A few more that wait already, so that the kernel's queue keeps room
        // for a scrape's connection; then the other work's turn.
        if (!error) {
            take(std::move(socket));
            for (std::size_t taken = 1; taken < acceptsPerTurn; ++taken) {
                auto next = acceptor_.accept(error);
                if (error) break;
                take(std::move(next));
            }
            if (error == asio::error::would_block || error == asio::error::try_again) error = {};
        }
        if (error) {
            // Out of descriptors, or the like: the sweep tries again shortly
            // rather than spinning on a failing accept.
            acceptPaused_ = true;
        } else {
            accept();
        }
        armSweep();
    });
}

void MetricsServer::take(asio::ip::tcp::socket socket) {
    if (connections_.size() >= connectionLimit) {
        // The oldest that has not sent a byte; failing that, the oldest
        // still waiting for its request; failing that, the oldest.
        const auto silent = [](const auto& c) {
            asio::error_code ignored;
            return !c->answered && c->request.empty() && c->socket.available(ignored) == 0;
        };
        auto oldest = std::find_if(connections_.begin(), connections_.end(), silent);
        if (oldest == connections_.end())
            oldest = std::find_if(connections_.begin(), connections_.end(), [](const auto& c) { return !c->answered; });
        close(oldest != connections_.end() ? oldest : connections_.begin());
    }
    asio::error_code ignored;
    socket.non_blocking(true, ignored);
    auto connection = std::make_shared<Connection>(std::move(socket));
    connections_.push_back(connection);
    connection->self = std::prev(connections_.end());
    open_.store(connections_.size());
    read(connection);
}

void MetricsServer::read(const std::shared_ptr<Connection>& connection) {
    connection->socket.async_wait(asio::socket_base::wait_read, [this, connection](const asio::error_code& error) {
        if (connection->closed) return;
        if (error) return close(connection->self);
        std::array<char, 4096> buffer;
        asio::error_code readError;
        const std::size_t count = connection->socket.read_some(asio::buffer(buffer), readError);
        if (readError == asio::error::would_block) return read(connection);
        // A client that closed its end after the request still gets the answer being written.
        if (readError == asio::error::eof && !connection->reply.empty()) {
            connection->peerClosed = true;
            return;
        }
        // The end of the stream, or a reset: nothing more will come.
        if (readError) return close(connection->self);
        // After the request, what a client sends is dropped.
        if (connection->answered) return read(connection);
        connection->request.append(buffer.data(), std::min(count, requestLimit + 1 - connection->request.size()));
        if (headersEnd(connection->request) == std::string::npos && connection->request.size() <= requestLimit)
            return read(connection);
        answer(connection);
        read(connection);
    });
}

void MetricsServer::answer(const std::shared_ptr<Connection>& connection) {
    connection->answered = true;
    const std::size_t end = headersEnd(connection->request);
    const std::string_view request = end == std::string::npos ? std::string_view{} : std::string_view(connection->request).substr(0, end);
    const auto parts = words(request.substr(0, request.find('\n')));
    const std::string_view text = "text/plain; charset=utf-8";
    if (parts.size() != 3 || !parts[2].starts_with("HTTP/1.")) {
        connection->reply = response("400 Bad Request", text, "not an HTTP request\n", true);
    } else if (parts[0] != "GET" && parts[0] != "HEAD") {
        connection->reply = response("405 Method Not Allowed", text, "GET /metrics is all it serves\n", true);
    } else if (parts[1].substr(0, parts[1].find('?')) != "/metrics") {
        connection->reply = response("404 Not Found", text, "GET /metrics is all it serves\n", parts[0] == "GET");
    } else {
        connection->reply = response("200 OK", "text/plain; version=0.0.4; charset=utf-8", render_(), parts[0] == "GET");
    }
    connection->request = {};
    // The sweep now waits for the connection's longer deadline.
    armSweep();
    asio::async_write(connection->socket, asio::buffer(connection->reply),
                      [this, connection](const asio::error_code& error, std::size_t) {
                          if (connection->closed) return;
                          if (error || connection->peerClosed) return close(connection->self);
                          connection->reply = {};
                          // Closes once the client has read the answer and
                          // closed its end; the deadline bounds one that does not.
                          asio::error_code ignored;
                          connection->socket.shutdown(asio::socket_base::shutdown_send, ignored);
                      });
}

void MetricsServer::close(Connections::iterator at) {
    const std::shared_ptr<Connection> connection = *at;
    connection->closed = true;
    asio::error_code ignored;
    connection->socket.close(ignored);
    connections_.erase(at);
    open_.store(connections_.size());
}

void MetricsServer::armSweep() {
    auto next = std::chrono::steady_clock::time_point::max();
    for (const auto& connection : connections_) next = std::min(next, connection->deadline());
    if (acceptPaused_) next = std::min(next, std::chrono::steady_clock::now() + acceptRetry);
    if (next == std::chrono::steady_clock::time_point::max()) return;
    // Already set for that time or earlier: nothing to change.
    if (sweepArmed_ && sweepTimer_.expiry() <= next) return;
    sweepArmed_ = true;
    sweepTimer_.expires_at(next);
    sweepTimer_.async_wait([this](const asio::error_code& error) {
        if (error == asio::error::operation_aborted) return;
        sweepArmed_ = false;
        sweep();
    });
}

void MetricsServer::sweep() {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = connections_.begin(); it != connections_.end();) {
        const auto next = std::next(it);
        if ((*it)->deadline() <= now) close(it);
        it = next;
    }
    if (acceptPaused_ && acceptor_.is_open()) {
        acceptPaused_ = false;
        accept();
    }
    armSweep();
}

}  // namespace nerivane
