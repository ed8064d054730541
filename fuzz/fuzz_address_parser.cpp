// Feeds arbitrary texts to the address parser. Addresses are read back from
// history as text, so whatever parses must print as a text that parses back
// to the same address. Parsing is numeric only: no name is ever looked up.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "NerivaneKit/net/ProbeAddress.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto address = nerivane::ProbeAddress::parse(text);
    if (!address) return 0;

    require(address->family == nerivane::IPFamily::v6 || address->scopeID == 0);
    for (std::size_t i = address->byteCount(); i < address->bytes.size(); ++i) require(address->bytes[i] == 0);
    const std::string printed = address->text();
    const auto again = nerivane::ProbeAddress::parse(printed);
    // A scope whose interface has no name prints without it and comes back
    // unscoped; anything else must survive the round trip whole.
    if (address->scopeID != 0 && printed.find('%') == std::string::npos) {
        require(again && again->scopeID == 0 && again->bytes == address->bytes);
    } else {
        require(again == address);
    }
    return 0;
}
