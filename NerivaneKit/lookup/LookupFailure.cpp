#include "NerivaneKit/lookup/LookupFailure.h"

#include <array>
#include <utility>

namespace nerivane {
namespace {

constexpr std::array<std::pair<LookupFailure, std::string_view>, 7> texts{{
    {LookupFailure::timeout, "timeout"},
    {LookupFailure::servfail, "servfail"},
    {LookupFailure::refused, "refused"},
    {LookupFailure::nxdomain, "nxdomain"},
    {LookupFailure::unreachable, "unreachable"},
    {LookupFailure::other, "other"},
    {LookupFailure::noAddress, "noaddress"},
}};

}  // namespace

std::string_view text(LookupFailure failure) {
    for (const auto& [value, name] : texts) {
        if (value == failure) return name;
    }
    return "";
}

std::optional<LookupFailure> parseLookupFailure(std::string_view text) {
    for (const auto& [value, name] : texts) {
        if (name == text) return value;
    }
    return std::nullopt;
}

}  // namespace nerivane
