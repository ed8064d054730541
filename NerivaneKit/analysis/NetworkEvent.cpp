#include "NerivaneKit/analysis/NetworkEvent.h"

#include <cstdio>

namespace nerivane {

std::string NetworkEvent::logLine() const {
    std::string suffix;
    if (worstRTT) {
        char worst[64];
        std::snprintf(worst, sizeof worst, ", worst %.1f ms", *worstRTT);
        suffix = worst;
    }
    char seconds[64];
    std::snprintf(seconds, sizeof seconds, "%.*f", 1, duration());
    std::string line;
    line.append(text(kind)).append(" ").append(host).append(" ").append(address.text());
    line.append(" ").append(seconds).append(" s").append(suffix);
    return line;
}

}  // namespace nerivane
