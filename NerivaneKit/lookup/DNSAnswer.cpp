#include "NerivaneKit/lookup/DNSAnswer.h"

#include <ares.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

namespace nerivane {
namespace {

constexpr std::size_t headerSize = 12;
constexpr int cnameType = 5;
constexpr int internetClass = 1;

int be16(const unsigned char* at) { return at[0] << 8 | at[1]; }

std::string lowered(std::string_view name) {
    while (!name.empty() && name.back() == '.') name.remove_suffix(1);
    std::string out(name);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// The name at offset, expanded by c-ares (which refuses pointers that loop
// or leave the message), and how many bytes it takes there.
std::optional<std::string> expand(const unsigned char* bytes, std::size_t length, std::size_t offset,
                                  std::size_t& encoded) {
    if (offset >= length) return std::nullopt;
    char* raw = nullptr;
    long size = 0;
    if (ares_expand_name(bytes + offset, bytes, static_cast<int>(length), &raw, &size) != ARES_SUCCESS)
        return std::nullopt;
    std::string name = lowered(raw);
    ares_free_string(raw);
    encoded = static_cast<std::size_t>(size);
    return name;
}

}  // namespace

bool DNSAnswer::truncated(const unsigned char* bytes, std::size_t length) {
    return length >= headerSize && (bytes[2] & 0x02) != 0;
}

DNSAnswer::Kind DNSAnswer::read(const unsigned char* bytes, std::size_t length, std::string_view name, int type,
                                bool cut) {
    if (bytes == nullptr || length < headerSize) return Kind::malformed;
    const int questions = be16(bytes + 4);
    const int answers = be16(bytes + 6);
    std::size_t at = headerSize;
    // Running out of bytes ends a cut reply and spoils any other.
    const Kind ended = cut ? Kind::noAddress : Kind::malformed;
    for (int i = 0; i < questions; ++i) {
        std::size_t encoded = 0;
        if (!expand(bytes, length, at, encoded)) return ended;
        at += encoded + 4;
        if (at > length) return ended;
    }
    std::string wanted = lowered(name);
    bool found = false;
    for (int i = 0; i < answers; ++i) {
        std::size_t encoded = 0;
        const auto owner = expand(bytes, length, at, encoded);
        if (!owner) return found && cut ? Kind::address : ended;
        at += encoded;
        if (at + 10 > length) return found && cut ? Kind::address : ended;
        const int recordType = be16(bytes + at);
        const int recordClass = be16(bytes + at + 2);
        const std::size_t size = static_cast<std::size_t>(be16(bytes + at + 8));
        at += 10;
        if (at + size > length) return found && cut ? Kind::address : ended;
        if (recordClass == internetClass && *owner == wanted) {
            if (recordType == cnameType) {
                std::size_t used = 0;
                const auto alias = expand(bytes, length, at, used);
                if (!alias) return Kind::malformed;
                wanted = *alias;
            } else if (recordType == type && size == (type == 1 ? 4u : 16u)) {
                found = true;
            }
        }
        at += size;
    }
    return found ? Kind::address : Kind::noAddress;
}

}  // namespace nerivane
