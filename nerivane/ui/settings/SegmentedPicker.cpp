#include "nerivane/ui/settings/SegmentedPicker.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QToolButton>

namespace nerivane {

SegmentedPicker::SegmentedPicker(const QString& name, const QStringList& choices, QWidget* parent)
    : QWidget(parent) {
    setAccessibleName(name);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    group_.setExclusive(true);
    for (int i = 0; i < choices.size(); ++i) {
        auto* button = new QToolButton(this);
        button->setText(choices[i]);
        button->setCheckable(true);
        button->setAutoRaise(false);
        button->setToolButtonStyle(Qt::ToolButtonTextOnly);
        button->setAccessibleName(name + QStringLiteral(": ") + choices[i]);
        group_.addButton(button, i);
        layout->addWidget(button);
    }
    layout->addStretch(1);
    connect(&group_, &QButtonGroup::idClicked, this, &SegmentedPicker::activated);
}

int SegmentedPicker::currentIndex() const { return group_.checkedId(); }

void SegmentedPicker::setCurrentIndex(int index) {
    if (QAbstractButton* button = group_.button(index)) {
        button->setChecked(true);
        return;
    }
    // No choice matches: clear the row, which an exclusive group refuses.
    group_.setExclusive(false);
    for (QAbstractButton* button : group_.buttons()) button->setChecked(false);
    group_.setExclusive(true);
}

QString SegmentedPicker::choice(int index) const {
    QAbstractButton* button = group_.button(index);
    return button ? button->text() : QString();
}

}  // namespace nerivane
