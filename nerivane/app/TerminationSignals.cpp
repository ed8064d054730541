#include "nerivane/app/TerminationSignals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace nerivane {
namespace {

sigset_t terminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

void TerminationSignals::blockInThisThread() {
    const sigset_t set = terminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    const sigset_t set = terminationSet();
    descriptor_ = UniqueFd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!descriptor_) return;
    notifier_ = std::make_unique<QSocketNotifier>(descriptor_.get(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &TerminationSignals::handleReadable);
}

TerminationSignals::~TerminationSignals() = default;

void TerminationSignals::handleReadable() {
    signalfd_siginfo info{};
    while (true) {
        const ssize_t count = ::read(descriptor_.get(), &info, sizeof info);
        if (count != static_cast<ssize_t>(sizeof info)) break;
        emit received(static_cast<int>(info.ssi_signo));
    }
}

}  // namespace nerivane
