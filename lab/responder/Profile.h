// How the lab's responder answers echo requests to one address: a delay with
// jitter, a loss probability and a mode. A plain value; the responder keeps
// one per address in its ProfileTable.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nerivane::lab {

enum class AnswerMode {
    answer,     // one prompt reply after the delay
    silent,     // no reply at all
    late,       // one reply after the delay plus lateDelayMs (past a 2 s time-out)
    corrupt,    // one reply whose checksum is wrong
    foreign,    // one reply carrying another token, as if meant for someone else
    duplicate,  // the same reply twice
};

std::string_view modeText(AnswerMode mode);
std::optional<AnswerMode> parseMode(std::string_view text);

struct Profile {
    // Replies in late mode come this much after the delay: beyond the prober's
    // 2-second time-out, well within its 30-second late window.
    static constexpr double lateDelayMs = 2500;

    double delayMs = 0;
    double jitterMs = 0;     // each reply is delayed by delayMs +- up to jitterMs
    double lossPercent = 0;  // chance in percent that a request goes unanswered
    AnswerMode mode = AnswerMode::answer;
    // At most this many answers a second (0: no limit), as a router that
    // rate-limits its own ICMP answers; the rest go unanswered.
    double limitPerSecond = 0;

    bool operator==(const Profile&) const = default;

    // The delay of one reply for a uniform draw in [0, 1): never negative.
    double replyDelayMs(double uniform) const;
    // "delay=20 jitter=0 loss=0 mode=answer", with " limit=N" when limited
    std::string text() const;
};

}  // namespace nerivane::lab
