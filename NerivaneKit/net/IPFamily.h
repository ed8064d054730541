// The two address families that are probed.
#pragma once

namespace nerivane {

enum class IPFamily { v4, v6 };

}  // namespace nerivane
