// The popup window that a click on the tray item opens: a frameless window
// above the others that screen readers can reach, closed when it loses focus,
// on Escape or on a second activation of the item, placed beside the item's
// rectangle and kept on its screen; on Wayland, where clients cannot place
// windows, a titled top-level that the compositor places
// (usePlacedByCompositor). Hosts the popup view, sized to its content up to
// the screen's available height (the view's column scrolls beyond that).
// Owned by the status item controller; main thread.
#pragma once

#include <QRect>
#include <QWidget>

namespace nerivane {

class PopoverView;

class PopoverWindow : public QWidget {
    Q_OBJECT

public:
    explicit PopoverWindow(QWidget* parent = nullptr);
    ~PopoverWindow() override;

    // Takes the view (a new one on every opening); the previous one is deleted.
    void setView(PopoverView* view);
    PopoverView* view() const { return view_; }
    // The window's size for the view on a screen with this much room.
    static QSize fittingSize(int contentWidth, int contentHeight, const QRect& screen);

    // Shows the window beside anchor (the tray item's rectangle in global
    // coordinates); an empty anchor places it at the screen corner nearest
    // the cursor.
    void showAnchored(const QRect& anchor);
    // Hides the window when shown, else shows it anchored.
    void toggle(const QRect& anchor);
    // True from the moment the window is shown until it is hidden.
    bool detailsVisible() const { return detailsVisible_; }

    // Where a window of the given size goes for an anchor on a screen whose
    // available area is screen; cursor picks the corner when anchor is empty.
    static QRect placement(QSize size, const QRect& anchor, const QRect& screen, QPoint cursor);
    // True on Wayland: the compositor, not the client, places windows there.
    static bool placedByCompositor();

signals:
    void shown();
    void hidden();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // The window's kind and flags, and what closes it besides Escape.
    void applyWindowKind();
    void handleFocusChange();
    void place();
    void usePlacedByCompositor();

    bool compositorPlaced_ = false;
    bool detailsVisible_ = false;
    PopoverView* view_ = nullptr;
    QRect anchor_;
    QPoint cursor_;
    bool activeSinceShown_ = false;
};

}  // namespace nerivane
