#include "NerivaneKit/path/StoreSnapshot.h"

#include <algorithm>

#include "NerivaneKit/path/NetworkPath.h"

namespace nerivane {

bool StoreSnapshot::isTunnel(const std::string& interface) const {
    return isVPNInterfaceName(interface) ||
           std::find(tunnelInterfaces.begin(), tunnelInterfaces.end(), interface) != tunnelInterfaces.end();
}

}  // namespace nerivane
