#include "NerivaneKit/platform/Log.h"

#include <cstdarg>
#include <cstdio>

namespace nerivane {

Log::Log(std::string category, std::string subsystem)
    : Log(std::move(category), std::move(subsystem), LogStore::shared()) {}

Log::Log(std::string category, std::string subsystem, LogStore& store)
    : category_(std::move(category)), subsystem_(std::move(subsystem)), store_(&store) {}

void Log::write(LogLevel level, std::string_view message) const {
    store_->write(level, subsystem_, category_, message);
}

std::string Log::format(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string result;
    if (length > 0) {
        result.resize(static_cast<std::size_t>(length));
        // vsnprintf writes the terminating NUL into the string's own spare byte.
        std::vsnprintf(result.data(), result.size() + 1, format, again);
    }
    va_end(again);
    return result;
}

}  // namespace nerivane
