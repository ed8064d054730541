// The responder's profiles by address, read from the instance's profile file.
// Each line is "ADDRESS delay=MS jitter=MS loss=PERCENT mode=MODE" (fields
// optional, "#" starts a comment); a line "generation N" numbers the version so
// the lab command can see when a responder has loaded it. Owned by the
// Responder, used on its one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "NerivaneKit/net/ProbeAddress.h"
#include "lab/responder/Profile.h"

namespace nerivane::lab {

struct ProfileTable {
    std::uint64_t generation = 0;
    // Keyed without scope: a namespace holds each address once.
    std::unordered_map<ProbeAddress, Profile> profiles;
    // One text per line that could not be read; those lines are skipped.
    std::vector<std::string> errors;

    static ProfileTable parse(std::string_view text);

    // The profile of an address; addresses not listed answer promptly.
    Profile lookup(ProbeAddress address) const;
};

}  // namespace nerivane::lab
