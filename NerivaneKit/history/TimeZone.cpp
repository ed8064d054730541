#include "NerivaneKit/history/TimeZone.h"

#include <ctime>

namespace nerivane {

TimeZone TimeZone::current() { return TimeZone(); }

TimeZone TimeZone::fixed(int offsetSeconds) {
    TimeZone zone;
    zone.fixed_ = offsetSeconds;
    return zone;
}

int TimeZone::offset(std::int64_t unixSeconds) const {
    if (fixed_) return *fixed_;
    const std::time_t time = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    if (localtime_r(&time, &local) == nullptr) return 0;
    return static_cast<int>(local.tm_gmtoff);
}

namespace {

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's algorithm),
// so formatting needs no C library call and works for any 64-bit time.
void civil(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

void appendNumber(std::string& out, std::int64_t value, int width) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    if (value < 0) out += '-';
    if (static_cast<int>(digits.size()) < width) out.append(static_cast<std::size_t>(width) - digits.size(), '0');
    out += digits;
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

}  // namespace

std::string TimeZone::iso8601(std::int64_t unixSeconds) const {
    const int zoneOffset = offset(unixSeconds);
    const std::int64_t local = unixSeconds + zoneOffset;
    const std::int64_t days = floorDiv(local, 86400);
    const std::int64_t secondOfDay = local - days * 86400;
    std::int64_t year = 0;
    unsigned month = 0, day = 0;
    civil(days, year, month, day);

    std::string out;
    out.reserve(25);
    appendNumber(out, year, 4);
    out += '-';
    appendNumber(out, month, 2);
    out += '-';
    appendNumber(out, day, 2);
    out += 'T';
    appendNumber(out, secondOfDay / 3600, 2);
    out += ':';
    appendNumber(out, secondOfDay / 60 % 60, 2);
    out += ':';
    appendNumber(out, secondOfDay % 60, 2);
    if (zoneOffset == 0) {
        out += 'Z';
    } else {
        const int magnitude = zoneOffset < 0 ? -zoneOffset : zoneOffset;
        out += zoneOffset < 0 ? '-' : '+';
        appendNumber(out, magnitude / 3600, 2);
        out += ':';
        appendNumber(out, magnitude / 60 % 60, 2);
    }
    return out;
}

}  // namespace nerivane
