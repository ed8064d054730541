// What the popup's controls do beyond the popup itself, handed in by the
// status item controller. A control whose callback is empty is not shown, so
// nothing in the popup is a button that cannot work. Main thread.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

#include "nerivane/export/CSVExport.h"

namespace nerivane {

struct PopoverActions {
    // The events card's export menu: save the chosen history as CSV.
    std::function<void(CSVExport::Choice)> exportData;
    // The footer's diagnostics button: copies the report and calls done
    // (on the main thread) when the text is on the clipboard.
    std::function<void(std::function<void()> done)> copyDiagnostics;
    // The first-run card's "Got it".
    std::function<void()> dismissFirstRun;
    // The newer version the update checker knows of; none when there is none.
    std::function<std::optional<QString>()> availableUpdate;
    std::function<void()> installUpdate;
    // The header's "Sign in": opens the network's sign-in page in the browser.
    std::function<void(const QUrl&)> openSignInPage;
    // The footer's "quit"; the application's normal quit when empty.
    std::function<void()> quit;
};

}  // namespace nerivane
