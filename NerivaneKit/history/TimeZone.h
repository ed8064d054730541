// The time zone history timestamps are written in: the process's local zone
// as it was when the history was opened, or a fixed offset (UTC is offset 0).
// A plain value; formatting is pure apart from reading the local zone rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nerivane {

class TimeZone {
public:
    // The local zone of this process (the TZ variable or /etc/localtime).
    static TimeZone current();
    static TimeZone fixed(int offsetSeconds);
    static TimeZone utc() { return fixed(0); }

    // Seconds east of UTC at the given Unix time.
    int offset(std::int64_t unixSeconds) const;

    // Internet date-time form without fractions: "2026-03-14T09:26:00+01:00",
    // or with a trailing "Z" where the offset is zero.
    std::string iso8601(std::int64_t unixSeconds) const;

    bool operator==(const TimeZone&) const = default;

private:
    std::optional<int> fixed_;
};

}  // namespace nerivane
