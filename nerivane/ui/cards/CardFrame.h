// One card of the popup's column: a rounded panel with a small upper-case
// title and a body the card fills. Owned by the popup view's column; main thread.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QString>
#include <QVBoxLayout>

#include "nerivane/ui/cards/CardTexts.h"

namespace nerivane {

class CardFrame : public QFrame {
    Q_OBJECT

public:
    // An empty title leaves the title line out.
    explicit CardFrame(const QString& title, QWidget* parent = nullptr);

    QVBoxLayout* body() { return body_; }
    // The title line, where a card puts controls beside its title.
    QHBoxLayout* titleRow() { return titleRow_; }

    // A label in the card's secondary ink and a smaller font.
    static QLabel* secondaryLabel(const QString& text, QWidget* parent = nullptr);
    // A value with its unit in small secondary ink, its spoken form as the
    // accessible name and its label as the description.
    static QLabel* valueLabel(const CardTexts::Value& value, QWidget* parent);
    // Shows a new value in a label that valueLabel made.
    static void setValue(QLabel* label, const CardTexts::Value& value);
    // Sets the colour the widget's text is drawn in, made legible on the
    // card's fill for the widget's palette.
    static void setInk(QWidget* widget, const QColor& colour);
    // The same on the fill for ground: a card updated in place inks against
    // its own palette, as a widget's ink changes the fill its palette gives.
    static void setInk(QWidget* widget, const QColor& colour, const QPalette& ground);
    // Sets the accessible name and description; a change is told to screen readers.
    static void setSpoken(QWidget* widget, const QString& name, const QString& description);
    // A short remark inside a card: the text, and under it an optional detail.
    static QWidget* note(const QString& text, const QString& detail = QString(), QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* body_;
    QHBoxLayout* titleRow_;
};

}  // namespace nerivane
