// The application's identifier: the log subsystem, the prefix of queue
// labels, the session-bus name of the running instance and the desktop id.
#pragma once

#include <string_view>

namespace nerivane {

inline constexpr std::string_view applicationId = "org.nerivane.Nerivane";

}  // namespace nerivane
