// Turns SIGTERM and SIGINT into a normal quit on the main thread: the signals
// are blocked in every thread and read from a signalfd that a socket notifier
// watches, so the quit runs the same shutdown as any other (monitor stopped,
// history written). Owned by the application delegate; main thread.
//
// blockInThisThread() must run first thing in main, before any thread starts,
// so that every thread inherits the blocked mask and no signal can reach a
// thread that would take the default action and kill the process.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

#include "NerivaneKit/platform/UniqueFd.h"

namespace nerivane {

class TerminationSignals : public QObject {
    Q_OBJECT

public:
    static void blockInThisThread();

    // Watches the blocked signals; isWatching() tells whether that worked.
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    bool isWatching() const { return notifier_ != nullptr; }

signals:
    // The signal's number; once per delivered signal.
    void received(int signal);

private:
    void handleReadable();

    UniqueFd descriptor_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace nerivane
