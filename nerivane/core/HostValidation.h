// Checks the text a user types for a host before it is stored: one host name
// or IP address, nothing else (no blanks inside, no web address, no port, at
// most 253 characters, no address that names no single remote host). The
// settings fields and the hosts read from the settings file use it, so no
// unchecked text reaches the resolver. Pure; any thread.
#pragma once

#include <QString>
#include <optional>

namespace nerivane {

enum class HostProblem { empty, tooLong, blank, url, port, invalid, shorthand, notAHost };

// The short message shown under the field.
QString hostProblemText(HostProblem problem);

// None when the text, trimmed of blanks at both ends, is an IPv4 or IPv6
// address or a host name (letters, digits and hyphens in dot-separated labels
// of 1 to 63 characters, not starting or ending with a hyphen, a trailing dot
// allowed, the last label not all digits). Refused addresses: the
// unspecified, loopback, multicast and broadcast ones of either family (also
// IPv4 ones written as IPv6), which this machine or nobody answers; and the
// resolver's shorthand IPv4 forms ("0", "127.1", "0x7f.1", "010.0.0.1"),
// which mean another address than they seem to.
std::optional<HostProblem> hostProblem(const QString& text);

}  // namespace nerivane
