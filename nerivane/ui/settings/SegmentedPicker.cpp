#include "nerivane/ui/settings/SegmentedPicker.h"

#include <QAbstractButton>
#include <QGridLayout>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>
#include <algorithm>
#include <vector>

#include "nerivane/ui/cards/CardColors.h"

namespace nerivane {

namespace {

// One choice: outlined, filled with the highlight colour when chosen; drawn
// from palette roles so it follows a light or dark palette.
class Segment : public QToolButton {
public:
    Segment(const QString& text, QWidget* parent) : QToolButton(parent) {
        setText(text);
        setCheckable(true);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);
    }
    QSize sizeHint() const override {
        const QFontMetrics metrics(font());
        return {metrics.horizontalAdvance(text()) + 14, metrics.height() + 8};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        QPainterPath path;
        path.addRoundedRect(box, 4, 4);

        const QPalette& p = palette();
        // The highlight deepened where the desktop's is too pale for its text.
        QColor fill = isChecked() ? CardColors::legible(p.color(QPalette::Highlight), p.color(QPalette::HighlightedText))
                                  : p.color(QPalette::Button);
        if (!isChecked() && underMouse()) fill = fill.lighter(dark() ? 130 : 96);
        painter.fillPath(path, fill);
        QColor outline = p.color(QPalette::PlaceholderText);
        outline.setAlphaF(0.6);
        painter.setPen(QPen(outline, 1));
        painter.drawPath(path);
        if (hasFocus()) {
            painter.setPen(QPen(p.color(QPalette::Highlight), 1.5));
            painter.drawPath(path);
        }
        painter.setPen(isChecked() ? p.color(QPalette::HighlightedText) : p.color(QPalette::ButtonText));
        painter.drawText(rect(), Qt::AlignCenter, text());
    }

private:
    bool dark() const {
        return palette().color(QPalette::WindowText).lightness() > palette().color(QPalette::Window).lightness();
    }
};

}  // namespace

SegmentedPicker::SegmentedPicker(const QString& name, const QStringList& choices, QWidget* parent)
    : QWidget(parent) {
    setAccessibleName(name);
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(3);
    group_.setExclusive(true);
    std::vector<Segment*> segments;
    for (int i = 0; i < choices.size(); ++i) {
        auto* button = new Segment(choices[i], this);
        button->setAccessibleName(name + QStringLiteral(": ") + choices[i]);
        group_.addButton(button, i);
        segments.push_back(button);
    }
    // Rows of equal length, as few as fit the popup's narrow column.
    const int count = static_cast<int>(segments.size());
    int columns = count;
    auto rowWidth = [&](int perRow) {
        int widest = 0;
        for (int start = 0; start < count; start += perRow) {
            int width = 0;
            for (int i = start; i < std::min(count, start + perRow); ++i) width += segments[i]->sizeHint().width() + 3;
            widest = std::max(widest, width);
        }
        return widest;
    };
    for (int rows = 2; columns > 1 && rowWidth(columns) > wrapWidth; ++rows) columns = (count + rows - 1) / rows;
    for (int i = 0; i < count; ++i) {
        // Wrapped rows line up: each segment fills its column.
        if (columns < count) segments[i]->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
        layout->addWidget(segments[i], i / columns, i % columns);
    }
    layout->setColumnStretch(columns, 1);
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
