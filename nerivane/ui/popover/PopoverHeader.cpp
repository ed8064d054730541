#include "nerivane/ui/popover/PopoverHeader.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "nerivane/core/AppModel.h"
#include "nerivane/ui/cards/CardColors.h"
#include "nerivane/ui/cards/CardFrame.h"
#include "nerivane/ui/cards/CardTexts.h"
#include "nerivane/ui/cards/Symbols.h"

namespace nerivane {
namespace {

// How the status reads at a glance: fine, trouble, down, or not yet known.
QColor verdictInk(Verdict verdict, const QColor& accent, const QPalette& palette) {
    switch (verdict) {
    case Verdict::good: return accent;
    case Verdict::internetProblem:
    case Verdict::localProblem:
    case Verdict::connectionProblem:
    case Verdict::internetUnmeasured:
    case Verdict::lookupsSlow:
    case Verdict::slowWhileBusy:
    case Verdict::providerProblem:
    case Verdict::signInNeeded: return CardColors::orange(palette);
    case Verdict::providerDown: return CardColors::red(palette);
    case Verdict::lookupsFailing: return CardColors::red(palette);
    case Verdict::internetDown:
    case Verdict::localDown:
    case Verdict::connectionDown:
    case Verdict::offline: return CardColors::red(palette);
    case Verdict::measuring: break;
    }
    return CardColors::secondary(palette);
}

}  // namespace

PopoverHeader::PopoverHeader(QWidget* parent, std::function<void(const QUrl&)> openSignInPage)
    : QWidget(parent), openSignInPage_(std::move(openSignInPage)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 0, 2, 0);
    layout->setSpacing(3);

    auto* nameRow = new QHBoxLayout;
    nameRow->setSpacing(5);
    auto* symbol = symbol_ = new QLabel(this);
    symbol->setPixmap(Symbols::icon(Symbols::Symbol::product, CardColors::secondary(palette())).pixmap(14, 14));
    nameRow->addWidget(symbol);
    auto* name = name_ = new QLabel(QStringLiteral("nerivane"), this);
    QFont nameFont = name->font();
    nameFont.setBold(true);
    nameFont.setPointSizeF(nameFont.pointSizeF() * 0.9);
    name->setFont(nameFont);
    CardFrame::setInk(name, CardColors::secondary(palette()));
    nameRow->addWidget(name);
    nameRow->addStretch(1);
    layout->addLayout(nameRow);

    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("verdict"));
    QFont big = status_->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.45);
    status_->setFont(big);
    layout->addWidget(status_);

    explanation_ = new QLabel(this);
    explanation_->setWordWrap(true);
    layout->addWidget(explanation_);

    signIn_ = new QPushButton(tr("Sign in"), this);
    signIn_->setFocusPolicy(Qt::TabFocus);
    signIn_->hide();
    connect(signIn_, &QPushButton::clicked, this, [this] {
        if (openSignInPage_ && signInURL_.isValid()) openSignInPage_(signInURL_);
    });
    layout->addWidget(signIn_, 0, Qt::AlignLeft);

    auto* networkRow = new QHBoxLayout;
    networkRow->setSpacing(6);
    network_ = new QLabel(this);
    vpn_ = new QLabel(tr("via VPN"), this);
    ipv6_ = new QLabel(tr("IPv6 problem"), this);
    networkRow->addWidget(network_);
    networkRow->addWidget(vpn_);
    networkRow->addWidget(ipv6_);
    networkRow->addStretch(1);
    layout->addLayout(networkRow);
}

QString PopoverHeader::statusText(const AppModel& model, const CardContext& context) {
    if (const auto until = model.pausedUntil()) {
        // The pause lasts an hour: the time alone says it, even across midnight.
        const auto end = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(*until * 1000), context.texts.zone);
        return tr("Paused until ") + context.texts.locale.toString(end.time(), QLocale::ShortFormat);
    }
    return VerdictTexts::verdictTitle(model.snapshot());
}

void PopoverHeader::refresh(const AppModel& model, const CardContext& context) {
    const auto& snapshot = model.snapshot();
    // Again with every refresh: the palette may have changed since.
    symbol_->setPixmap(Symbols::icon(Symbols::Symbol::product, CardColors::secondary(palette())).pixmap(14, 14));
    CardFrame::setInk(name_, CardColors::secondary(palette()));
    status_->setText(statusText(model, context));
    CardFrame::setInk(status_, model.pausedUntil() ? CardColors::secondary(palette())
                                        : verdictInk(snapshot.verdict, context.accent, palette()));
    explanation_->setText(VerdictTexts::verdictExplanation(snapshot, model.offlineSince(), context.texts));
    // A screen reader on the title hears why, too.
    status_->setAccessibleDescription(explanation_->text());
    network_->setText(CardTexts::pathKindName(snapshot.path.kind));
    // Inks again on every refresh: the desktop may have switched light and dark.
    CardFrame::setInk(vpn_, CardColors::secondary(palette()));
    CardFrame::setInk(ipv6_, CardColors::orange(palette()));
    vpn_->setVisible(snapshot.path.isVPN);
    ipv6_->setVisible(snapshot.ipv6Problem);
    // NetworkManager's check page: the portal catches it and shows its own.
    signInURL_ = model.connectivity().signInURL();
    const bool signIn = openSignInPage_ && !model.pausedUntil() && snapshot.verdict == Verdict::signInNeeded &&
                        signInURL_.isValid();
    signIn_->setToolTip(signInURL_.toDisplayString());
    signIn_->setAccessibleDescription(tr("Opens %1 in the browser").arg(signInURL_.toDisplayString()));
    signIn_->setVisible(signIn);
}

}  // namespace nerivane
