// The "Under load" card: per direction the grade of latency under load as a
// big coloured letter, the milliseconds a busy link adds, where the queue is
// and when the link was last busy. Shown under the internet card once a
// direction has a grade. Made once with the popup's column and updated in
// place from each snapshot, so focus and spoken names stay; main thread.
#pragma once

#include <QColor>
#include <QString>
#include <array>
#include <optional>

#include "NerivaneKit/analysis/MonitorSnapshot.h"
#include "nerivane/ui/cards/CardContext.h"
#include "nerivane/ui/cards/CardFrame.h"

class QLabel;

namespace nerivane {

class LoadCard : public CardFrame {
    Q_OBJECT

public:
    // What one direction's row shows; an empty text leaves its line out.
    struct Row {
        QString direction;
        // "A+" .. "F", or a dash without a grade; its ink and spoken name.
        QString letter;
        QColor letterInk;
        QString letterName;
        // "+480 ms", with its ink and spoken form.
        QString added;
        QColor addedInk;
        QString addedSpoken;
        // Where the queue is, or why there is no grade yet.
        QString note;
        // When the direction was last busy.
        QString seen;
        QString spoken;
        bool operator==(const Row&) const = default;
    };
    // Upload, then download.
    using Model = std::array<Row, 2>;

    // The card's rows for the snapshot; none while it is hidden (offline, or
    // no direction graded). Inks are taken from the card's palette.
    static std::optional<Model> model(const MonitorSnapshot& snapshot, const CardContext& context, const QPalette& palette);

    // Hidden until the first update with a model.
    explicit LoadCard(QWidget* parent);

    void update(const MonitorSnapshot& snapshot, const CardContext& context);

private:
    struct RowWidgets {
        QWidget* row;
        QLabel* direction;
        QLabel* letter;
        QLabel* added;
        QLabel* note;
        QLabel* seen;
    };
    RowWidgets makeRow();
    static void draw(const RowWidgets& widgets, const Row& row);

    std::array<RowWidgets, 2> rows_;
};

}  // namespace nerivane
