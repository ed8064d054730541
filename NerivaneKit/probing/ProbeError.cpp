#include "NerivaneKit/probing/ProbeError.h"

#include <cerrno>
#include <cstring>

namespace nerivane {
namespace {

std::string describe(ProbeError::Kind kind, std::int32_t errnoValue) {
    return std::string(kind == ProbeError::Kind::socket ? "socket: " : "send: ") + std::strerror(errnoValue);
}

}  // namespace

ProbeError::ProbeError(Kind kind, std::int32_t errnoValue)
    : std::runtime_error(describe(kind, errnoValue)), kind_(kind), errno_(errnoValue) {}

bool ProbeError::isPermissionDenied() const {
    return kind_ == Kind::socket && (errno_ == EACCES || errno_ == EPERM);
}

}  // namespace nerivane
