// The popup's content in an ordinary application window, for desktops
// without a tray host: titled with the readout, its icon the compact
// readout, minimised to the taskbar like any window. Above the content, until
// dismissed once, a note on how to get the panel item. Closing it asks the
// owner to quit. Owned by the status item controller while no tray host
// runs; main thread.
#pragma once

#include <QWidget>
#include <functional>

class QFrame;
class QVBoxLayout;

namespace nerivane {

class PopoverView;

class ReadoutWindow : public QWidget {
    Q_OBJECT

public:
    // close: what closing the window does; dismissHint: the note was read.
    ReadoutWindow(std::function<void()> close, std::function<void()> dismissHint, bool showHint,
                  QWidget* parent = nullptr);
    ~ReadoutWindow() override;

    // Takes the view; the previous one is deleted.
    void setView(PopoverView* view);
    PopoverView* view() const { return view_; }
    bool showsHint() const;
    // Shows the window where it was (restored when minimised) and raises it.
    void present();

    // "5 ms · Good — nerivane".
    static QString title(const QString& latency, const QString& verdict);
    // The note, in words for GNOME where the tray needs an extension.
    static QString hintText();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void fitToContent();

    std::function<void()> close_;
    QVBoxLayout* column_ = nullptr;
    QFrame* hint_ = nullptr;
    PopoverView* view_ = nullptr;
};

}  // namespace nerivane
