// What the system says about the usability of the network: satisfied or not,
// expensive, constrained, and the available interfaces with their types. A
// plain value that a path source delivers to the PathMonitor; absent until
// the source's first delivery.
#pragma once

#include <string>
#include <vector>

namespace nerivane {

struct PathFacts {
    enum class InterfaceType { wifi, wiredEthernet, cellular, other };

    struct Interface {
        std::string name;
        InterfaceType type = InterfaceType::other;

        bool operator==(const Interface&) const = default;
    };

    // The system can carry traffic right now.
    bool isSatisfied = false;
    bool isExpensive = false;
    bool isConstrained = false;
    std::vector<Interface> interfaces;

    bool operator==(const PathFacts&) const = default;
};

}  // namespace nerivane
