#include "nerivane/ui/cards/TargetCards.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QVBoxLayout>
#include <algorithm>

#include "nerivane/core/AppModel.h"
#include "nerivane/core/LookupTexts.h"
#include "nerivane/ui/cards/CardColors.h"
#include "nerivane/ui/cards/CardFrame.h"
#include "nerivane/ui/cards/CardTexts.h"
#include "nerivane/ui/cards/Symbols.h"
#include "nerivane/ui/cards/TraceView.h"

namespace nerivane::TargetCards {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("TargetCards", text); }

QLabel* tag(const QString& text, const QColor& colour, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.8);
    label->setFont(font);
    label->setStyleSheet(QStringLiteral("QLabel { color: %1; border: 1px solid %1; border-radius: 3px; padding: 0px 3px; }")
                             .arg(colour.name()));
    return label;
}

std::vector<TraceSample> samplesOf(const AppModel& model, const TargetRole& role) {
    const auto found = model.samples().find(role);
    return found == model.samples().end() ? std::vector<TraceSample>{} : found->second;
}

// The colour of the index-th host's line: the first in the colour of its
// state, the others in hues told apart with any colour vision.
QColor hostColour(std::size_t index, const TargetSnapshot& target, const CardContext& context, const QPalette& palette) {
    if (index == 0) return CardColors::state(target.state.kind, context.accent, palette);
    return CardColors::hostColour(index, palette);
}

// A short line in the host's colour before its name: the trace's legend.
QLabel* swatch(const QColor& colour, QWidget* parent) {
    auto* label = new QLabel(parent);
    const qreal ratio = parent->devicePixelRatioF();
    QPixmap line(QSize(12, 10) * ratio);
    line.setDevicePixelRatio(ratio);
    line.fill(Qt::transparent);
    QPainter painter(&line);
    painter.fillRect(QRectF(0, 4, 12, 2.5), colour);
    painter.end();
    label->setPixmap(line);
    return label;
}

TraceView* trace(const AppModel& model, const std::vector<TargetSnapshot>& targets, double floor,
                 const CardContext& context, QWidget* parent) {
    std::vector<TraceView::Series> series;
    const QPalette& palette = parent->palette();
    for (std::size_t index = 0; index < targets.size(); ++index)
        series.push_back({samplesOf(model, targets[index].target.role), hostColour(index, targets[index], context, palette)});
    const double scale = TraceView::layout(series, floor, context.texts.now, QRectF(0, 0, 100, 40)).scale;
    auto* view = new TraceView(std::move(series), floor, context.texts.now, parent);
    view->setAccessibleName(tr("latency of the last minute"));
    view->setAccessibleDescription(tr("scale up to %1").arg(TraceView::scaleText(scale)));
    return view;
}

// The DNS row: the server the system asks, its median lookup time and the
// last minute's failures, inked by their health.
QWidget* lookupRow(const LookupSnapshot& lookups, const CardContext& context, QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 2, 0, 0);
    line->setSpacing(6);
    line->addWidget(CardFrame::secondaryLabel(tr("DNS"), row));
    auto* value = new QLabel(LookupTexts::rowText(lookups), row);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    const QPalette& palette = row->palette();
    switch (lookups.health) {
    case LookupSnapshot::Health::failing: CardFrame::setInk(value, CardColors::red(palette)); break;
    case LookupSnapshot::Health::slow: CardFrame::setInk(value, CardColors::orange(palette)); break;
    case LookupSnapshot::Health::ok: CardFrame::setInk(value, context.accent); break;
    case LookupSnapshot::Health::unknown: CardFrame::setInk(value, CardColors::secondary(palette)); break;
    }
    line->addWidget(value, 1);
    row->setAccessibleName(tr("DNS"));
    row->setAccessibleDescription(LookupTexts::healthText(lookups.health) + QStringLiteral(", ") + value->text());
    return row;
}

}  // namespace

QString remarks(const TargetSnapshot& target, const VerdictTexts::Context& context) {
    QStringList lines;
    if (target.slowToOwnPings) lines << tr("Answers its own pings slowly; traffic through it is fine");
    const Metrics& metrics = target.metrics;
    if (metrics.lostInOutages > 0 && metrics.sent > 0 && target.pastOutageStart) {
        const QString share = metrics.lostInOutages == metrics.lost ? tr("all")
                              : metrics.lostInOutages * 2 > metrics.lost ? tr("most")
                                                                         : tr("some");
        lines << tr("%1 lost, %2 during the outage at %3")
                     .arg(VerdictTexts::percentText(metrics.lost * 100.0 / metrics.sent), share,
                          VerdictTexts::timeText(*target.pastOutageStart, context));
    }
    return lines.join(QLatin1Char('\n'));
}

