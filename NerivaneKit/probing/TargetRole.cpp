#include "NerivaneKit/probing/TargetRole.h"

#include <charconv>
#include <limits>
#include <string_view>
#include <vector>

namespace nerivane {
namespace {

// A decimal integer with at most one leading sign and nothing else around it;
// a value that does not fit an int is not an index.
std::optional<int> parseIndex(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    // Parse the magnitude as wider than int so that INT_MIN is accepted.
    long long magnitude = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    const long long value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) return std::nullopt;
    return static_cast<int>(value);
}

}  // namespace

std::string TargetRole::text() const {
    switch (kind) {
    case Kind::router: return "router";
    case Kind::internetIPv6: return "internet-ipv6";
    case Kind::provider: return "provider";
    case Kind::internet: return "internet[" + std::to_string(index) + "]";
    case Kind::custom: return "custom[" + std::to_string(index) + "]";
    }
    return {};
}

std::string TargetRole::shownName(const std::string& host) const {
    switch (kind) {
    case Kind::router: return "router";
    case Kind::internetIPv6: return host + " over IPv6";
    case Kind::provider: return "provider " + host;
    case Kind::internet:
    case Kind::custom: break;
    }
    return host;
}

std::optional<TargetRole> TargetRole::parse(const std::string& text) {
    if (text == "router") return router();
    if (text == "internet-ipv6") return internetIPv6();
    if (text == "provider") return provider();

    // Split at every bracket, dropping empty pieces: "internet[1]" gives
    // "internet" and "1"; "internet[]" gives only "internet".
    std::vector<std::string_view> pieces;
    const std::string_view whole = text;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= whole.size(); ++i) {
        if (i == whole.size() || whole[i] == '[' || whole[i] == ']') {
            if (i > start) pieces.push_back(whole.substr(start, i - start));
            start = i + 1;
        }
    }
    if (pieces.size() != 2) return std::nullopt;

    const auto index = parseIndex(pieces[1]);
    if (!index) return std::nullopt;
    if (pieces[0] == "internet") return internet(*index);
    if (pieces[0] == "custom") return custom(*index);
    return std::nullopt;
}

}  // namespace nerivane
