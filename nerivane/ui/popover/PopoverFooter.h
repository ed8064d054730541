// The bottom row of the popup, left to right: the diagnostics button, the
// update button, the version, "settings" (or "done" while the settings page
// is shown) and "quit". A control without its action is not shown. Owned by
// the popup view; main thread.
#pragma once

#include <QLabel>
#include <QToolButton>
#include <QWidget>

#include "nerivane/ui/popover/PopoverActions.h"

namespace nerivane {

class PopoverState;

class PopoverFooter : public QWidget {
    Q_OBJECT

public:
    enum class CopyState { idle, copying, copied };
    // How long "copied" stays before the button returns to idle.
    static constexpr int copiedMilliseconds = 2000;

    // version: the build's, "dev" when empty. hasSettings: whether a settings
    // page exists to switch to.
    PopoverFooter(PopoverState& state, const PopoverActions& actions, const QString& version, bool hasSettings,
                  QWidget* parent = nullptr);

    CopyState copyState() const { return copyState_; }
    // Null when not shown.
    QToolButton* diagnosticsButton() const { return diagnostics_; }
    QToolButton* updateButton() const { return update_; }
    QToolButton* settingsButton() const { return settings_; }
    QToolButton* quitButton() const { return quit_; }
    QString versionText() const { return version_->text(); }

protected:
    void changeEvent(QEvent* event) override;

private:
    // The version's and the icons' ink, from the palette as it is now.
    void applyInks();
    void setCopyState(CopyState state);
    void refreshSettings();

    PopoverState& state_;
    PopoverActions actions_;
    CopyState copyState_ = CopyState::idle;
    QToolButton* diagnostics_ = nullptr;
    QToolButton* update_ = nullptr;
    QLabel* version_;
    QToolButton* settings_ = nullptr;
    QToolButton* quit_;
};

}  // namespace nerivane
