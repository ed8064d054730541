#include "nerivane/ui/cards/DetailCards.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "nerivane/ui/cards/CardColors.h"
#include "nerivane/ui/cards/CardFrame.h"
#include "nerivane/ui/cards/CardTexts.h"

namespace nerivane::DetailCards {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("DetailCards", text); }

}  // namespace

QWidget* wifiCard(const WiFiInfo& info, const CardContext&) {
    auto* card = new CardFrame(tr("WI\u2011FI"));
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(0);
    int column = 0;
    for (const auto& value : CardTexts::wifiValues(info)) {
        auto* label = CardFrame::secondaryLabel(value.label, card);
        label->setToolTip(value.meaning);
        label->setAccessibleDescription(value.meaning);
        auto* text = CardFrame::valueLabel(value, card);
        // The channel line is long: it takes a row of its own.
        if (value.unit.isEmpty()) {
            auto* row = new QHBoxLayout;
            row->addWidget(label);
            row->addWidget(text, 1);
            card->body()->addLayout(grid);
            card->body()->addLayout(row);
            grid = nullptr;
            break;
        }
        grid->addWidget(label, 0, column);
        grid->addWidget(text, 1, column);
        grid->setColumnStretch(column, 1);
        ++column;
    }
    if (grid != nullptr) card->body()->addLayout(grid);
    return card;
}

QWidget* firstRunCard(const QString& words, std::function<void()> dismiss, QWidget* launchAtLogin, QWidget* notifications) {
    auto* card = new CardFrame(tr(CardTexts::firstRunTitle));
    auto* text = new QLabel(words, card);
    text->setWordWrap(true);
    card->body()->addWidget(text);
    auto* targets = CardFrame::secondaryLabel(tr(CardTexts::firstRunTargets), card);
    targets->setWordWrap(true);
    card->body()->addWidget(targets);
    if (notifications != nullptr) card->body()->addWidget(notifications);
    auto* row = new QHBoxLayout;
    if (launchAtLogin != nullptr) {
        launchAtLogin->setParent(card);
        row->addWidget(launchAtLogin);
    }
    row->addStretch(1);
    if (dismiss) {
        auto* button = new QPushButton(tr("Got it"), card);
        button->setDefault(true);
        QObject::connect(button, &QPushButton::clicked, card, [dismiss] { dismiss(); });
        row->addWidget(button);
    }
    card->body()->addLayout(row);
    return card;
}

}  // namespace nerivane::DetailCards
