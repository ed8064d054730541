// The developer switch that writes a picture of the popup to a PNG file:
// NERIVANE_POPOVER_SNAPSHOT holds the path; NERIVANE_POPOVER_DELAY the
// seconds to wait first (15 when unset or not a number); NERIVANE_POPOVER_PAGE
// picks "paused", "wifi", "settings" or "first-run"; NERIVANE_POPOVER_RANGE
// the chart's "hour", "day" or "week". Rendered in a window that is never put
// on screen, so it works on the offscreen platform too; the events card's
// incident rows are written beside it as PATH.events.txt, one a line. Made by
// the status item controller at start; main thread.
#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <optional>
#include <string>

#include "NerivaneKit/history/ChartRange.h"
#include "nerivane/ui/popover/PopoverView.h"

namespace nerivane {

class PopoverSnapshot : public QObject {
    Q_OBJECT

public:
    static constexpr double defaultDelay = 15;
    // Time for the history read and the Wi-Fi details to arrive before the picture.
    static constexpr int settleMilliseconds = 1500;

    struct Switches {
        QString path;
        double delay = defaultDelay;
        // Empty, or one of the four pages.
        QString page;
        std::optional<ChartRange> range;
        bool operator==(const Switches&) const = default;

        // None when NERIVANE_POPOVER_SNAPSHOT is unset or empty.
        static std::optional<Switches> read(const std::function<std::optional<std::string>(const char*)>& variable);
        // From the process environment.
        static std::optional<Switches> fromEnvironment();
    };

    // popoverShown tells whether a real popup is open (then the model's
    // details stay visible after the picture); it may be empty.
    PopoverSnapshot(AppModel& model, PopoverState& state, PopoverActions actions, PopoverView::Places places,
                    PopoverView::Options options, Switches switches, std::function<bool()> popoverShown = {},
                    QObject* parent = nullptr);
    ~PopoverSnapshot() override;

    // Waits the delay, shows the page, and writes the picture after settling.
    void start();
    // When NERIVANE_POPOVER_SNAPSHOT is set: a started snapshot owned by
    // parent; otherwise null. The one call the status item makes at start.
    static PopoverSnapshot* startFromEnvironment(AppModel& model, PopoverState& state, PopoverActions actions,
                                                 PopoverView::Places places, PopoverView::Options options,
                                                 std::function<bool()> popoverShown, QObject* parent);

    // The view at its fitting size, drawn into an image at the screen's pixel ratio.
    static QImage render(PopoverView& view);
    // The first wireless network interface of the system, if any.
    static std::optional<std::string> defaultWiFiInterface();

signals:
    // After the write; written is false when the file could not be written.
    void finished(bool written);

private:
    void open();
    void capture();

    AppModel& model_;
    PopoverState& state_;
    PopoverActions actions_;
    PopoverView::Places places_;
    PopoverView::Options options_;
    Switches switches_;
    std::function<bool()> popoverShown_;
    std::unique_ptr<QWidget> window_;
    QPointer<PopoverView> view_;
};

}  // namespace nerivane
