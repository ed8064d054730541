#include "nerivane/ui/history/HistoryCard.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QToolButton>
#include <QVBoxLayout>
#include <exception>

#include "NerivaneKit/platform/Log.h"
#include "nerivane/core/AppModel.h"
#include "nerivane/core/Preferences.h"
#include "nerivane/ui/cards/CardColors.h"
#include "nerivane/ui/cards/Symbols.h"
#include "nerivane/ui/history/ChartLegend.h"
#include "nerivane/ui/history/ChartView.h"
#include "nerivane/ui/popover/ExportFlow.h"
#include "nerivane/ui/settings/SegmentedPicker.h"

namespace nerivane {

namespace {

QString rangeLabel(ChartRange range) {
    switch (range) {
    case ChartRange::hour: return QStringLiteral("1h");
    case ChartRange::day: return QStringLiteral("24h");
    case ChartRange::week: return QStringLiteral("7d");
    }
    return QString();
}

HistoryCard::Reader modelReader(AppModel& model) {
    History* history = model.history();
    if (!history) return [](ChartRange, const TargetRole&, double) { return std::vector<ChartBucket>(); };
    return [history](ChartRange range, const TargetRole& role, double now) { return history->chart(range, role, dateFromUnixSeconds(now)); };
}

HistoryCard::Beginning modelBeginning(AppModel& model) {
    History* history = model.history();
    if (!history) return {};
    return [history]() -> std::optional<double> {
        const auto oldest = history->withQueries([](const HistoryQueries& queries) { return queries.oldestStart(); });
        if (!oldest) return std::nullopt;
        return static_cast<double>(*oldest);
    };
}

double wallClock() { return static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000; }

}  // namespace

HistoryCard::HistoryCard(AppModel& model, std::function<double()> now, QWidget* parent)
    : HistoryCard(model.preferences(), modelReader(model), now ? std::move(now) : wallClock, parent) {
    beginning_ = modelBeginning(model);
    connect(&model, &AppModel::snapshotApplied, this, &HistoryCard::refresh);
    if (model.history()) addReportButton(model);
}

HistoryCard::HistoryCard(Preferences& preferences, Reader reader, std::function<double()> now, QWidget* parent)
    : CardFrame(tr("HISTORY"), parent), preferences_(preferences), reader_(std::move(reader)), now_(std::move(now)) {
    pool_.setMaxThreadCount(1);

    QStringList targets, ranges;
    for (ChartTarget target : allChartTargets) targets.append(label(target));
    for (ChartRange range : allChartRanges) ranges.append(rangeLabel(range));
    targetPicker_ = new SegmentedPicker(tr("Target"), targets, this);
    rangePicker_ = new SegmentedPicker(tr("Range"), ranges, this);
    targetPicker_->setAccessibleDescription(tr("Which target the chart shows"));
    rangePicker_->setAccessibleDescription(tr("How far back the chart reaches"));
    targetPicker_->setCurrentIndex(static_cast<int>(target_));
    rangePicker_->setCurrentIndex(static_cast<int>(range_));

    chart_ = new ChartView(this);
    legend_ = new ChartLegend(this);

    // A card like the others; the pickers in a row of their own, so that a
    // large font still fits them.
    auto* header = new QHBoxLayout;
    header->addWidget(targetPicker_);
    header->addStretch(1);
    header->addWidget(rangePicker_);
    QVBoxLayout* layout = body();
    layout->addLayout(header);
    layout->addWidget(chart_);
    layout->addWidget(legend_);

    connect(targetPicker_, &SegmentedPicker::activated, this,
            [this](int index) { setTarget(allChartTargets.at(static_cast<std::size_t>(index))); });
    connect(rangePicker_, &SegmentedPicker::activated, this,
            [this](int index) { setRange(allChartRanges.at(static_cast<std::size_t>(index))); });
    connect(&preferences_, &Preferences::accentChanged, this, &HistoryCard::applyAccent);
    applyAccent();
}

HistoryCard::~HistoryCard() {
    pool_.clear();
    // Answers posted meanwhile die with this object's pending events.
    pool_.waitForDone();
}

const std::vector<ChartBucket>& HistoryCard::buckets() const { return chart_->buckets(); }

void HistoryCard::setRange(ChartRange range) {
    rangePicker_->setCurrentIndex(static_cast<int>(range));
    if (range == range_) return;
    range_ = range;
    ++generation_;
    loaded_ = false;
    emit rangeChanged(range);
    if (isVisible()) reload();
}

void HistoryCard::setTarget(ChartTarget target) {
    targetPicker_->setCurrentIndex(static_cast<int>(target));
    if (target == target_) return;
    target_ = target;
    ++generation_;
    loaded_ = false;
    emit targetChanged(target);
    if (isVisible()) reload();
}

void HistoryCard::showEvent(QShowEvent* event) {
    CardFrame::showEvent(event);
    reload();
}

void HistoryCard::refresh() {
    if (!isVisible()) return;
    if (lastRead_ && now_() - *lastRead_ < refreshSeconds) return;
    reload();
}

void HistoryCard::reload() {
    const int generation = ++generation_;
    loaded_ = false;
    const ChartRange range = range_;
    const TargetRole role = nerivane::role(target_);
    const double now = now_();
    lastRead_ = now;
    pool_.start([this, reader = reader_, beginning = beginning_, generation, range, role, now] {
        std::vector<ChartBucket> buckets;
        std::optional<double> firstRecorded;
        try {
            buckets = reader(range, role, now);
            // Nothing stored yet: all of the range lies before history.
            if (beginning) firstRecorded = beginning().value_or(now);
        } catch (const std::exception& error) {
            Log("history").error(std::string("chart read failed: ") + error.what());
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation, range, firstRecorded, buckets = std::move(buckets)]() mutable {
                apply(generation, range, std::move(buckets), firstRecorded);
            },
            Qt::QueuedConnection);
    });
}

void HistoryCard::apply(int generation, ChartRange range, std::vector<ChartBucket> buckets,
                        std::optional<double> firstRecorded) {
    if (generation != generation_) return;
    chart_->setBuckets(std::move(buckets), range, firstRecorded);
    legend_->setShowRSSI(chart_->hasSignal());
    legend_->setShowThroughput(chart_->hasThroughput());
    loaded_ = true;
    emit bucketsLoaded();
}

void HistoryCard::addReportButton(AppModel& model) {
    reportFlow_ = new ExportFlow(model.history(), {}, {}, {}, this);
    // An icon as the events card's export has: the header has no room for words.
    auto* button = new QToolButton(this);
    button->setIcon(Symbols::icon(Symbols::Symbol::exportData, CardColors::secondary(palette())));
    button->setIconSize(QSize(14, 14));
    button->setToolTip(tr("report: save a page to send your provider"));
    button->setAccessibleName(tr("report"));
    button->setAutoRaise(true);
    button->setPopupMode(QToolButton::InstantPopup);
    auto* menu = new QMenu(button);
    for (const auto span : ReportExport::allSpans) {
        connect(menu->addAction(ReportExport::label(span)), &QAction::triggered, this,
                [this, &model, span] { reportFlow_->startReport(span, ReportExport::facts(model.snapshot().path)); });
    }
    button->setMenu(menu);
    // Beside the card's title, as the events card's export.
    titleRow()->addWidget(button);
}

void HistoryCard::applyAccent() {
    chart_->setAccent(preferences_.accent());
    legend_->setAccent(preferences_.accent());
}

}  // namespace nerivane
