#include "NerivaneKit/text/JsonLine.h"

#include <cmath>
#include <cstdio>

namespace nerivane {

std::string JsonLine::quoted(std::string_view value) {
    std::string out = "\"";
    for (const char c : value) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;  // UTF-8 bytes pass through unchanged
            }
        }
    }
    return out + "\"";
}

JsonLine& JsonLine::add(std::string_view key, std::string_view json) {
    if (!body_.empty()) body_ += ',';
    body_ += quoted(key);
    body_ += ':';
    body_ += json;
    return *this;
}

JsonLine& JsonLine::text(std::string_view key, std::string_view value) {
    return add(key, quoted(value));
}

JsonLine& JsonLine::number(std::string_view key, double value, int decimals) {
    // JSON has no NaN or infinity.
    if (!std::isfinite(value)) return null(key);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return add(key, buffer);
}

JsonLine& JsonLine::number(std::string_view key, const std::optional<double>& value, int decimals) {
    return value ? number(key, *value, decimals) : null(key);
}

JsonLine& JsonLine::integer(std::string_view key, long long value) {
    return add(key, std::to_string(value));
}

JsonLine& JsonLine::boolean(std::string_view key, bool value) {
    return add(key, value ? "true" : "false");
}

JsonLine& JsonLine::null(std::string_view key) {
    return add(key, "null");
}

JsonLine& JsonLine::raw(std::string_view key, std::string_view json) {
    return add(key, json);
}

}  // namespace nerivane
