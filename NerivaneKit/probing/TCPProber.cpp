#include "NerivaneKit/probing/TCPProber.h"

#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/platform/UniqueFd.h"
#include "NerivaneKit/probing/ProbeError.h"

namespace nerivane {

// Shared with the event handlers, which hold it weakly: once the prober is
// gone, a handler that still fires finds nothing and does nothing.
struct TCPProber::State {
    State(SerialQueue& queue, std::chrono::nanoseconds timeout, ResultHandler onResult, Environment environment)
        : queue(queue), timeout(timeout), onResult(std::move(onResult)), environment(std::move(environment)) {}

    SerialQueue& queue;
    const std::chrono::nanoseconds timeout;
    ResultHandler onResult;
    Environment environment;
    std::uint16_t nextSequence = 0;
    std::map<std::uint16_t, Attempt> attempts;
    // Raised by cancelAll and destruction, so that a refusal already queued
    // for reporting is dropped with the attempts it belonged to.
    std::uint64_t generation = 0;
};

TCPProber::TCPProber(SerialQueue& queue, Seconds timeout, ResultHandler onResult)
    : TCPProber(queue, timeout, std::move(onResult), Environment{}) {}

TCPProber::TCPProber(SerialQueue& queue, Seconds timeout, ResultHandler onResult, Environment environment)
    : state_(std::make_shared<State>(queue, MachClock::ticks(timeout), std::move(onResult),
                                     std::move(environment))) {}

TCPProber::~TCPProber() {
    // A handler running right now may keep the state alive a little longer;
    // it must find no attempts and a new generation.
    state_->generation += 1;
    state_->attempts.clear();
}

std::uint16_t TCPProber::send(const ProbeAddress& address, std::uint16_t port) {
    auto& state = *state_;
    state.queue.precondition();

    const int domain = address.family == IPFamily::v6 ? AF_INET6 : AF_INET;
    UniqueFd socket(state.environment.openSocket(domain, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!socket) throw ProbeError::socket(errno);

    const std::uint16_t sequence = state.nextSequence++;
    socklen_t length = 0;
    const sockaddr_storage target = address.socketAddress(port, length);
    const Ticks sentAt = state.environment.now();
    if (state.environment.connect(socket.get(), reinterpret_cast<const sockaddr*>(&target), length) != 0) {
        const int error = errno;
        if (error == ECONNREFUSED) {
            // A refusal is no answer. Report it later, like every other
            // result, so the caller has the sequence before the result.
            socket.reset();
            ProbeResult result{address, sequence, sentAt, ProbeResult::Lost{}};
            std::weak_ptr<State> weak = state_;
            state.queue.async([weak, generation = state.generation, result] {
                auto state = weak.lock();
                if (!state || state->generation != generation) return;
                state->onResult(result);
            });
            return sequence;
        }
        if (error != EINPROGRESS) throw ProbeError::send(error);  // the socket closes on the way out
    }

    const int descriptor = socket.get();
    std::weak_ptr<State> weak = state_;
    std::unique_ptr<DescriptorSource> source;
    try {
        source = std::make_unique<DescriptorSource>(state.queue, std::move(socket), DescriptorSource::Readiness::write,
                                                    [weak, sequence, descriptor] {
                                                        if (auto state = weak.lock()) complete(state, sequence, descriptor);
                                                    });
    } catch (const std::system_error& error) {
        // The event loop would not watch the socket (out of epoll watches or
        // memory); the source has closed it.
        throw ProbeError::send(error.code().value());
    }
    state.attempts[sequence] = Attempt{address, sequence, sentAt, std::move(source)};
    return sequence;
}

void TCPProber::complete(const std::shared_ptr<State>& state, std::uint16_t sequence, int descriptor) {
    const Ticks now = state->environment.now();
    auto found = state->attempts.find(sequence);
    if (found == state->attempts.end() || found->second.source->descriptor() != descriptor) return;

    // Read the outcome before the source closes the socket.
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;

    Attempt attempt = std::move(found->second);
    state->attempts.erase(found);
    attempt.source.reset();  // we run inside its handler, which the source allows

    ProbeResult result{attempt.address, attempt.sequence, attempt.sentAt, ProbeResult::Lost{}};
    if (error == 0) result.outcome = ProbeResult::Reply{MachClock::milliseconds(attempt.sentAt, now).count()};
    state->onResult(result);
}

void TCPProber::expire() {
    // Keep the state for the whole pass: a result handler may destroy us.
    const std::shared_ptr<State> state = state_;
    state->queue.precondition();
    const Ticks now = state->environment.now();

    std::vector<std::pair<Ticks, std::uint16_t>> due;  // (sentAt, sequence)
    for (const auto& [sequence, attempt] : state->attempts) {
        if (now > attempt.sentAt && now - attempt.sentAt > state->timeout) due.emplace_back(attempt.sentAt, sequence);
    }
    std::sort(due.begin(), due.end());

    for (const auto& [sentAt, sequence] : due) {
        // An earlier report may have cancelled the rest.
        auto found = state->attempts.find(sequence);
        if (found == state->attempts.end() || found->second.sentAt != sentAt) continue;
        Attempt attempt = std::move(found->second);
        state->attempts.erase(found);
        attempt.source.reset();
        state->onResult(ProbeResult{attempt.address, attempt.sequence, attempt.sentAt, ProbeResult::Lost{}});
    }
}

void TCPProber::cancelAll() {
    state_->queue.precondition();
    state_->generation += 1;
    state_->attempts.clear();
}

std::size_t TCPProber::attemptCount() const {
    state_->queue.precondition();
    return state_->attempts.size();
}

}  // namespace nerivane
