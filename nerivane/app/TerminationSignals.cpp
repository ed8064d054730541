#include "nerivane/app/TerminationSignals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace nerivane {
namespace {

constexpr int watched[] = {SIGTERM, SIGINT, SIGHUP};

sigset_t terminationSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : watched) sigaddset(&set, signal);
    return set;
}

// The pipe the handlers write to: a handler can reach nothing else. Set once
// before the handlers are installed and never changed after.
std::atomic<int> handlerPipe{-1};

void writeSignal(int signal) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    const int descriptor = handlerPipe.load();
    if (descriptor >= 0) [[maybe_unused]] auto written = ::write(descriptor, &number, 1);
    errno = saved;
}

}  // namespace

void TerminationSignals::blockInThisThread() {
    const sigset_t set = terminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A reader that went away (nerivane --json | head) must not kill us.
    ::signal(SIGPIPE, SIG_IGN);
}

const char* TerminationSignals::name(int signal) {
    switch (signal) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

TerminationSignals::TerminationSignals(QObject* parent, bool preferSignalfd) : QObject(parent) {
    if (preferSignalfd) {
        const sigset_t set = terminationSet();
        descriptor_ = UniqueFd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
        if (descriptor_) {
            mechanism_ = Mechanism::signalfd;
        } else {
            failure_ = std::string("signalfd: ") + std::strerror(errno);
        }
    } else {
        failure_ = "signalfd not tried";
    }
    if (!descriptor_ && !watchWithHandlers()) return;
    notifier_ = std::make_unique<QSocketNotifier>(descriptor_.get(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &TerminationSignals::handleReadable);
}

TerminationSignals::~TerminationSignals() {
    if (mechanism_ == Mechanism::handlers) handlerPipe.store(-1);
}

bool TerminationSignals::watchWithHandlers() {
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) {
        failure_ += std::string("; pipe: ") + std::strerror(errno);
        return false;
    }
    descriptor_ = UniqueFd(ends[0]);
    writeEnd_ = UniqueFd(ends[1]);
    handlerPipe.store(writeEnd_.get());
    struct sigaction action {};
    action.sa_handler = &writeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : watched) ::sigaction(signal, &action, nullptr);
    // The handlers run only where the signals are not blocked: in this thread.
    const sigset_t set = terminationSet();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    mechanism_ = Mechanism::handlers;
    return true;
}

void TerminationSignals::handleReadable() {
    if (mechanism_ == Mechanism::signalfd) {
        signalfd_siginfo info{};
        while (::read(descriptor_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            emit received(static_cast<int>(info.ssi_signo));
        return;
    }
    unsigned char number = 0;
    while (::read(descriptor_.get(), &number, 1) == 1) emit received(number);
}

}  // namespace nerivane
