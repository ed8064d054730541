#include "NerivaneKit/analysis/NetworkEvent.h"

#include "NerivaneKit/platform/NumberText.h"

namespace nerivane {

std::string NetworkEvent::logLine() const {
    std::string line;
    line.append(text(kind)).append(" ").append(host).append(" ").append(address.text());
    line.append(" ").append(NumberText::duration(duration()));
    if (worstRTT) line.append(", worst ").append(NumberText::milliseconds(worstRTT));
    return line;
}

}  // namespace nerivane
