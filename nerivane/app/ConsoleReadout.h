// The terminal front end. On a terminal: one status area redrawn in place
// (the verdict, a row per target with fixed columns, the DNS and load rows)
// under a scroll-back that gains a line only when something changes: the
// verdict, a target's state, the network path, an event, a notification,
// probing stopping or resuming. Piped, or with --log on standard error, the
// same change lines plus a heartbeat line a minute. With --json one object
// per line instead (see docs/json.md). Owned by the application delegate
// while no tray item is shown; main thread.
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nerivane/core/AppModel.h"
#include "nerivane/core/Notifier.h"
#include "nerivane/core/VerdictTexts.h"

namespace nerivane {

class ConsoleReadout : public QObject {
    Q_OBJECT

public:
    enum class Format { text, json };
    // statusArea redraws rows in place with cursor movement; lines only appends.
    enum class Layout { lines, statusArea };
    // Takes finished text, newlines included; empty text only asks whether
    // the reader is still there.
    using Writer = std::function<void(const std::string& text)>;

    // The version of the JSON lines' layout; raised when a key changes meaning or goes.
    static constexpr int jsonSchema = 1;
    // What the marks mean, for --help.
    static constexpr std::string_view legend =
        "symbols (tray item and terminal):\n"
        "  !  a problem: loss, slow or erratic replies, slow or failing name\n"
        "     lookups, slow while the connection is busy\n"
        "  \u00d7  down: no replies from the internet, the router or the connection,\n"
        "     or no network at all\n"
        "  \u2016  probing paused\n"
        "  \u2014  no value yet\n";

    // Standard output, flushed after every write; onClosed runs once when
    // the reader has gone away.
    static Writer standardOutput(std::function<void()> onClosed = {});
    // The status area where standard output is a terminal and nothing else
    // (log lines) writes to it; else lines.
    static Layout layoutFor(bool logsToTerminal);

    ConsoleReadout(AppModel& model, Format format, Layout layout, Writer write, QObject* parent = nullptr);

    // The status area's rows, each at most `columns` characters wide; the
    // target rows' columns never move.
    static std::vector<std::string> statusRows(const MonitorSnapshot& snapshot, std::optional<double> offlineSince,
                                               std::optional<double> pausedUntil, const VerdictTexts::Context& context,
                                               int columns);
    // The minute's summary line when nothing changed.
    static std::string heartbeatLine(const MonitorSnapshot& snapshot, const VerdictTexts::Context& context);

    static QJsonObject snapshotJson(const MonitorSnapshot& snapshot, std::optional<double> offlineSince,
                                    const std::string& readout, const VerdictTexts::Context& context);
    static QJsonObject eventJson(const NetworkEvent& event, const VerdictTexts::Context& context);
    static QJsonObject notificationJson(const Notifier::Content& content, const VerdictTexts::Context& context);

private:
    void handleSnapshotApplied();
    void handleEventApplied(const NetworkEvent& event);
    void handleAlertPosted(const AlertTracker::Alert& alert, const MonitorSnapshot& snapshot);
    void handleProbingChanged();
    void handleHeartbeat();
    // The change lines this snapshot makes, remembering what they said.
    std::vector<std::string> changeLines(const MonitorSnapshot& snapshot, const VerdictTexts::Context& context);
    // Lines into the scroll-back, then the status area again beneath them.
    void show(const std::vector<std::string>& lines);
    void writeJson(QJsonObject object);
    VerdictTexts::Context context() const;

    AppModel& model_;
    Format format_;
    Layout layout_;
    Writer write_;
    QTimer heartbeat_;
    // Why probing stands still as last reported: none while it runs.
    std::optional<std::string> stoppedBy_;
    // What the last change lines said: the verdict's title, the path, per
    // target (role and address) its state, the names not yet resolved.
    std::optional<std::string> verdictShown_;
    std::optional<std::string> pathShown_;
    std::map<std::string, std::string> targetsShown_;
    std::vector<std::string> unresolvedShown_;
    // Rows of the status area now on screen, below the scroll-back.
    std::size_t areaHeight_ = 0;
};

}  // namespace nerivane
