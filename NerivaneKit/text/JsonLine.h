// One JSON object written as a single line, field by field, with strings
// escaped as JSON requires. nerivane-probe and nerivane-history build their --json output with it;
// a value lives only while one line is being written.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nerivane {

class JsonLine {
public:
    // Distinct names, not overloads: a string literal would otherwise pick
    // the bool one.
    JsonLine& text(std::string_view key, std::string_view value);
    JsonLine& number(std::string_view key, double value, int decimals = 3);
    JsonLine& number(std::string_view key, const std::optional<double>& value, int decimals = 3);
    JsonLine& integer(std::string_view key, long long value);
    JsonLine& boolean(std::string_view key, bool value);
    JsonLine& null(std::string_view key);
    // A value that is already JSON (an object or array built elsewhere).
    JsonLine& raw(std::string_view key, std::string_view json);

    // The finished object.
    std::string str() const { return body_.empty() ? "{}" : "{" + body_ + "}"; }

    // A JSON string literal, quotes included.
    static std::string quoted(std::string_view value);

private:
    JsonLine& add(std::string_view key, std::string_view json);
    std::string body_;
};

}  // namespace nerivane
