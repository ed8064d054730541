// An on/off switch: a track with a knob, drawn so both states stand out from
// the page by 3:1 in any palette (a style's check box can sink into a dark
// one). A check box underneath, so it is read and driven as one. Main thread.
#pragma once

#include <QCheckBox>

namespace nerivane {

class Switch : public QCheckBox {
    Q_OBJECT

public:
    explicit Switch(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& position) const override { return rect().contains(position); }
};

}  // namespace nerivane
