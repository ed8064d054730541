#include "NerivaneKit/lookup/LookupFailure.h"

#include "NerivaneKit/platform/EnumTexts.h"

namespace nerivane {
namespace {

constexpr auto texts = enumTexts<LookupFailure>({
    {LookupFailure::timeout, "timeout"},
    {LookupFailure::servfail, "servfail"},
    {LookupFailure::refused, "refused"},
    {LookupFailure::nxdomain, "nxdomain"},
    {LookupFailure::unreachable, "unreachable"},
    {LookupFailure::other, "other"},
    {LookupFailure::noAddress, "noaddress"},
});

}  // namespace

std::string_view text(LookupFailure failure) {
    return texts.textOf(failure);
}

std::optional<LookupFailure> parseLookupFailure(std::string_view text) {
    return texts.valueOf(text);
}

}  // namespace nerivane
