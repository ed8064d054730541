#include "nerivane/ui/cards/LoadCard.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <algorithm>

#include "nerivane/core/LoadTexts.h"
#include "nerivane/ui/cards/CardColors.h"

namespace nerivane {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("LoadCard", text); }

LoadCard::Row rowOf(const DirectionLoad& load, LoadDirection direction, const CardContext& context, const QPalette& palette) {
    LoadCard::Row row;
    row.direction = LoadTexts::directionName(direction);
    row.letter = load.grade ? LoadTexts::gradeText(*load.grade) : QStringLiteral("\u2014");
    row.letterInk = load.grade ? CardColors::grade(*load.grade, palette) : CardColors::secondary(palette);
    row.letterName = load.grade ? tr("grade %1").arg(LoadTexts::gradeText(*load.grade)) : tr("no grade");
    if (load.grade && load.internet) {
        row.added = LoadTexts::addedText(load.internet->added);
        row.addedInk = CardColors::grade(*load.grade, palette);
        row.addedSpoken = VerdictTexts::spokenMilliseconds(std::max(load.internet->added, 0.0), context.texts);
    }
    // A queue that adds little is not worth placing.
    if (load.grade && (load.queue != QueuePlace::unknown || *load.grade > LoadGrade::a))
        row.note = LoadTexts::queueText(load.queue);
    else if (!load.grade)
        row.note = tr("Not busy long enough to grade yet");
    row.seen = LoadTexts::lastSeenText(load, direction, context.texts);
    row.spoken = LoadTexts::spokenDirection(load, direction, context.texts);
    return row;
}

void setText(QLabel* label, const QString& text) {
    // QLabel tells screen readers of a new text itself.
    if (label->text() != text) label->setText(text);
    label->setVisible(!text.isEmpty());
}

}  // namespace

std::optional<LoadCard::Model> LoadCard::model(const MonitorSnapshot& snapshot, const CardContext& context,
                                               const QPalette& palette) {
    // Under the internet card, never the offline card: how the link fares when busy.
    if (snapshot.verdict == Verdict::offline || !snapshot.load || !LoadTexts::hasGrade(*snapshot.load)) return std::nullopt;
    return Model{rowOf(snapshot.load->upload, LoadDirection::upload, context, palette),
                 rowOf(snapshot.load->download, LoadDirection::download, context, palette)};
}

LoadCard::LoadCard(QWidget* parent) : CardFrame(tr("UNDER LOAD"), parent) {
    setAccessibleName(tr("Under load"));
    for (auto& row : rows_) {
        row = makeRow();
        body()->addWidget(row.row);
    }
    setVisible(false);
}

// One direction: the letter in a column wide enough for "A+", beside it the
// direction and the added time, then the queue's place and the last busy time.
// Every line is made once and hidden while it has nothing to say.
LoadCard::RowWidgets LoadCard::makeRow() {
    RowWidgets widgets{};
    widgets.row = new QWidget(this);
    auto* line = new QHBoxLayout(widgets.row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(10);

    widgets.letter = new QLabel(widgets.row);
    QFont big = widgets.letter->font();
    big.setPointSizeF(big.pointSizeF() * 2.2);
    big.setBold(true);
    widgets.letter->setFont(big);
    widgets.letter->setMinimumWidth(QFontMetrics(big).horizontalAdvance(QStringLiteral("A+")) + 2);
    widgets.letter->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    line->addWidget(widgets.letter, 0, Qt::AlignTop);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(1);
    auto* head = new QHBoxLayout;
    head->setSpacing(6);
    widgets.direction = new QLabel(widgets.row);
    QFont bold = widgets.direction->font();
    bold.setBold(true);
    widgets.direction->setFont(bold);
    head->addWidget(widgets.direction);
    widgets.added = new QLabel(widgets.row);
    widgets.added->setTextInteractionFlags(Qt::TextSelectableByMouse);
    widgets.added->setAccessibleName(tr("added round trip"));
    head->addWidget(widgets.added);
    head->addStretch(1);
    texts->addLayout(head);
    widgets.note = CardFrame::secondaryLabel(QString(), widgets.row);
    widgets.note->setWordWrap(true);
    texts->addWidget(widgets.note);
    widgets.seen = CardFrame::secondaryLabel(QString(), widgets.row);
    widgets.seen->setWordWrap(true);
    texts->addWidget(widgets.seen);
    line->addLayout(texts, 1);
    return widgets;
}

void LoadCard::draw(const RowWidgets& widgets, const Row& row) {
    setText(widgets.direction, row.direction);
    setText(widgets.letter, row.letter);
    CardFrame::setInk(widgets.letter, row.letterInk, widgets.row->palette());
    CardFrame::setSpoken(widgets.letter, row.letterName, widgets.letter->accessibleDescription());
    setText(widgets.added, row.added);
    if (!row.added.isEmpty()) {
        CardFrame::setInk(widgets.added, row.addedInk, widgets.row->palette());
        CardFrame::setSpoken(widgets.added, widgets.added->accessibleName(), row.addedSpoken);
    }
    setText(widgets.note, row.note);
    setText(widgets.seen, row.seen);
    CardFrame::setSpoken(widgets.row, row.direction, row.spoken);
}

void LoadCard::update(const MonitorSnapshot& snapshot, const CardContext& context) {
    const auto rows = model(snapshot, context, palette());
    setVisible(rows.has_value());
    if (!rows) return;
    for (std::size_t i = 0; i < rows_.size(); ++i) draw(rows_[i], (*rows)[i]);
}

}  // namespace nerivane
