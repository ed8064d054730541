// Times TCP connection attempts for hosts that do not answer ICMP echo: the
// round-trip time is the time from a non-blocking connect to the socket
// becoming writable without error. One per probe engine, which owns it; it
// lives on the engine's probe queue, where every operation and callback runs.
//
// An attempt lives in `attempts` from send until exactly one of these removes
// it: completion (reply or lost), expiry (lost) or cancelAll (unreported).
// Its socket is owned by its write source, so removing the attempt closes the
// socket; nothing is ever written to it (Linux has no SO_NOSIGPIPE, and no
// data means no SIGPIPE to guard against).
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "NerivaneKit/platform/DescriptorSource.h"
#include "NerivaneKit/platform/MachClock.h"
#include "NerivaneKit/net/ProbeAddress.h"
#include "NerivaneKit/probing/ProbeResult.h"

namespace nerivane {

class SerialQueue;

class TCPProber {
public:
    using ResultHandler = std::function<void(const ProbeResult&)>;

    // What the prober takes from the system; tests replace parts of it to
    // inject faults and drive time.
    struct Environment {
        std::function<Ticks()> now = &MachClock::now;
        // socket(2): a descriptor, or -1 with errno set.
        std::function<int(int domain, int type, int protocol)> openSocket = &::socket;
        // connect(2): 0, or -1 with errno set.
        std::function<int(int descriptor, const sockaddr* address, socklen_t length)> connect = &::connect;
    };

    struct Attempt {
        ProbeAddress address;
        std::uint16_t sequence = 0;
        // Taken just before connect.
        Ticks sentAt{};
        // Watches the socket for writability; owns and closes it.
        std::unique_ptr<DescriptorSource> source;
    };

    // May be called on any thread; the time-out is converted to ticks once.
    TCPProber(SerialQueue& queue, Seconds timeout, ResultHandler onResult);
    TCPProber(SerialQueue& queue, Seconds timeout, ResultHandler onResult, Environment environment);
    // Closes every socket without reporting; handlers still queued do nothing.
    // Destroy it on the queue (its sources belong there).
    ~TCPProber();
    TCPProber(const TCPProber&) = delete;
    TCPProber& operator=(const TCPProber&) = delete;

    // Starts one connection attempt; returns its sequence. Throws
    // ProbeError::socket when no socket can be made (no sequence is used) and
    // ProbeError::send when connect fails at once other than by refusal (the
    // sequence is used up). A refusal at once is reported later, as lost.
    std::uint16_t send(const ProbeAddress& address, std::uint16_t port);
    // Reports every attempt older than the time-out as lost, oldest first.
    void expire();
    // Abandons every attempt, and any refusal not yet reported, silently.
    void cancelAll();

    std::size_t attemptCount() const;

private:
    struct State;
    static void complete(const std::shared_ptr<State>& state, std::uint16_t sequence, int descriptor);
    std::shared_ptr<State> state_;
};

}  // namespace nerivane
