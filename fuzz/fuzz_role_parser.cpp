// Feeds arbitrary texts to the role parser. Role texts are read back from the
// history database, so any text must parse or be refused cleanly, and a role
// that parses must print as a text that parses back to the same role.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "NerivaneKit/probing/TargetRole.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto role = nerivane::TargetRole::parse(text);
    if (!role) return 0;

    const std::string printed = role->text();
    require(nerivane::TargetRole::parse(printed) == role);
    // Only the two bracketed kinds carry an index; the others must have none.
    using Kind = nerivane::TargetRole::Kind;
    if (role->kind == Kind::router || role->kind == Kind::internetIPv6) require(role->index == 0);
    // Printing is stable: the canonical text prints as itself.
    require(nerivane::TargetRole::parse(printed)->text() == printed);
    return 0;
}