QWidget* statsRow(const std::array<CardTexts::Value, 5>& statistics, QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* grid = new QGridLayout(row);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(0);
    int column = 0;
    for (const auto& value : statistics) {
        auto* label = CardFrame::secondaryLabel(value.label, row);
        label->setAccessibleName(value.label);
        label->setAccessibleDescription(value.meaning);
        label->setToolTip(value.meaning);
        grid->addWidget(label, 0, column);
        grid->addWidget(CardFrame::valueLabel(value, row), 1, column);
        grid->setColumnStretch(column, 1);
        ++column;
    }
    return row;
}

Rows rows(const TargetSnapshot& target, bool isSecondary, std::optional<Verdict> verdict, const CardContext& context,
          const QPalette& palette) {
    Rows rows;
    rows.host = CardTexts::hostName(target);
    rows.hostInk = CardColors::state(target.state.kind, context.accent, palette);
    if (isSecondary) rows.hostInk = CardColors::mix(rows.hostInk, palette.color(QPalette::Window), 0.3);
    rows.hostBold = !isSecondary;
    const QStringList tags = CardTexts::hostTags(target);
    for (qsizetype index = 0; index < tags.size(); ++index) {
        // "answered locally" comes last and is a warning: the numbers are not the internet's.
        const bool warning = target.answeredLocally && index == tags.size() - 1;
        rows.tags.push_back({tags[index], warning ? CardColors::orange(palette) : CardColors::secondary(palette)});
    }
    rows.state = CardTexts::stateLine(target, verdict, context.texts);
    const auto kind = target.state.kind;
    rows.stateInk = target.status == TargetStatus::warmingUp || kind == TargetState::Kind::measuring
                        ? CardColors::secondary(palette)
                        : CardColors::state(kind, context.accent, palette);
    rows.statistics = CardTexts::statistics(target.metrics, context.texts);
    rows.remark = remarks(target, context.texts);
    rows.spoken = rows.remark.isEmpty() ? rows.state
                  : rows.state.isEmpty() ? rows.remark
                                         : rows.state + QStringLiteral(". ") + rows.remark;
    return rows;
}

QWidget* targetRows(const TargetSnapshot& target, bool isSecondary, std::optional<Verdict> verdict,
                    const CardContext& context, QWidget* parent, std::optional<QColor> traceColour, bool showsHost) {
    auto* block = new QWidget(parent);
    auto* layout = new QVBoxLayout(block);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);

    const Rows shown = rows(target, isSecondary, verdict, context, block->palette());
    auto* hostLine = new QHBoxLayout;
    hostLine->setSpacing(5);
    if (traceColour) hostLine->addWidget(swatch(*traceColour, block));
    auto* host = new QLabel(shown.host, block);
    // A card titled with the host does not name it again.
    host->setVisible(showsHost);
    QFont bold = host->font();
    bold.setBold(shown.hostBold);
    host->setFont(bold);
    host->setTextInteractionFlags(Qt::TextSelectableByMouse);
    CardFrame::setInk(host, shown.hostInk);
    hostLine->addWidget(host);
    for (const auto& each : shown.tags) hostLine->addWidget(tag(each.text, each.ink, block));
    hostLine->addStretch(1);
    layout->addLayout(hostLine);
    // Always made, hidden while empty: a target going bad changes a text, not the card's shape.
    auto* line = new QLabel(shown.state, block);
    line->setWordWrap(true);
    CardFrame::setInk(line, shown.stateInk);
    line->setVisible(!shown.state.isEmpty());
    layout->addWidget(line);
    layout->addWidget(statsRow(shown.statistics, block));
    // Made and hidden like the state line: what the figures above do not say about now.
    auto* note = CardFrame::secondaryLabel(shown.remark, block);
    note->setWordWrap(true);
    note->setVisible(!shown.remark.isEmpty());
    layout->addWidget(note);
    block->setAccessibleName(shown.host);
    block->setAccessibleDescription(shown.spoken);
    return block;
}

