#include "lab/responder/ProfileTable.h"

#include <charconv>
#include <cmath>
#include <sstream>

namespace nerivane::lab {
namespace {

// Longer than any prober waits for a late reply, short enough that the
// reply's time stays a sane number.
constexpr double maximumDelayMs = 600'000;

std::optional<double> parseNumber(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

// Applies one "key=value" field; returns an error text or an empty one.
std::string applyField(Profile& profile, std::string_view field) {
    const auto equals = field.find('=');
    if (equals == std::string_view::npos) return "expected key=value, got \"" + std::string(field) + "\"";
    const auto key = field.substr(0, equals);
    const auto value = field.substr(equals + 1);
    if (key == "mode") {
        const auto mode = parseMode(value);
        if (!mode) return "unknown mode \"" + std::string(value) + "\"";
        profile.mode = *mode;
        return {};
    }
    const auto number = parseNumber(value);
    if (!number || *number < 0) return "bad number \"" + std::string(value) + "\" for " + std::string(key);
    if ((key == "delay" || key == "jitter") && *number > maximumDelayMs)
        return std::string(key) + " above " + std::to_string(static_cast<int>(maximumDelayMs)) + " ms";
    if (key == "delay") {
        profile.delayMs = *number;
    } else if (key == "jitter") {
        profile.jitterMs = *number;
    } else if (key == "limit") {
        profile.limitPerSecond = *number;
    } else if (key == "loss") {
        if (*number > 100) return "loss above 100 percent";
        profile.lossPercent = *number;
    } else {
        return "unknown field \"" + std::string(key) + "\"";
    }
    return {};
}

}  // namespace

ProfileTable ProfileTable::parse(std::string_view text) {
    ProfileTable table;
    std::istringstream lines{std::string(text)};
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        std::string first;
        if (!(words >> first)) continue;
        const auto fail = [&](const std::string& why) {
            table.errors.push_back("line " + std::to_string(number) + ": " + why);
        };
        if (first == "generation") {
            std::string value;
            std::uint64_t generation = 0;
            if (!(words >> value) ||
                std::from_chars(value.data(), value.data() + value.size(), generation).ptr != value.data() + value.size()) {
                fail("bad generation");
                continue;
            }
            table.generation = generation;
            continue;
        }
        auto address = ProbeAddress::parse(first);
        if (!address) {
            fail("not an address: \"" + first + "\"");
            continue;
        }
        address->scopeID = 0;
        Profile profile;
        std::string field;
        std::string error;
        while (error.empty() && words >> field) error = applyField(profile, field);
        if (!error.empty()) {
            fail(error);
            continue;
        }
        table.profiles[*address] = profile;
    }
    return table;
}

Profile ProfileTable::lookup(ProbeAddress address) const {
    address.scopeID = 0;
    const auto found = profiles.find(address);
    return found == profiles.end() ? Profile{} : found->second;
}

}  // namespace nerivane::lab
