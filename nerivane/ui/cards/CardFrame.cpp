#include "nerivane/ui/cards/CardFrame.h"

#include <QAccessible>
#include <QPainter>

#include "nerivane/ui/cards/CardColors.h"

namespace nerivane {

CardFrame::CardFrame(const QString& title, QWidget* parent) : QFrame(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 8, 10, 9);
    layout->setSpacing(5);
    titleRow_ = new QHBoxLayout;
    titleRow_->setSpacing(6);
    if (!title.isEmpty()) {
        auto* label = secondaryLabel(title, this);
        QFont font = label->font();
        font.setBold(true);
        font.setLetterSpacing(QFont::AbsoluteSpacing, 0.8);
        label->setFont(font);
        titleRow_->addWidget(label);
        titleRow_->addStretch(1);
    }
    layout->addLayout(titleRow_);
    body_ = new QVBoxLayout;
    body_->setSpacing(6);
    layout->addLayout(body_);
}

QLabel* CardFrame::secondaryLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    setInk(label, CardColors::secondary(label->palette()));
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    return label;
}

QLabel* CardFrame::valueLabel(const CardTexts::Value& value, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::RichText);
    setValue(label, value);
    return label;
}

void CardFrame::setValue(QLabel* label, const CardTexts::Value& value) {
    QString text = value.value.toHtmlEscaped();
    if (!value.unit.isEmpty()) {
        text += QStringLiteral("<span style=\"color:%1; font-size:small\">&nbsp;%2</span>")
                    .arg(CardColors::secondaryText(label->palette()).name(), value.unit.toHtmlEscaped());
    }
    // QLabel tells screen readers of a new text itself.
    if (label->text() != text) label->setText(text);
    setSpoken(label, value.spoken, value.label);
    label->setToolTip(value.meaning);
}

void CardFrame::setInk(QWidget* widget, const QColor& colour) { setInk(widget, colour, widget->palette()); }

void CardFrame::setInk(QWidget* widget, const QColor& colour, const QPalette& ground) {
    QPalette palette = widget->palette();
    // The card's fill is the darker ground in a light palette and the lighter in a dark one.
    palette.setColor(QPalette::WindowText, CardColors::legible(colour, CardColors::cardFill(ground)));
    widget->setPalette(palette);
}

void CardFrame::setSpoken(QWidget* widget, const QString& name, const QString& description) {
    if (widget->accessibleName() != name) {
        widget->setAccessibleName(name);
        QAccessibleEvent event(widget, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
    if (widget->accessibleDescription() != description) {
        widget->setAccessibleDescription(description);
        QAccessibleEvent event(widget, QAccessible::DescriptionChanged);
        QAccessible::updateAccessibility(&event);
    }
}

QWidget* CardFrame::note(const QString& text, const QString& detail, QWidget* parent) {
    auto* widget = new QWidget(parent);
    auto* layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 2, 0, 2);
    layout->setSpacing(1);
    auto* label = new QLabel(text, widget);
    label->setWordWrap(true);
    layout->addWidget(label);
    if (!detail.isEmpty()) {
        auto* small = secondaryLabel(detail, widget);
        small->setWordWrap(true);
        layout->addWidget(small);
    }
    return widget;
}

void CardFrame::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(CardColors::cardFill(palette()));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
}

}  // namespace nerivane
