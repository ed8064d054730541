// The popup's history card: "HISTORY" with a target and a range picker above
// the chart and its legend. Whenever it is shown or a picker changes, it reads
// the chart buckets on a thread of its own (never the main thread) and shows
// the answer; an answer for a choice that has since changed is dropped.
// Owned by the popup; main thread (the reader runs on the card's pool).
#pragma once

#include <QThreadPool>
#include <QWidget>
#include <functional>
#include <vector>

#include "NerivaneKit/history/ChartBucket.h"
#include "NerivaneKit/history/ChartRange.h"
#include "nerivane/ui/history/ChartTarget.h"

namespace nerivane {

class AppModel;
class ChartLegend;
class ChartView;
class Preferences;
class SegmentedPicker;

class HistoryCard : public QWidget {
    Q_OBJECT

public:
    // Reads buckets off the main thread; may throw (the card then shows none).
    using Reader = std::function<std::vector<ChartBucket>(ChartRange range, const TargetRole& role, double now)>;

    // The model's history (none shown without one) at the wall clock's time.
    explicit HistoryCard(AppModel& model, QWidget* parent = nullptr);
    // now gives Unix seconds.
    HistoryCard(Preferences& preferences, Reader reader, std::function<double()> now, QWidget* parent = nullptr);
    // Waits for a read in progress; its answer is then dropped.
    ~HistoryCard() override;

    ChartRange range() const { return range_; }
    ChartTarget target() const { return target_; }
    // As a user's choice: the picker follows, and a shown card re-reads.
    void setRange(ChartRange range);
    void setTarget(ChartTarget target);

    const std::vector<ChartBucket>& buckets() const;
    ChartView& chart() { return *chart_; }
    // Reads now for the current choice (also done when the card is shown).
    void reload();

signals:
    void rangeChanged(nerivane::ChartRange range);
    void targetChanged(nerivane::ChartTarget target);
    // A read's answer has replaced the buckets.
    void bucketsLoaded();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void applyAccent();
    void apply(int generation, ChartRange range, std::vector<ChartBucket> buckets);

    Preferences& preferences_;
    Reader reader_;
    std::function<double()> now_;
    ChartRange range_ = ChartRange::hour;
    ChartTarget target_ = ChartTarget::internet;
    // Moves on with every read and every change of choice; only an answer
    // read for the current choice counts.
    int generation_ = 0;

    SegmentedPicker* targetPicker_ = nullptr;
    SegmentedPicker* rangePicker_ = nullptr;
    ChartView* chart_ = nullptr;
    ChartLegend* legend_ = nullptr;
    // Last: stopped first, before the widgets its answers would touch.
    QThreadPool pool_;
};

}  // namespace nerivane
