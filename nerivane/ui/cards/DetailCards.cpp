#include "nerivane/ui/cards/DetailCards.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "nerivane/ui/cards/CardTexts.h"

namespace nerivane::DetailCards {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("DetailCards", text); }

}  // namespace

std::unique_ptr<CardFrame> firstRunCard(const QString& words, std::function<void()> dismiss,
                                        std::unique_ptr<QWidget> launchAtLogin, std::unique_ptr<QWidget> notifications) {
    auto card = std::make_unique<CardFrame>(tr(CardTexts::firstRunTitle));
    auto* text = new QLabel(words, card.get());
    text->setWordWrap(true);
    card->body()->addWidget(text);
    auto* targets = CardFrame::secondaryLabel(tr(CardTexts::firstRunTargets), card.get());
    targets->setWordWrap(true);
    card->body()->addWidget(targets);
    if (notifications != nullptr) card->body()->addWidget(notifications.release());
    auto* row = new QHBoxLayout;
    if (launchAtLogin != nullptr) {
        launchAtLogin->setParent(card.get());
        row->addWidget(launchAtLogin.release());
    }
    row->addStretch(1);
    if (dismiss) {
        auto* button = new QPushButton(tr("Got it"), card.get());
        button->setDefault(true);
        QObject::connect(button, &QPushButton::clicked, card.get(), [dismiss] { dismiss(); });
        row->addWidget(button);
    }
    card->body()->addLayout(row);
    return card;
}

}  // namespace nerivane::DetailCards
