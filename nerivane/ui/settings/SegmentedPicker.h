// A row of mutually exclusive choices shown side by side (the chart's target
// and range, the settings' choices). Tells of a user's choice with activated;
// setting the choice from code is silent. Owned by its view; main thread.
#pragma once

#include <QButtonGroup>
#include <QStringList>
#include <QWidget>

namespace nerivane {

class SegmentedPicker : public QWidget {
    Q_OBJECT

public:
    // Choices wider than this together wrap into rows.
    static constexpr int wrapWidth = 210;

    SegmentedPicker(const QString& name, const QStringList& choices, QWidget* parent = nullptr);

    // -1 when none is chosen (a stored value none of the choices names).
    int currentIndex() const;
    void setCurrentIndex(int index);
    int count() const { return static_cast<int>(group_.buttons().size()); }
    QString choice(int index) const;

signals:
    void activated(int index);

private:
    QButtonGroup group_;
};

}  // namespace nerivane
