#include "lab/responder/Profile.h"

#include <algorithm>
#include <cstdio>

#include "NerivaneKit/platform/EnumTexts.h"

namespace nerivane::lab {
namespace {

constexpr auto modeTexts = enumTexts<AnswerMode>({
    {AnswerMode::answer, "answer"},
    {AnswerMode::silent, "silent"},
    {AnswerMode::late, "late"},
    {AnswerMode::corrupt, "corrupt"},
    {AnswerMode::foreign, "foreign"},
    {AnswerMode::duplicate, "duplicate"},
});

std::string number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

}  // namespace

std::string_view modeText(AnswerMode mode) {
    const std::string_view text = modeTexts.textOf(mode);
    return text.empty() ? "answer" : text;
}

std::optional<AnswerMode> parseMode(std::string_view text) {
    return modeTexts.valueOf(text);
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