std::unique_ptr<CardFrame> internetCard(const AppModel& model, const CardContext& context) {
    const auto& snapshot = model.snapshot();
    auto card = std::make_unique<CardFrame>(tr("INTERNET"));
    card->setAccessibleName(tr("Internet"));
    std::vector<TargetSnapshot> internet;
    for (const auto& target : snapshot.targets) {
        if (target.target.role.isInternet()) internet.push_back(target);
    }
    // An internet host left out for its name is told; the others go on.
    for (const auto& lookup : snapshot.unresolved) {
        if (lookup.role.isInternet())
            card->body()->addWidget(CardFrame::note(QString::fromStdString(lookup.shownText()), QString(), card.get()));
    }
    if (internet.empty()) {
        card->body()->addWidget(CardFrame::note(CardTexts::internetNote(snapshot.verdict), QString(), card.get()));
        return card;
    }
    const QPalette& palette = card->palette();
    for (std::size_t index = 0; index < internet.size(); ++index) {
        const auto colour = internet.size() > 1 ? std::optional(hostColour(index, internet[index], context, palette)) : std::nullopt;
        card->body()->addWidget(targetRows(internet[index], index > 0, std::nullopt, context, card.get(), colour, true));
    }
    card->body()->addWidget(trace(model, internet, TraceSample::internetFloor, context, card.get()));
    if (snapshot.lookups) card->body()->addWidget(lookupRow(*snapshot.lookups, context, card.get()));
    return card;
}

std::unique_ptr<CardFrame> routerCard(const AppModel& model, const CardContext& context) {
    const auto& snapshot = model.snapshot();
    auto card = std::make_unique<CardFrame>(tr("ROUTER"));
    card->setAccessibleName(tr("Router"));
    std::optional<TargetSnapshot> router;
    for (const auto& target : snapshot.targets) {
        if (target.target.role.kind == TargetRole::Kind::router) router = target;
    }
    if (const auto note = CardTexts::routerNote(router)) {
        card->body()->addWidget(CardFrame::note(*note, QString(), card.get()));
        return card;
    }
    card->body()->addWidget(targetRows(*router, false, snapshot.verdict, context, card.get()));
    card->body()->addWidget(trace(model, {*router}, TraceSample::routerFloor, context, card.get()));
    return card;
}

std::unique_ptr<CardFrame> providerCard(const AppModel& model, const CardContext& context) {
    const auto& snapshot = model.snapshot();
    const auto provider = std::find_if(snapshot.targets.begin(), snapshot.targets.end(),
                                       [](const TargetSnapshot& t) { return t.target.role == TargetRole::provider(); });
    if (provider == snapshot.targets.end()) return nullptr;
    auto card = std::make_unique<CardFrame>(tr("PROVIDER"));
    card->setAccessibleName(tr("Provider"));
    if (provider->status == TargetStatus::doesntAnswerPing || provider->status == TargetStatus::pingNotPermitted) {
        card->body()->addWidget(CardFrame::note(
            tr("%1 doesn't answer ping").arg(QString::fromStdString(provider->target.address.text())), QString(), card.get()));
        return card;
    }
    card->body()->addWidget(targetRows(*provider, false, std::nullopt, context, card.get()));
    // Hops limit their answers to ping; with the internet fine that is all it is.
    const QString note = provider->state.isProblem() && snapshot.internet == TargetState::ok()
                             ? tr("First hop beyond your router; it limits its answers to ping, traffic through it is fine")
                             : tr("First hop beyond your router");
    card->body()->addWidget(CardFrame::secondaryLabel(note, card.get()));
    card->body()->addWidget(trace(model, {*provider}, TraceSample::routerFloor, context, card.get()));
    return card;
}

std::unique_ptr<CardFrame> customCard(const AppModel& model, const TargetSnapshot& target, const CardContext& context) {
    auto card = std::make_unique<CardFrame>(QString::fromStdString(target.target.host));
    card->setAccessibleName(QString::fromStdString(target.target.host));
    card->body()->addWidget(targetRows(target, false, std::nullopt, context, card.get(), std::nullopt, false));
    const auto samples = samplesOf(model, target.target.role);
    auto* lost = CardFrame::secondaryLabel(CardTexts::lostLine(CardTexts::lostInLastMinute(samples, context.texts.now)), card.get());
    card->body()->addWidget(lost);
    card->body()->addWidget(trace(model, {target}, TraceSample::internetFloor, context, card.get()));
    return card;
}

std::unique_ptr<CardFrame> lookupCard(const HostLookup& lookup) {
    auto card = std::make_unique<CardFrame>(QString::fromStdString(lookup.host));
    card->setAccessibleName(QString::fromStdString(lookup.host));
    card->body()->addWidget(CardFrame::note(QString::fromStdString(lookup.shownText()), QString(), card.get()));
    return card;
}

