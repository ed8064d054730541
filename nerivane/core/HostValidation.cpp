#include "nerivane/core/HostValidation.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <QCoreApplication>
#include <QStringList>
#include <algorithm>

#include "NerivaneKit/net/ProbeAddress.h"

namespace nerivane {

namespace {

constexpr qsizetype maximumLength = 253;
constexpr qsizetype maximumLabel = 63;

// inet_aton(3) takes forms that inet_pton(3) does not: fewer than four
// parts, hexadecimal and octal numbers. getaddrinfo takes them too, so
// "127.1" would be probed as 127.0.0.1.
bool isShorthandIPv4(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    in_addr address{};
    return inet_aton(bytes.constData(), &address) != 0 && inet_pton(AF_INET, bytes.constData(), &address) != 1;
}

// 0.0.0.0/8 ("this network"), 127.0.0.0/8, 224.0.0.0/4 and the limited broadcast.
bool isSpecialIPv4(const std::uint8_t* b) {
    if (b[0] == 0 || b[0] == 127 || (b[0] & 0xf0) == 0xe0) return true;
    return b[0] == 255 && b[1] == 255 && b[2] == 255 && b[3] == 255;
}

bool isSpecialAddress(const ProbeAddress& address) {
    const auto& b = address.bytes;
    if (address.family == IPFamily::v4) return isSpecialIPv4(b.data());
    if (b[0] == 0xff) return true;  // multicast
    const bool zeroHead = std::all_of(b.begin(), b.begin() + 10, [](std::uint8_t x) { return x == 0; });
    if (zeroHead && b[10] == 0xff && b[11] == 0xff) return isSpecialIPv4(b.data() + 12);  // IPv4-mapped
    const bool zeroBody = zeroHead && std::all_of(b.begin() + 10, b.end() - 1, [](std::uint8_t x) { return x == 0; });
    return zeroBody && (b[15] == 0 || b[15] == 1);  // :: and ::1
}

bool isLabel(QStringView label) {
    if (label.isEmpty() || label.size() > maximumLabel) return false;
    if (label.front() == u'-' || label.back() == u'-') return false;
    for (QChar c : label) {
        const char16_t u = c.unicode();
        const bool ok = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'-';
        if (!ok) return false;
    }
    return true;
}

// "host:443", "host:" and "[2001:db8::1]:443" name a port: a name without
// colons or brackets, or anything in brackets, then a colon and ASCII digits.
// Plain code rather than a pattern, so the headless program never maps PCRE.
bool namesPort(QStringView host) {
    const qsizetype colon = host.lastIndexOf(u':');
    if (colon < 0) return false;
    for (QChar c : host.sliced(colon + 1)) {
        if (c.unicode() < u'0' || c.unicode() > u'9') return false;
    }
    const QStringView head = host.first(colon);
    if (head.size() >= 2 && head.front() == u'[' && head.back() == u']') {
        return !head.sliced(1, head.size() - 2).contains(u']');
    }
    return !head.isEmpty() && !head.contains(u':') && !head.contains(u'[') && !head.contains(u']');
}

bool allDigits(QStringView text) {
    for (QChar c : text) {
        if (!c.isDigit()) return false;
    }
    return true;
}

}  // namespace

QString hostProblemText(HostProblem problem) {
    const auto tr = [](const char* text) { return QCoreApplication::translate("HostField", text); };
    switch (problem) {
    case HostProblem::empty: return tr("Enter a host name or IP address.");
    case HostProblem::tooLong: return tr("Too long: a host name has at most 253 characters.");
    case HostProblem::blank: return tr("One host only, without spaces.");
    case HostProblem::url: return tr("Enter the host alone, not a web address.");
    case HostProblem::port: return tr("Enter the host without a port.");
    case HostProblem::invalid: return tr("Not a host name or IP address.");
    case HostProblem::shorthand: return tr("Write the IPv4 address in full, as four decimal numbers.");
    case HostProblem::notAHost: return tr("This address does not reach another host.");
    }
    return QString();
}

std::optional<HostProblem> hostProblem(const QString& text) {
    const QString host = text.trimmed();
    if (host.isEmpty()) return HostProblem::empty;
    // A fully qualified name may end in a dot that does not count.
    const QString name = host.endsWith(u'.') ? host.chopped(1) : host;
    if (name.size() > maximumLength) return HostProblem::tooLong;
    for (QChar c : host) {
        if (c.isSpace()) return HostProblem::blank;
    }
    if (host.contains(u'/') || host.contains(u'@') || host.contains(u'?') || host.contains(u'#'))
        return HostProblem::url;
    if (isShorthandIPv4(host)) return HostProblem::shorthand;
    if (const auto address = ProbeAddress::parse(host.toStdString())) {
        if (isSpecialAddress(*address)) return HostProblem::notAHost;
        return std::nullopt;
    }

    // Other colons only appear in IPv6 addresses, and this one did not parse.
    if (namesPort(host)) return HostProblem::port;
    if (host.contains(u':') || host.contains(u'[')) return HostProblem::invalid;

    const QStringList labels = name.split(u'.');
    for (const QString& label : labels) {
        if (!isLabel(label)) return HostProblem::invalid;
    }
    // All-digit top labels are what a mistyped address looks like ("999.1.1.1").
    if (allDigits(labels.back())) return HostProblem::invalid;
    return std::nullopt;
}

}  // namespace nerivane
