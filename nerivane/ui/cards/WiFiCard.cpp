#include "nerivane/ui/cards/WiFiCard.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>

namespace nerivane {
namespace {

QStringList labelsOf(const std::vector<CardTexts::Value>& values) {
    QStringList labels;
    for (const auto& value : values) labels << value.label;
    return labels;
}

// Takes everything out of the layout; its widgets and inner layouts go.
void clear(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        delete item->widget();
        if (QLayout* inner = item->layout()) clear(inner);
        delete item;
    }
}

}  // namespace

std::vector<CardTexts::Value> WiFiCard::model(const WiFiInfo& info) { return CardTexts::wifiValues(info); }

WiFiCard::WiFiCard(QWidget* parent) : CardFrame(QCoreApplication::translate("DetailCards", "WI\u2011FI"), parent) {
    setVisible(false);
}

void WiFiCard::update(const std::optional<WiFiInfo>& info) {
    setVisible(info.has_value());
    if (!info) return;
    const auto values = model(*info);
    // The same values: new texts in the labels shown. Others (a noise figure
    // come or gone): the rows made again.
    if (labelsOf(values) != shape_) return build(values);
    for (std::size_t i = 0; i < values.size(); ++i) CardFrame::setValue(values_[i], values[i]);
}

void WiFiCard::build(const std::vector<CardTexts::Value>& values) {
    clear(body());
    values_.clear();
    shape_ = labelsOf(values);
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(0);
    int column = 0;
    for (const auto& value : values) {
        auto* label = CardFrame::secondaryLabel(value.label, this);
        label->setToolTip(value.meaning);
        label->setAccessibleDescription(value.meaning);
        auto* text = CardFrame::valueLabel(value, this);
        values_.push_back(text);
        // The channel line is long: it takes a row of its own.
        if (value.unit.isEmpty()) {
            auto* row = new QHBoxLayout;
            row->addWidget(label);
            row->addWidget(text, 1);
            body()->addLayout(grid);
            body()->addLayout(row);
            grid = nullptr;
            break;
        }
        grid->addWidget(label, 0, column);
        grid->addWidget(text, 1, column);
        grid->setColumnStretch(column, 1);
        ++column;
    }
    if (grid != nullptr) body()->addLayout(grid);
}

}  // namespace nerivane
