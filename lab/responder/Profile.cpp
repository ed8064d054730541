#include "lab/responder/Profile.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace nerivane::lab {
namespace {

constexpr std::array<std::pair<AnswerMode, std::string_view>, 6> modeTexts{{
    {AnswerMode::answer, "answer"},
    {AnswerMode::silent, "silent"},
    {AnswerMode::late, "late"},
    {AnswerMode::corrupt, "corrupt"},
    {AnswerMode::foreign, "foreign"},
    {AnswerMode::duplicate, "duplicate"},
}};

std::string number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

}  // namespace

std::string_view modeText(AnswerMode mode) {
    for (const auto& [candidate, text] : modeTexts) {
        if (candidate == mode) return text;
    }
    return "answer";
}

std::optional<AnswerMode> parseMode(std::string_view text) {
    for (const auto& [mode, candidate] : modeTexts) {
        if (candidate == text) return mode;
    }
    return std::nullopt;
}

double Profile::replyDelayMs(double uniform) const {
    double delay = delayMs + jitterMs * (2 * uniform - 1);
    if (mode == AnswerMode::late) delay += lateDelayMs;
    return std::max(delay, 0.0);
}

std::string Profile::text() const {
    return "delay=" + number(delayMs) + " jitter=" + number(jitterMs) + " loss=" + number(lossPercent) +
           " mode=" + std::string(modeText(mode)) + (limitPerSecond > 0 ? " limit=" + number(limitPerSecond) : "");
}

}  // namespace nerivane::lab
