// Reads a DNS answer for one question (the probe name, A or AAAA) and says
// whether it holds an address for that name, following CNAMEs. A reply that
// was cut (the truncation flag set, or a UDP reply that fills the 512 bytes a
// query without EDNS allows: c-ares hands over no more of a longer one) is
// read up to where it ends; any other reply that does not parse is malformed. Pure; used
// by DNSProbe on the lookup queue.
#pragma once

#include <cstddef>
#include <string_view>

namespace nerivane {

struct DNSAnswer {
    enum class Kind {
        address,
        // Well formed, but no record of the asked type for the name.
        noAddress,
        malformed,
    };

    static constexpr std::size_t plainUDPLimit = 512;

    // type: 1 (A) or 28 (AAAA).
    static Kind read(const unsigned char* bytes, std::size_t length, std::string_view name, int type, bool cut);
    // The truncation flag is set.
    static bool truncated(const unsigned char* bytes, std::size_t length);
};

}  // namespace nerivane
