#include "NerivaneKit/lookup/LookupSnapshot.h"

namespace nerivane {

std::optional<LookupSnapshot::Server> LookupSnapshot::namedServer() const {
    if (servers.empty()) return std::nullopt;
    if (health == Health::failing) {
        for (const auto& server : servers) {
            if (server.latestFailure) return server;
        }
    }
    std::optional<Server> fastest;
    for (const auto& server : servers) {
        if (!server.medianSeconds) continue;
        if (!fastest || *server.medianSeconds < *fastest->medianSeconds) fastest = server;
    }
    return fastest ? fastest : servers.front();
}

std::string_view text(LookupSnapshot::Health health) {
    switch (health) {
    case LookupSnapshot::Health::unknown: return "unknown";
    case LookupSnapshot::Health::ok: return "ok";
    case LookupSnapshot::Health::slow: return "slow";
    case LookupSnapshot::Health::failing: return "failing";
    }
    return "";
}

}  // namespace nerivane
