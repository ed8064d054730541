// The Wi-Fi card (link quality of the current Wi-Fi connection) and the
// first-run card (what the program sends, once). Built by the popup view on
// each refresh; the widgets belong to its column. Main thread.
#pragma once

#include <QWidget>
#include <functional>

#include "nerivane/core/WiFiInfo.h"
#include "nerivane/ui/cards/CardContext.h"

namespace nerivane::DetailCards {

QWidget* wifiCard(const WiFiInfo& info, const CardContext& context);

// text says what leaves the computer (CardTexts::firstRunText); dismiss may be
// empty (no "Got it" button); launchAtLogin is the settings' switch, or null
// while there is none; so is notifications, the outage notifications' switch.
QWidget* firstRunCard(const QString& text, std::function<void()> dismiss, QWidget* launchAtLogin,
                      QWidget* notifications = nullptr);

}  // namespace nerivane::DetailCards
