// Helpers shared by the history tests: a temporary folder that removes itself,
// probe records and events, and raw reads of a store's tables.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "NerivaneKit/analysis/NetworkEvent.h"
#include "NerivaneKit/analysis/ProbeRecord.h"
#include "NerivaneKit/history/Database.h"
#include "NerivaneKit/history/HistoryStore.h"

namespace nerivane {

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "nerivane-history-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        root_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        // Tests may have made parts read-only; give them back before removing.
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
        for (auto it = std::filesystem::recursive_directory_iterator(root_, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        }
        std::filesystem::remove_all(root_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::string path(const std::string& name) const { return (root_ / name).string(); }

private:
    std::filesystem::path root_;
};

// 2026-03-14T12:00:00Z, a whole UTC hour.
inline constexpr double noon = 1773489600;

inline Target router() { return Target{TargetRole::router(), "router", *ProbeAddress::parse("192.168.1.1")}; }
inline Target cloudflare() { return Target{TargetRole::internet(0), "1.1.1.1", *ProbeAddress::parse("1.1.1.1")}; }
inline Target google() { return Target{TargetRole::internet(1), "8.8.8.8", *ProbeAddress::parse("8.8.8.8")}; }

inline ProbeRecord reply(const Target& target, double at, double ms, ProbeProtocol protocol = ProbeProtocol::icmp) {
    return ProbeRecord{target, protocol, ProbeResult::Reply{ms}, at};
}
inline ProbeRecord lost(const Target& target, double at) {
    return ProbeRecord{target, ProbeProtocol::icmp, ProbeResult::Lost{}, at};
}
inline ProbeRecord late(const Target& target, double at, double ms) {
    return ProbeRecord{target, ProbeProtocol::icmp, ProbeResult::Late{ms}, at};
}

inline NetworkEvent outage(const Target& target, double start, double end) {
    return NetworkEvent{NetworkEvent::Kind::outage, target.role, target.host, target.address, start, end, std::nullopt};
}
inline NetworkEvent spike(const Target& target, double start, double end, double worst) {
    return NetworkEvent{NetworkEvent::Kind::spike, target.role, target.host, target.address, start, end, worst};
}

// A store on a fresh database file, schema applied, timestamps in UTC.
inline HistoryStore openStore(const std::string& path) {
    HistoryStore store(std::make_shared<Database>(path), TimeZone::utc());
    store.prepareSchema();
    return store;
}

inline std::int64_t count(Database& db, const std::string& sql) {
    auto rows = db.query(sql);
    return rows.empty() ? -1 : *rows.front().front().asInteger();
}

}  // namespace nerivane
