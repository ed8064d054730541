// Turns SIGTERM, SIGINT and SIGHUP (terminal closed, session ended) into a
// normal quit on the main thread, so the quit runs the same shutdown as any
// other (monitor stopped, history written). The signals are blocked in every
// thread and read from a signalfd that a socket notifier watches; where no
// signalfd can be made, ordinary handlers write the signal's number into a
// pipe that the notifier watches instead. SIGPIPE is ignored: a closed
// output shows as a failed write, never as death. Owned by the application
// delegate; main thread.
//
// blockInThisThread() must run first thing in main, before any thread starts,
// so that every thread inherits the blocked mask and no signal can reach a
// thread that would take the default action and kill the process.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>
#include <string>

#include "NerivaneKit/platform/UniqueFd.h"

namespace nerivane {

class TerminationSignals : public QObject {
    Q_OBJECT

public:
    enum class Mechanism { signalfd, handlers, none };

    static void blockInThisThread();

    // Watches the signals; mechanism() tells how, failure() why not by signalfd.
    // preferSignalfd false goes straight to the handlers (for tests).
    explicit TerminationSignals(QObject* parent = nullptr, bool preferSignalfd = true);
    ~TerminationSignals() override;

    bool isWatching() const { return notifier_ != nullptr; }
    Mechanism mechanism() const { return mechanism_; }
    const std::string& failure() const { return failure_; }

    static const char* name(int signal);

signals:
    // The signal's number; once per delivered signal.
    void received(int signal);

private:
    void handleReadable();
    bool watchWithHandlers();

    UniqueFd descriptor_;
    // The pipe's write end, for the handlers.
    UniqueFd writeEnd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    Mechanism mechanism_ = Mechanism::none;
    std::string failure_;
};

}  // namespace nerivane
