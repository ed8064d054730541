// The application's identifier: the log subsystem, the prefix of queue
// labels, the session-bus name of the running instance and the desktop id.
#pragma once

#include <cstdint>
#include <string_view>

namespace nerivane {

inline constexpr std::string_view applicationId = "org.nerivane.Nerivane";
// The mark in the header of the history database (SQLite's application id):
// "NRV1" in ASCII, so a file of another program is never taken for ours.
inline constexpr std::int32_t databaseApplicationId = 0x4E525631;

}  // namespace nerivane
