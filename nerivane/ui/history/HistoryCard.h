// The popup's history card: "HISTORY" with a target and a range picker above
// the chart and its legend. Whenever it is shown or a picker changes, and
// every refreshSeconds while it is shown and the model goes on, it reads the
// chart buckets on a thread of its own (never the main thread) and shows the
// answer; an answer for a choice that has since changed is dropped.
// Owned by the popup; main thread (the reader runs on the card's pool).
#pragma once

#include <QThreadPool>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "NerivaneKit/history/ChartBucket.h"
#include "NerivaneKit/history/ChartRange.h"
#include "nerivane/ui/cards/CardFrame.h"
#include "nerivane/ui/history/ChartTarget.h"

class QHBoxLayout;

namespace nerivane {

class AppModel;
class ChartLegend;
class ChartView;
class ExportFlow;
class Preferences;
class SegmentedPicker;

class HistoryCard : public CardFrame {
    Q_OBJECT

public:
    // Reads buckets off the main thread; may throw (the card then shows none).
    using Reader = std::function<std::vector<ChartBucket>(ChartRange range, const TargetRole& role, double now)>;
    // The start of the oldest stored minute (Unix seconds), none while history
    // is empty; read with the buckets. May throw.
    using Beginning = std::function<std::optional<double>()>;
    // An open card reads again at most this often: history writes its
    // minutes on a timer of the same period.
    static constexpr double refreshSeconds = 10;

    // The model's history (none shown without one) at now's time (Unix
    // seconds; the wall clock's when empty).
    explicit HistoryCard(AppModel& model, std::function<double()> now = {}, QWidget* parent = nullptr);
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
    // A read has answered for the current choice (bucketsLoaded was sent).
    bool isLoaded() const { return loaded_; }
    ChartView& chart() { return *chart_; }
    // Saves the report through the save dialog; none without a model's history.
    ExportFlow* reportFlow() { return reportFlow_; }
    // Reads now for the current choice (also done when the card is shown).
    void reload();
    // Reads again when shown and the last read is refreshSeconds old: the
    // current bucket grows while the popup is open.
    void refresh();
    // Where history begins, so the time before a new user's first start
    // reads "no data yet"; without it that time is "not running".
    void setBeginning(Beginning beginning) { beginning_ = std::move(beginning); }

signals:
    void rangeChanged(nerivane::ChartRange range);
    void targetChanged(nerivane::ChartTarget target);
    // A read's answer has replaced the buckets.
    void bucketsLoaded();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void applyAccent();
    void addReportButton(AppModel& model);
    void apply(int generation, ChartRange range, std::vector<ChartBucket> buckets, std::optional<double> firstRecorded);

    Preferences& preferences_;
    Reader reader_;
    std::function<double()> now_;
    Beginning beginning_;
    // When the last read was asked for (now_'s seconds).
    std::optional<double> lastRead_;
    ChartRange range_ = ChartRange::hour;
    ChartTarget target_ = ChartTarget::internet;
    // Moves on with every read and every change of choice; only an answer
    // read for the current choice counts.
    int generation_ = 0;
    bool loaded_ = false;

    SegmentedPicker* targetPicker_ = nullptr;
    SegmentedPicker* rangePicker_ = nullptr;
    ChartView* chart_ = nullptr;
    ChartLegend* legend_ = nullptr;
    ExportFlow* reportFlow_ = nullptr;
    // Last: stopped first, before the widgets its answers would touch.
    QThreadPool pool_;
};

}  // namespace nerivane
