// What a release signature covers: a fixed prefix, the release's version, the
// file name its enclosure publishes and the SHA-256 of the file, so a signed
// file cannot be offered under another version or name. Plain C++, shared by
// the checker and nerivane-sign; pure, any thread.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace nerivane::ReleaseMessage {

inline constexpr std::string_view prefix = "nerivane release signature 1";
inline constexpr std::size_t digestBytes = 32;
using Digest = std::array<unsigned char, digestBytes>;

// NUL separates the parts: neither feed text (XML) nor a command argument can hold one.
inline std::string make(std::string_view version, std::string_view fileName, const Digest& digest) {
    std::string message;
    message.reserve(prefix.size() + version.size() + fileName.size() + digestBytes + 3);
    message.append(prefix).append(1, '\0');
    message.append(version).append(1, '\0');
    message.append(fileName).append(1, '\0');
    message.append(reinterpret_cast<const char*>(digest.data()), digest.size());
    return message;
}

}  // namespace nerivane::ReleaseMessage
