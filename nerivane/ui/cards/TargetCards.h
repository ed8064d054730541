// The cards of the probed targets: internet, provider, router, one per custom host (a
// name not yet looked up or not found says so in its place), or the offline
// card in their place without a network; and their parts (host row, state
// line, statistics row). Built from the application model each time the
// popup refreshes, and while the same targets are shown, their texts copied
// into the cards already shown, so that focus stays and screen readers hear
// values change. The caller owns the cards made; they go into the popup's
// column. Main thread.
#pragma once

#include <QColor>
#include <QStringList>
#include <QWidget>
#include <memory>
#include <array>
#include <optional>
#include <vector>

#include "NerivaneKit/analysis/MonitorSnapshot.h"
#include "NerivaneKit/analysis/TargetSnapshot.h"
#include "NerivaneKit/probing/HostLookup.h"
#include "nerivane/ui/cards/CardContext.h"
#include "nerivane/ui/cards/CardFrame.h"
#include "nerivane/ui/cards/CardTexts.h"

namespace nerivane {
class AppModel;
}

namespace nerivane::TargetCards {

// The offline card while the verdict is offline; otherwise the internet and
// router cards and one card per custom target.
std::vector<std::unique_ptr<CardFrame>> make(const AppModel& model, const CardContext& context);

// What the cards are made for: the offline card, or each target's role and host.
QStringList targetSet(const MonitorSnapshot& snapshot);
// Copies the texts, inks, visibility, traces and accessible names of cards
// just made into the cards shown, widget by widget; false, with nothing
// changed, when the two are not of the same shape.
bool update(const std::vector<QWidget*>& shown, const std::vector<std::unique_ptr<CardFrame>>& made);

std::unique_ptr<CardFrame> internetCard(const AppModel& model, const CardContext& context);
std::unique_ptr<CardFrame> routerCard(const AppModel& model, const CardContext& context);
// The provider's edge between the two; none while no sweep has found one.
std::unique_ptr<CardFrame> providerCard(const AppModel& model, const CardContext& context);
std::unique_ptr<CardFrame> customCard(const AppModel& model, const TargetSnapshot& target, const CardContext& context);
// A custom host's card while its name has no address.
std::unique_ptr<CardFrame> lookupCard(const HostLookup& lookup);
std::unique_ptr<CardFrame> offlineCard(std::optional<double> since, const CardContext& context);

// What one target's rows show: host, tags, state line, statistics and
// remarks, with their inks from the palette. The verdict goes to the state
// line (it matters for the router only); a secondary host (the second
// internet host on) is drawn lighter.
struct Rows {
    struct Tag {
        QString text;
        QColor ink;
        bool operator==(const Tag&) const = default;
    };
    QString host;
    QColor hostInk;
    bool hostBold = true;
    std::vector<Tag> tags;
    // Empty for a target that is fine.
    QString state;
    QColor stateInk;
    std::array<CardTexts::Value, 5> statistics;
    QString remark;
    // What a screen reader hears of the rows: the state line and the remark.
    QString spoken;
    bool operator==(const Rows&) const = default;
};
Rows rows(const TargetSnapshot& target, bool isSecondary, std::optional<Verdict> verdict, const CardContext& context,
          const QPalette& palette);

// The rows drawn, made as a child of parent. traceColour puts a swatch of the
// host's line before its name; showsHost false leaves the name to the card title.
QWidget* targetRows(const TargetSnapshot& target, bool isSecondary, std::optional<Verdict> verdict,
                    const CardContext& context, QWidget* parent,
                    std::optional<QColor> traceColour = std::nullopt, bool showsHost = true);
QWidget* statsRow(const std::array<CardTexts::Value, 5>& statistics, QWidget* parent);
// What a target's figures do not say about the present, one remark a line:
// a router slow only to its own pings, losses that an ended outage holds
// ("12% lost, most during the outage at 1:15 PM"). Empty when none applies.
QString remarks(const TargetSnapshot& target, const VerdictTexts::Context& context);

}  // namespace nerivane::TargetCards
