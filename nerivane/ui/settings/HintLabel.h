// A wrapped hint under a setting: small, in the secondary ink, or orange for a
// warning, each shade kept legible on the page whatever the palette; the
// shade follows a change of palette. Owned by its page; main thread.
#pragma once

#include <QLabel>

namespace nerivane {

class HintLabel : public QLabel {
    Q_OBJECT

public:
    enum class Kind { note, warning };

    HintLabel(const QString& text, Kind kind, QWidget* parent = nullptr);

protected:
    void changeEvent(QEvent* event) override;

private:
    void applyInk();

    Kind kind_;
};

}  // namespace nerivane
