// How busy the link was during the second a probe was in flight: idle (both
// directions under a tenth of their capacity), busy in one direction or both,
// or in between (neither idle nor busy, or no counters to tell). Stored in
// history and JSON as the texts below.
#pragma once

#include <optional>
#include <string_view>

namespace nerivane {

enum class LoadClass { unknown, idle, upload, download, both };

enum class LoadDirection { upload, download };

constexpr std::string_view text(LoadClass load) {
    switch (load) {
    case LoadClass::unknown: return "unknown";
    case LoadClass::idle: return "idle";
    case LoadClass::upload: return "upload";
    case LoadClass::download: return "download";
    case LoadClass::both: return "both";
    }
    return "";
}

constexpr std::string_view text(LoadDirection direction) {
    return direction == LoadDirection::upload ? "upload" : "download";
}

// Busy in this direction (alone or with the other).
constexpr bool isBusy(LoadClass load, LoadDirection direction) {
    return load == LoadClass::both ||
           load == (direction == LoadDirection::upload ? LoadClass::upload : LoadClass::download);
}

}  // namespace nerivane