std::unique_ptr<CardFrame> offlineCard(std::optional<double> since, const CardContext& context) {
    auto card = std::make_unique<CardFrame>(QString());
    card->setAccessibleName(tr("No network"));
    auto* row = new QHBoxLayout;
    row->setSpacing(10);
    auto* symbol = new QLabel(card.get());
    symbol->setPixmap(Symbols::icon(Symbols::Symbol::offline, CardColors::secondary(card->palette())).pixmap(28, 28));
    symbol->setAccessibleName(QString());
    row->addWidget(symbol, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(1);
    auto* title = new QLabel(tr("No network"), card.get());
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    texts->addWidget(title);
    if (since) texts->addWidget(CardFrame::secondaryLabel(tr("Offline since ") + VerdictTexts::timeText(*since, context.texts), card.get()));
    row->addLayout(texts, 1);
    card->body()->addLayout(row);
    return card;
}

QStringList targetSet(const MonitorSnapshot& snapshot) {
    if (snapshot.verdict == Verdict::offline) return {QStringLiteral("offline")};
    QStringList set;
    for (const auto& target : snapshot.targets)
        set << QString::fromStdString(target.target.role.text() + ' ' + target.target.host);
    for (const auto& lookup : snapshot.unresolved)
        set << QString::fromStdString(lookup.role.text() + ' ' + lookup.host + " unresolved");
    return set;
}

namespace {

// The card and its widgets, parents before children, in the order made.
QList<QWidget*> widgetsOf(QWidget* card) {
    QList<QWidget*> widgets{card};
    widgets += card->findChildren<QWidget*>();
    return widgets;
}

bool sameShape(const QList<QWidget*>& shown, const QList<QWidget*>& made) {
    if (shown.size() != made.size()) return false;
    for (qsizetype i = 0; i < shown.size(); ++i) {
        if (shown[i]->metaObject() != made[i]->metaObject()) return false;
    }
    return true;
}

// Each change tells screen readers: a value that changes speaks again.
void copyTexts(QWidget* shown, QWidget* made) {
    // Only what was hidden on purpose: widgets never shown count as hidden too.
    const auto hidden = [](QWidget* widget) {
        return widget->isHidden() && widget->testAttribute(Qt::WA_WState_ExplicitShowHide);
    };
    if (hidden(shown) != hidden(made)) shown->setVisible(!hidden(made));
    if (made->testAttribute(Qt::WA_SetPalette) &&
        shown->palette().color(QPalette::WindowText) != made->palette().color(QPalette::WindowText))
        CardFrame::setInk(shown, made->palette().color(QPalette::WindowText));
    if (auto* label = qobject_cast<QLabel*>(shown)) {
        // QLabel tells of its own new text where it has no accessible name.
        if (const QString text = static_cast<QLabel*>(made)->text(); label->text() != text) label->setText(text);
    }
    if (auto* trace = qobject_cast<TraceView*>(shown)) trace->takeData(*static_cast<TraceView*>(made));
    CardFrame::setSpoken(shown, made->accessibleName(), made->accessibleDescription());
}

}  // namespace

bool update(const std::vector<QWidget*>& shown, const std::vector<std::unique_ptr<CardFrame>>& made) {
    if (shown.size() != made.size()) return false;
    std::vector<std::pair<QList<QWidget*>, QList<QWidget*>>> pairs;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        pairs.emplace_back(widgetsOf(shown[i]), widgetsOf(made[i].get()));
        if (!sameShape(pairs.back().first, pairs.back().second)) return false;
    }
    for (const auto& [before, after] : pairs) {
        for (qsizetype i = 0; i < before.size(); ++i) copyTexts(before[i], after[i]);
    }
    return true;
}

std::vector<std::unique_ptr<CardFrame>> make(const AppModel& model, const CardContext& context) {
    const auto& snapshot = model.snapshot();
    std::vector<std::unique_ptr<CardFrame>> cards;
    if (snapshot.verdict == Verdict::offline) {
        cards.push_back(offlineCard(model.offlineSince(), context));
        return cards;
    }
    cards.push_back(internetCard(model, context));
    if (auto provider = providerCard(model, context)) cards.push_back(std::move(provider));
    cards.push_back(routerCard(model, context));
    // Custom hosts in the order of the settings, probed or still a name.
    std::vector<std::pair<TargetRole, std::unique_ptr<CardFrame>>> custom;
    for (const auto& target : snapshot.targets) {
        if (target.target.role.isCustom()) custom.emplace_back(target.target.role, customCard(model, target, context));
    }
    for (const auto& lookup : snapshot.unresolved) {
        if (lookup.role.isCustom()) custom.emplace_back(lookup.role, lookupCard(lookup));
    }
    std::stable_sort(custom.begin(), custom.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& entry : custom) cards.push_back(std::move(entry.second));
    return cards;
}

}  // namespace nerivane::TargetCards
