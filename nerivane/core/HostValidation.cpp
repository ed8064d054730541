#include "nerivane/core/HostValidation.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>

#include "NerivaneKit/probing/ProbeAddress.h"

namespace nerivane {

namespace {

constexpr qsizetype maximumLength = 253;
constexpr qsizetype maximumLabel = 63;

bool isAddress(const QString& text) { return ProbeAddress::parse(text.toStdString()).has_value(); }

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
    if (isAddress(host)) return std::nullopt;

    // "host:443" and "[2001:db8::1]:443" name a port; other colons only
    // appear in IPv6 addresses, and this one did not parse.
    static const QRegularExpression withPort(QStringLiteral("^(\\[[^\\]]*\\]|[^:\\[\\]]+):[0-9]*$"));
    if (withPort.match(host).hasMatch()) return HostProblem::port;
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
