#include "NerivaneKit/probing/TargetRole.h"

#include <charconv>
#include <vector>

namespace nerivane {

std::string TargetRole::text() const {
    switch (kind) {
    case Kind::router: return "router";
    case Kind::internetIPv6: return "internet-ipv6";
    case Kind::internet: return "internet[" + std::to_string(index) + "]";
    case Kind::custom: return "custom[" + std::to_string(index) + "]";
    }
    return {};
}

std::optional<TargetRole> TargetRole::parse(const std::string& text) {
    if (text == "router") return router();
    if (text == "internet-ipv6") return internetIPv6();

    std::vector<std::string> pieces;
    std::string piece;
    for (char c : text) {
        if (c == '[' || c == ']') {
            if (!piece.empty()) pieces.push_back(std::move(piece));
            piece.clear();
        } else {
            piece += c;
        }
    }
    if (!piece.empty()) pieces.push_back(std::move(piece));
    if (pieces.size() != 2) return std::nullopt;

    // A decimal integer with an optional sign, and nothing else.
    std::string_view digits = pieces[1];
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    int index = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
    if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;

    if (pieces[0] == "internet") return internet(index);
    if (pieces[0] == "custom") return custom(index);
    return std::nullopt;
}

}  // namespace nerivane
