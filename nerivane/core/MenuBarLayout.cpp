#include "nerivane/core/MenuBarLayout.h"

#include <algorithm>
#include <cmath>

#include "NerivaneKit/text/MenuBarText.h"
#include "nerivane/core/AppModel.h"
#include "nerivane/core/TraceSample.h"

namespace nerivane {
namespace {

constexpr const char* lostMark = "\u00b7";
constexpr const char* blocks[] = {"\u2581", "\u2582", "\u2583", "\u2584", "\u2585", "\u2586", "\u2587", "\u2588"};

const TargetSnapshot* find(const MonitorSnapshot& snapshot, const TargetRole& role) {
    for (const auto& target : snapshot.targets) {
        if (target.target.role == role) return &target;
    }
    return nullptr;
}

std::size_t characters(const std::string& text) {
    // UTF-8: count every byte that does not continue a character.
    return static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string traceText(const MenuBarLayout::Levels& levels) {
    std::string text;
    for (const auto& level : levels) {
        if (!level) {
            text += lostMark;
            continue;
        }
        const long index = std::clamp(std::lround(*level * 7), 0L, 7L);
        text += blocks[index];
    }
    return text;
}

// The padding that lines values up in columns collapsed to single blanks.
std::string squeezed(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
        out += c;
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::string joined(const std::vector<std::string>& texts) {
    std::string text;
    for (const auto& piece : texts) {
        if (!text.empty()) text += ' ';
        text += piece;
    }
    return text;
}

}  // namespace

std::string MenuBarLayout::label() const {
    std::vector<std::string> texts;
    for (const auto& piece : pieces) {
        if (const auto* stacked = std::get_if<Stacked>(&piece)) {
            texts.push_back(squeezed(stacked->value));
        } else if (const auto* pair = std::get_if<Pair>(&piece)) {
            texts.push_back(squeezed(pair->top) + " \u00b7 " + squeezed(pair->bottom));
        } else if (const auto* mark = std::get_if<Mark>(&piece)) {
            if (auto glyph = MenuBarText::glyph(*mark); !glyph.empty()) texts.emplace_back(glyph);
        }
    }
    return joined(texts);
}

std::string MenuBarLayout::labelGuide(MenuBarTarget target) {
    std::string widest(MenuBarText::widest);
    for (char& c : widest) {
        if (c >= '0' && c <= '9') c = '8';
    }
    return target == MenuBarTarget::both ? "R " + widest + " \u00b7 I " + widest : widest;
}

std::string MenuBarLayout::text() const {
    std::vector<std::string> texts;
    for (const auto& piece : pieces) {
        if (const auto* trace = std::get_if<Trace>(&piece)) {
            if (auto text = traceText(trace->levels); !text.empty()) texts.push_back(std::move(text));
        } else if (const auto* traces = std::get_if<Traces>(&piece)) {
            texts.push_back("R " + traceText(traces->top) + " I " + traceText(traces->bottom));
        } else if (const auto* stacked = std::get_if<Stacked>(&piece)) {
            texts.push_back(stacked->caption + " " + stacked->value);
        } else if (const auto* pair = std::get_if<Pair>(&piece)) {
            texts.push_back(pair->top + " " + pair->bottom);
        } else if (const auto* mark = std::get_if<Mark>(&piece)) {
            if (auto glyph = MenuBarText::glyph(*mark); !glyph.empty()) texts.emplace_back(glyph);
        }
    }
    return joined(texts);
}

MenuBarText::Value MenuBarLayout::value(const MonitorSnapshot& snapshot, const TargetRole& role) {
    const auto* target = find(snapshot, role);
    const bool measured = target != nullptr && target->state.kind != TargetState::Kind::down &&
                          (target->status == TargetStatus::icmp || target->status == TargetStatus::tcp);
    return MenuBarText::digits(measured ? target->metrics.latest : std::nullopt);
}

std::string MenuBarLayout::padded(const std::string& text) {
    const std::size_t width = MenuBarText::widest.size();
    const std::size_t length = characters(text);
    return length >= width ? text : std::string(width - length, ' ') + text;
}

MenuBarLayout::Levels MenuBarLayout::levels(const std::vector<std::optional<double>>& values,
                                            double floorMilliseconds) {
    const auto heights = MenuBarText::traceLevels(values, floorMilliseconds);
    Levels levels(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (values[i]) levels[i] = heights[i];
    }
    return levels;
}

MenuBarLayout MenuBarLayout::make(const MonitorSnapshot& snapshot, const std::vector<std::optional<double>>& internet,
                                  const std::vector<std::optional<double>>& router, DisplayStyle style,
                                  MenuBarTarget target, bool paused) {
    MenuBarLayout layout;
    layout.dimmed = paused;
    const TargetRole internetRole = TargetRole::internet(0);
    const TargetRole routerRole = TargetRole::router();
    if (target == MenuBarTarget::both) {
        if (style != DisplayStyle::text)
            layout.pieces.emplace_back(
                Traces{levels(router, TraceSample::routerFloor), levels(internet, TraceSample::internetFloor)});
        if (style != DisplayStyle::trace)
            layout.pieces.emplace_back(Pair{"R " + padded(value(snapshot, routerRole).text()),
                                            "I " + padded(value(snapshot, internetRole).text())});
    } else {
        const bool isRouter = target == MenuBarTarget::router;
        const TargetRole& role = isRouter ? routerRole : internetRole;
        if (style != DisplayStyle::text)
            layout.pieces.emplace_back(Trace{levels(isRouter ? router : internet,
                                                    isRouter ? TraceSample::routerFloor : TraceSample::internetFloor)});
        if (style != DisplayStyle::trace) {
            const auto* shown = find(snapshot, role);
            const std::string caption = shown != nullptr && shown->status == TargetStatus::tcp ? "TCP" : "RTT";
            const auto shownValue = value(snapshot, role);
            // A dash stands at the left, unpadded.
            const std::string text = shownValue.text();
            layout.pieces.emplace_back(Stacked{caption, shownValue.unit.empty() ? text : padded(text)});
        }
    }
    layout.pieces.emplace_back(MenuBarText::mark(snapshot.verdict, paused));
    return layout;
}

MenuBarLayout MenuBarLayout::make(AppModel& model) {
    const auto& preferences = model.preferences();
    return make(model.snapshot(), model.traceValues(TargetRole::internet(0)), model.traceValues(TargetRole::router()),
                preferences.displayStyle(), preferences.menuBarTarget(), model.pausedUntil().has_value());
}

}  // namespace nerivane
