// The grade of latency under load, on the scale bufferbloat tests use, from
// the milliseconds a busy link adds to the idle round trip. Stored and shown
// as the texts below ("A+" .. "F").
#pragma once

#include <optional>
#include <string_view>

namespace nerivane {

enum class LoadGrade { aPlus, a, b, c, d, f };

std::string_view text(LoadGrade grade);
std::optional<LoadGrade> parseLoadGrade(std::string_view text);

// A+ under 5 ms added, A under 30, B under 60, C under 200, D under 400, F from 400.
// Less than nothing added (a busy median under the idle one) is an A+.
LoadGrade gradeForAddedLatency(double addedMilliseconds);

}  // namespace nerivane
