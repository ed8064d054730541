#include "nerivane/ui/cards/LoadCard.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "nerivane/core/LoadTexts.h"
#include "nerivane/ui/cards/CardColors.h"

namespace nerivane {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("LoadCard", text); }

// One direction: the letter in a column wide enough for "A+", beside it the
// direction and the added time, then the queue's place and the last busy time.
QWidget* directionRow(const DirectionLoad& load, LoadDirection direction, const CardContext& context, QWidget* parent) {
    auto* row = new QWidget(parent);
    const QPalette& palette = row->palette();
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(10);

    auto* letter = new QLabel(load.grade ? LoadTexts::gradeText(*load.grade) : QStringLiteral("\u2014"), row);
    QFont big = letter->font();
    big.setPointSizeF(big.pointSizeF() * 2.2);
    big.setBold(true);
    letter->setFont(big);
    letter->setMinimumWidth(QFontMetrics(big).horizontalAdvance(QStringLiteral("A+")) + 2);
    letter->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    CardFrame::setInk(letter, load.grade ? CardColors::grade(*load.grade, palette) : CardColors::secondary(palette));
    letter->setAccessibleName(load.grade ? tr("grade %1").arg(LoadTexts::gradeText(*load.grade)) : tr("no grade"));
    line->addWidget(letter, 0, Qt::AlignTop);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(1);
    auto* head = new QHBoxLayout;
    head->setSpacing(6);
    auto* name = new QLabel(LoadTexts::directionName(direction), row);
    QFont bold = name->font();
    bold.setBold(true);
    name->setFont(bold);
    head->addWidget(name);
    if (load.grade && load.internet) {
        auto* added = new QLabel(LoadTexts::addedText(load.internet->added), row);
        added->setTextInteractionFlags(Qt::TextSelectableByMouse);
        CardFrame::setInk(added, CardColors::grade(*load.grade, palette));
        added->setAccessibleName(tr("added round trip"));
        added->setAccessibleDescription(VerdictTexts::spokenMilliseconds(std::max(load.internet->added, 0.0), context.texts));
        head->addWidget(added);
    }
    head->addStretch(1);
    texts->addLayout(head);
    // A queue that adds little is not worth placing.
    if (load.grade && (load.queue != QueuePlace::unknown || *load.grade > LoadGrade::a)) {
        auto* queue = CardFrame::secondaryLabel(LoadTexts::queueText(load.queue), row);
        queue->setWordWrap(true);
        texts->addWidget(queue);
    } else if (!load.grade) {
        auto* none = CardFrame::secondaryLabel(tr("Not busy long enough to grade yet"), row);
        none->setWordWrap(true);
        texts->addWidget(none);
    }
    const QString seen = LoadTexts::lastSeenText(load, direction, context.texts);
    if (!seen.isEmpty()) {
        auto* when = CardFrame::secondaryLabel(seen, row);
        when->setWordWrap(true);
        texts->addWidget(when);
    }
    line->addLayout(texts, 1);

    row->setAccessibleName(LoadTexts::directionName(direction));
    row->setAccessibleDescription(LoadTexts::spokenDirection(load, direction, context.texts));
    return row;
}

}  // namespace

LoadCard::LoadCard(const LoadSnapshot& load, const CardContext& context, QWidget* parent)
    : CardFrame(tr("UNDER LOAD"), parent) {
    setAccessibleName(tr("Under load"));
    body()->addWidget(directionRow(load.upload, LoadDirection::upload, context, this));
    body()->addWidget(directionRow(load.download, LoadDirection::download, context, this));
}

LoadCard* LoadCard::make(const MonitorSnapshot& snapshot, const CardContext& context) {
    if (!snapshot.load || !LoadTexts::hasGrade(*snapshot.load)) return nullptr;
    return new LoadCard(*snapshot.load, context);
}

}  // namespace nerivane
