// Decides which notifications the user gets from the stream of monitor
// snapshots: the internet went down (after 10 s), it is back (with how long it
// was down), and the verdict changed (after holding 30 s). Owned by the
// application model on the main thread; times are wall-clock dates.
//
//   internet: idle -> timing [down: downSince set] -> posted [10 s, outages on]
//             -> returning [ok or bad: upSince set] -> idle [5 s later: internetBack]
//             returning -> posted [down again: the same incident, no new alert]
//   One outage is one incident (Incident::adjacentSeconds): a link that
//   answers for a moment between two silences gets one pair of alerts.
//   verdict:  every new filtered verdict restarts the 30 s timer; a verdict
//             that holds becomes lastVerdict, announced only if it differs
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "NerivaneKit/analysis/MonitorSnapshot.h"
#include "NerivaneKit/analysis/Verdict.h"
#include "NerivaneKit/platform/Clocks.h"

namespace nerivane {

struct AlertTracker {
    struct InternetDown {
        Date since;
        std::vector<std::string> hosts;
        Verdict verdict = Verdict::measuring;
        bool operator==(const InternetDown&) const = default;
    };
    struct InternetBack {
        // How long the internet was down.
        Seconds after{0};
        bool operator==(const InternetBack&) const = default;
    };
    struct VerdictChanged {
        Verdict verdict = Verdict::measuring;
        bool operator==(const VerdictChanged&) const = default;
    };
    using Alert = std::variant<InternetDown, InternetBack, VerdictChanged>;

    struct Candidate {
        Verdict verdict = Verdict::measuring;
        Date since;
        bool operator==(const Candidate&) const = default;
    };

    static constexpr Seconds downSeconds{10};
    static constexpr Seconds verdictSeconds{30};

    // Post internet-down and internet-back alerts.
    bool outages = true;
    // Post verdict alerts.
    bool verdictChanges = true;
    // When the current internet outage began.
    std::optional<Date> downSince;
    // An internet-down alert has been posted for the current outage.
    bool postedDown = false;
    // The verdict it was posted with: a sign-in it asked for is not asked again.
    std::optional<Verdict> downVerdict;
    // The internet answers again since then; the back alert waits until the
    // outage is over for good.
    std::optional<Date> upSince;
    // The verdict being timed.
    std::optional<Candidate> candidate;
    // The last verdict that held long enough (announced or not).
    std::optional<Verdict> lastVerdict;

    AlertTracker(bool outages, bool verdictChanges) : outages(outages), verdictChanges(verdictChanges) {}

    bool operator==(const AlertTracker&) const = default;

    // Alerts in the order produced: an internet alert before a verdict alert.
    std::vector<Alert> update(const MonitorSnapshot& snapshot, Date now);
    // Forgets the outage and the verdict being timed; lastVerdict and the switches stay.
    void reset();

private:
    void updateInternet(const MonitorSnapshot& snapshot, Date now, std::vector<Alert>& alerts);
    void updateVerdict(Verdict verdict, Date now, std::vector<Alert>& alerts);
};

}  // namespace nerivane
