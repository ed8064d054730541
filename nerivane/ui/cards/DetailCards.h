// The first-run card: what the program sends, shown once. The popup view
// makes it with its column and owns it there. Main thread.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "nerivane/ui/cards/CardFrame.h"

namespace nerivane::DetailCards {

// text says what leaves the computer (CardTexts::firstRunText); dismiss may be
// empty (no "Got it" button); launchAtLogin is the settings' switch, or null
// while there is none; so is notifications, the outage notifications' switch.
std::unique_ptr<CardFrame> firstRunCard(const QString& text, std::function<void()> dismiss,
                                        std::unique_ptr<QWidget> launchAtLogin,
                                        std::unique_ptr<QWidget> notifications = nullptr);

}  // namespace nerivane::DetailCards
