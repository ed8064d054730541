#include "NerivaneKit/platform/LogEntry.h"

namespace nerivane {

std::string_view text(LogLevel level) {
    switch (level) {
    case LogLevel::debug: return "debug";
    case LogLevel::info: return "info";
    case LogLevel::error: return "error";
    }
    return "info";
}

}  // namespace nerivane
