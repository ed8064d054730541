// Sends ICMP and ICMPv6 echo requests and turns each probe into a reply, a
// loss, or a loss followed by a late reply. One per probe engine, which owns it;
// it lives on the engine's probe queue and every operation runs there.
//
// Which socket it uses: Linux ping sockets (SOCK_DGRAM with IPPROTO_ICMP or
// IPPROTO_ICMPV6, see icmp(7)) need no privilege, but only members of the
// groups in net.ipv4.ping_group_range may open them; many systems ship the
// range "1 0", which admits nobody, and the kernel answers EACCES (or EPERM).
// Then raw sockets are used if the process may open them (root or
// CAP_NET_RAW), with ICMP_FILTER / ICMP6_FILTER so that only echo replies wake
// us. Raw IPv4 sockets deliver the IP header, which the reply parser skips;
// ping sockets rewrite the echo identifier to their own "port", which is why
// replies are matched by sequence, token and source, never by identifier.
//
// Reply times come from kernel receive timestamps (SO_TIMESTAMPNS), so a reply
// read long after it arrived still has its true round-trip time; the engine
// reads in batches and relies on this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "NerivaneKit/platform/DescriptorSource.h"
#include "NerivaneKit/platform/UniqueFd.h"
#include "NerivaneKit/net/IPFamily.h"
#include "NerivaneKit/probing/PendingProbes.h"
#include "NerivaneKit/net/ProbeAddress.h"
#include "NerivaneKit/probing/ProbeResult.h"

namespace nerivane {

class SerialQueue;

class ICMPProber {
public:
    enum class SocketKind { ping, raw };

    struct OpenedSocket {
        UniqueFd descriptor;
        SocketKind kind = SocketKind::ping;
    };

    // Opens an echo socket for a family or throws ProbeError::socket.
    using SocketOpener = std::function<OpenedSocket(IPFamily)>;

    // What the prober takes from the system; tests replace parts of it to
    // inject faults and fix the random values.
    struct Environment {
        SocketOpener openSocket = &ICMPProber::openSystemSocket;
        // 64 random bits per call; empty means the system's random source.
        std::function<std::uint64_t()> random;
    };

    using ResultHandler = std::function<void(const ProbeResult&)>;

    // One read pass takes at most this many datagrams per socket, then
    // yields to the queue; six targets a second need a handful.
    static constexpr std::size_t maxDatagramsPerPass = 64;

    // May be called on any thread. With `readsOnArrival` each socket reads its
    // replies as they arrive; otherwise only poll, drain and reset read them.
    ICMPProber(SerialQueue& queue, bool readsOnArrival, Seconds timeout, ResultHandler onResult);
    ICMPProber(SerialQueue& queue, bool readsOnArrival, Seconds timeout, ResultHandler onResult,
               Environment environment);
    // Closes every socket. Must run on the queue when replies are read on
    // arrival (the read sources belong to it); anywhere otherwise.
    ~ICMPProber();
    ICMPProber(const ICMPProber&) = delete;
    ICMPProber& operator=(const ICMPProber&) = delete;

    // Sends one echo request; returns its sequence. Throws ProbeError::socket
    // when no socket can be opened for the family (the next send tries again),
    // ProbeError::send when the request is not sent (its sequence is used up).
    std::uint16_t send(const ProbeAddress& address);
    // Reads every waiting reply, then reports the probes that timed out.
    void poll();
    // Reads every waiting reply.
    void drain();
    // Reads every waiting reply, then forgets all outstanding probes unreported.
    void reset();
    // Closes the sockets and forgets all outstanding probes unreported. The
    // next send opens a socket again.
    void close();

    std::uint16_t identifier() const { return identifier_; }
    std::uint16_t nextSequence() const { return nextSequence_; }
    const PendingProbes& pending() const { return pending_; }
    // The kind of the open socket for a family; none while it has none.
    std::optional<SocketKind> socketKind(IPFamily family) const;

    // The system's echo socket: a ping socket, or a filtered raw socket when
    // ping sockets are refused. Non-blocking and close-on-exec.
    static OpenedSocket openSystemSocket(IPFamily family);

private:
    struct ProbeSocket {
        IPFamily family = IPFamily::v4;
        SocketKind kind = SocketKind::ping;
        // Exactly one of the two owns the descriptor: the read source when
        // replies are read on arrival, else the plain owner.
        UniqueFd descriptor;
        std::unique_ptr<DescriptorSource> source;
        int fd() const;
    };

    ProbeSocket& socketFor(IPFamily family);
    void readAll();
    void readSocket(IPFamily family);

    SerialQueue& queue_;
    bool readsOnArrival_;
    ResultHandler onResult_;
    Environment environment_;
    std::uint16_t identifier_ = 0;
    std::uint16_t nextSequence_ = 0;
    PendingProbes pending_;
    // Opened on the first send to a family, kept until close.
    std::map<IPFamily, ProbeSocket> sockets_;
};

}  // namespace nerivane
