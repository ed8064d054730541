// The error of both probers: a socket could not be made, or a probe could not
// be sent (ICMP) or its connection failed at once (TCP). what() is "socket: "
// or "send: " and the system's message for the error number.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace nerivane {

class ProbeError : public std::runtime_error {
public:
    enum class Kind { socket, send };

    ProbeError(Kind kind, std::int32_t errnoValue);

    static ProbeError socket(std::int32_t errnoValue) { return ProbeError(Kind::socket, errnoValue); }
    static ProbeError send(std::int32_t errnoValue) { return ProbeError(Kind::send, errnoValue); }

    Kind kind() const { return kind_; }
    std::int32_t errnoValue() const { return errno_; }
    // No ICMP socket may be opened by this user: not in ping_group_range and
    // without CAP_NET_RAW. Probing cannot cure that; it is not a loss.
    bool isPermissionDenied() const;

    bool operator==(const ProbeError& other) const { return kind_ == other.kind_ && errno_ == other.errno_; }

private:
    Kind kind_;
    std::int32_t errno_;
};

}  // namespace nerivane
