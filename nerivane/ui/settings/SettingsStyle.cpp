#include "nerivane/ui/settings/SettingsStyle.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "nerivane/ui/settings/HintLabel.h"
#include "nerivane/ui/settings/Switch.h"

namespace nerivane::SettingsStyle {

namespace {
constexpr int labelWidth = 78;
}

QLabel* hint(const QString& text, HintKind kind, QWidget* parent) {
    return new HintLabel(text, kind == HintKind::warning ? HintLabel::Kind::warning : HintLabel::Kind::note, parent);
}

QVBoxLayout* section(const QString& title, QVBoxLayout* page, QWidget* parent) {
    auto* heading = new QLabel(title, parent);
    QFont bold = heading->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 0.85);
    heading->setFont(bold);
    page->addSpacing(6);
    page->addWidget(heading);
    auto* column = new QVBoxLayout;
    column->setContentsMargins(8, 0, 0, 0);
    column->setSpacing(4);
    page->addLayout(column);
    return column;
}

void row(const QString& label, QWidget* content, QVBoxLayout* section, QWidget* parent) {
    auto* line = new QHBoxLayout;
    auto* name = new QLabel(label, parent);
    // At least the column's width; a longer name in a larger font takes more.
    name->setMinimumWidth(labelWidth);
    name->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Level with the text of the first line of controls beside it.
    name->setContentsMargins(0, 4, 0, 0);
    name->setBuddy(content);
    line->addWidget(name, 0, Qt::AlignTop);
    line->addWidget(content, 1);
    section->addLayout(line);
}

QCheckBox* trailingSwitch(const QString& label, QVBoxLayout* section, QWidget* parent) {
    auto* line = new QHBoxLayout;
    auto* name = new QLabel(label, parent);
    auto* box = new Switch(parent);
    box->setAccessibleName(label);
    name->setBuddy(box);
    line->addWidget(name, 1);
    line->addWidget(box, 0, Qt::AlignRight);
    section->addLayout(line);
    return box;
}

}  // namespace nerivane::SettingsStyle
