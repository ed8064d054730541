// What a host field accepts: one host name or IP address, or the reason it
// is refused.
#include <gtest/gtest.h>

#include "support/qt/QtSupport.h"
#include "nerivane/core/HostValidation.h"

namespace nerivane {
namespace {

TEST(HostValidation, OneHostNameOrAddressAndEveryOtherTextWithItsReason) {
    const QString longName = QString(QStringLiteral("a").repeated(62) + u'.').repeated(4) + QStringLiteral("ex");  // 254
    using P = HostProblem;
    const std::vector<std::pair<QString, std::optional<P>>> rows{
        {"1.1.1.1", {}}, {"2606:4700:4700::1111", {}}, {"  dns.quad9.net\n", {}}, {"localhost", {}}, {"router.lan.", {}},
        {"xn--bcher-kva.example", {}}, {"   ", P::empty}, {"one host", P::blank}, {"https://1.1.1.1/", P::url},
        {"example.org/dns", P::url}, {"1.1.1.1:53", P::port}, {"[2001:db8::1]:443", P::port}, {longName, P::tooLong},
        {"example.org:", P::port}, {"[::1]:", P::port}, {":443", P::invalid}, {"a:b:53", P::invalid},
        {"[a]b]:53", P::invalid}, {"example.org:8o", P::invalid}, {QStringLiteral("example.org:\u0665"), P::invalid},
        {"999.1.1.1", P::invalid}, {"2001:db8:::1", P::invalid}, {"-bad.example", P::invalid}, {"a..b", P::invalid},
        {"under_score.example", P::invalid}, {QStringLiteral("b\u00fccher.example"), P::invalid},
        // The resolver's shorthand, and addresses that reach no other host.
        {"0", P::shorthand}, {"127.1", P::shorthand}, {"0x7f.1", P::shorthand}, {"010.0.0.1", P::shorthand},
        {"127.0.0.1", P::notAHost}, {"0.0.0.0", P::notAHost}, {"239.1.2.3", P::notAHost}, {"255.255.255.255", P::notAHost},
        {"::", P::notAHost}, {"::1", P::notAHost}, {"ff02::1", P::notAHost}, {"::ffff:127.0.0.1", P::notAHost},
        {"10.77.0.1", {}}, {"::ffff:1.1.1.1", {}}};
    for (const auto& [text, problem] : rows) EXPECT_EQ(hostProblem(text), problem) << text.toStdString();
}

}  // namespace
}  // namespace nerivane
