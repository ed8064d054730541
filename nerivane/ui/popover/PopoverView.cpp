#include "nerivane/ui/popover/PopoverView.h"

#include <QCheckBox>
#include <QApplication>
#include <QEvent>
#include <QFontInfo>
#include <QScrollBar>
#include <QStyle>
#include <algorithm>
#include <cmath>

#include "nerivane/core/AppModel.h"
#include "nerivane/ui/cards/CardColors.h"
#include "nerivane/ui/cards/CardTexts.h"
#include "nerivane/ui/cards/DetailCards.h"
#include "nerivane/ui/cards/EventsCard.h"
#include "nerivane/ui/cards/LoadCard.h"
#include "nerivane/ui/cards/TargetCards.h"
#include "nerivane/ui/cards/WiFiCard.h"
#include "nerivane/ui/popover/PopoverFooter.h"
#include "nerivane/ui/popover/PopoverHeader.h"
#include "nerivane/ui/popover/PopoverState.h"
#include "nerivane/ui/settings/SettingsStyle.h"

namespace nerivane {
namespace {

constexpr int margin = 10;
constexpr int spacing = 8;
// Between the cards and a scroll bar beside them.
constexpr int scrollBarGap = 4;

QVBoxLayout* stack(QWidget* parent = nullptr) {
    auto* layout = new QVBoxLayout(parent);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

}  // namespace

PopoverView::PopoverView(AppModel& model, PopoverState& state, PopoverActions actions, Places places, Options options,
                         QWidget* parent)
    : QWidget(parent),
      model_(model),
      preferences_(model.preferences()),
      state_(state),
      actions_(std::move(actions)),
      places_(std::move(places)),
      options_(std::move(options)) {
    setFixedWidth(fixedWidth());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(margin, margin, margin, margin - 2);
    layout->setSpacing(spacing);

    header_ = new PopoverHeader(this, actions_.openSignInPage);
    layout->addWidget(header_);

    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setBackgroundRole(QPalette::Window);
    // A short column (the settings page) must not take the header's room
    // for a scroll area's usual minimum.
    scroll_->setMinimumHeight(1);
    // The column keeps one width whether the scroll bar shows or not: its
    // room is kept free beside the column while it is hidden, so nothing
    // reflows or is cut when it appears.
    connect(scroll_->verticalScrollBar(), &QScrollBar::rangeChanged, this, &PopoverView::reserveScrollBar, Qt::QueuedConnection);
    layout->addWidget(scroll_, 1);

    footer_ = new PopoverFooter(state_, actions_, options_.version, static_cast<bool>(places_.settingsPage), this);
    layout->addWidget(footer_);
    // Header and footer end where the cards do.
    for (QWidget* part : {static_cast<QWidget*>(header_), static_cast<QWidget*>(footer_)}) part->setContentsMargins(0, 0, scrollBarRoom(), 0);

    rebuildColumn();

    connect(&model_, &AppModel::changed, this, &PopoverView::refresh);
    connect(&model_, &AppModel::wifiChanged, this, &PopoverView::refreshWiFi);
    connect(&state_, &PopoverState::showingSettingsChanged, this, &PopoverView::rebuildColumn);
    connect(&state_, &PopoverState::showingFirstRunChanged, this, &PopoverView::rebuildColumn);
    connect(&preferences_, &Preferences::accentChanged, this, &PopoverView::rebuildColumn);
}

PopoverView::~PopoverView() = default;

int PopoverView::fixedWidth() {
    const double points = QFontInfo(QApplication::font()).pointSizeF();
    return std::max(340, static_cast<int>(std::lround(340 * points / 9)));
}

EventsCard* PopoverView::eventsCard() const { return eventsCard_; }

CardContext PopoverView::cardContext() const {
    return {options_.context ? options_.context() : VerdictTexts::Context::current(),
            CardColors::accent(preferences_.accent(), palette())};
}

void PopoverView::clearLayout(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
}

void PopoverView::rebuildColumn() {
    const int scrolled = scroll_->verticalScrollBar()->value();
    delete column_;
    targets_ = nullptr;
    targetSet_.clear();
    column_ = new QWidget;
    column_->setObjectName(QStringLiteral("column"));
    auto* layout = stack(column_);
    const CardContext context = cardContext();

    if (state_.showingSettings()) {
        if (places_.settingsPage) {
            if (auto page = places_.settingsPage()) layout->addWidget(page.release());
        }
    } else {
        if (state_.showingFirstRun()) {
            // The update check is offered only where the build has one.
            const QString words = CardTexts::firstRunText(preferences_.dnsProbeName(), static_cast<bool>(actions_.installUpdate));
            layout->addWidget(DetailCards::firstRunCard(words, actions_.dismissFirstRun,
                                                        places_.launchAtLogin ? places_.launchAtLogin() : nullptr,
                                                        outageSwitch())
                                  .release());
            model_.offerOutageNotifications();
        }
        targets_ = stack();
        layout->addLayout(targets_);
        loadCard_ = new LoadCard(column_);
        targets_->addWidget(loadCard_);
        if (places_.historyCard) {
            if (auto card = places_.historyCard()) layout->addWidget(card.release());
        }
        auto* wifi = stack();
        layout->addLayout(wifi);
        wifiCard_ = new WiFiCard(column_);
        wifi->addWidget(wifiCard_);
        eventsCard_ =
            new EventsCard(model_.recentEvents(), model_.busySpans(), model_.history(), actions_.exportData, context);
        connect(eventsCard_, &EventsCard::loaded, this, &PopoverView::contentChanged);
        // The open popup follows: an event that ends meanwhile joins its incident at once.
        connect(&model_, &AppModel::eventApplied, eventsCard_, [this](const NetworkEvent& event) {
            eventsCard_->add(event, model_.busySpans());
            emit contentChanged();
        });
        layout->addWidget(eventsCard_);
    }
    layout->addStretch(1);
    scroll_->setWidget(column_);
    reserveScrollBar();
    refresh();
    scroll_->verticalScrollBar()->setValue(scrolled);
}

std::unique_ptr<QWidget> PopoverView::outageSwitch() {
    // The settings' own preference, offered where a new user looks first.
    auto row = std::make_unique<QWidget>();
    auto* layout = new QVBoxLayout(row.get());
    layout->setContentsMargins(0, 0, 0, 0);
    QCheckBox* toggle = SettingsStyle::trailingSwitch(tr("Notify me when the internet goes down"), layout, row.get());
    toggle->setObjectName(QStringLiteral("welcomeNotifyOutages"));
    toggle->setChecked(preferences_.notifyOutages());
    connect(toggle, &QCheckBox::clicked, &preferences_, &Preferences::setNotifyOutages);
    connect(&preferences_, &Preferences::notifyOutagesChanged, toggle, [this, toggle] { toggle->setChecked(preferences_.notifyOutages()); });
    return row;
}

void PopoverView::refresh() {
    const CardContext context = cardContext();
    header_->refresh(model_, context);
    if (targets_ != nullptr) {
        // The same targets: the cards shown take the new texts, so focus stays
        // on them. Other targets, or rows come or gone: the new cards replace them.
        std::vector<std::unique_ptr<CardFrame>> made = TargetCards::make(model_, context);
        std::vector<QWidget*> shown;
        for (int i = 0; i < targets_->count(); ++i) {
            if (QWidget* card = targets_->itemAt(i)->widget(); card != loadCard_) shown.push_back(card);
        }
        const QStringList set = TargetCards::targetSet(model_.snapshot());
        if (set != targetSet_ || !TargetCards::update(shown, made)) {
            targets_->removeWidget(loadCard_);
            clearLayout(targets_);
            for (auto& card : made) targets_->addWidget(card.release());
            // Under the first card: the internet's (the card hides under the offline card).
            targets_->insertWidget(1, loadCard_);
            targetSet_ = set;
        }
        loadCard_->update(model_.snapshot(), context);
    }
    refreshWiFi();
    emit contentChanged();
}

void PopoverView::refreshWiFi() {
    if (wifiCard_ == nullptr) return;
    // The model holds details only while the path is Wi-Fi; the snapshot's page brings its own.
    wifiCard_->update(options_.wifi ? options_.wifi : model_.wifi());
    emit contentChanged();
}

int PopoverView::contentHeight() const {
    const QMargins margins = contentsMargins() + layout()->contentsMargins();
    const int inner = fixedWidth() - margins.left() - margins.right() - scrollBarRoom();
    // Wrapped texts are as tall as the width they get.
    const auto height = [inner](QLayout* layout) {
        // Cards replaced inside nested layouts leave cached hints behind.
        layout->invalidate();
        return layout->hasHeightForWidth() ? layout->heightForWidth(inner) : layout->sizeHint().height();
    };
    const int columnHeight = column_ != nullptr ? height(column_->layout()) : 0;
    return margins.top() + height(header_->layout()) + spacing + columnHeight + spacing +
           footer_->sizeHint().height() + margins.bottom();
}

int PopoverView::scrollBarRoom() const {
    return style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll_) + scrollBarGap;
}

void PopoverView::reserveScrollBar() {
    if (column_ == nullptr) return;
    const int room = scroll_->verticalScrollBar()->maximum() > 0 ? scrollBarGap : scrollBarRoom();
    if (column_->contentsMargins().right() != room) column_->setContentsMargins(0, 0, room, 0);
}

int PopoverView::overflow() const { return scroll_->verticalScrollBar()->maximum(); }

void PopoverView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Colours are taken from the palette when widgets are made: make them again.
    if (scroll_ == nullptr) return;
    if (event->type() != QEvent::PaletteChange && event->type() != QEvent::StyleChange) return;
    rebuildColumn();
    // The header takes its inks from its own palette, which it is given
    // after us: refreshed again once it has it.
    QMetaObject::invokeMethod(this, &PopoverView::refresh, Qt::QueuedConnection);
}

}  // namespace nerivane
