// What a host field accepts: one host name or IP address; blanks inside, web
// addresses, ports, overlong names and mistyped addresses are refused with
// the reason the user is shown.

#include <gtest/gtest.h>

#include "support/qt/QtSupport.h"
#include "nerivane/core/HostValidation.h"

namespace nerivane {
namespace {

struct HostRow {
    QString text;
    std::optional<HostProblem> problem;
};

void PrintTo(const HostRow& row, std::ostream* out) { *out << '"' << row.text.toStdString() << '"'; }

class HostText : public testing::TestWithParam<HostRow> {};

TEST_P(HostText, IsOneHostNameOrAddress) {
    EXPECT_EQ(hostProblem(GetParam().text), GetParam().problem);
}

const QString longName = QString(QStringLiteral("a").repeated(62) + u'.').repeated(4) + QStringLiteral("ex");  // 254 characters

INSTANTIATE_TEST_SUITE_P(
    HostValidation, HostText,
    testing::Values(HostRow{"1.1.1.1", std::nullopt}, HostRow{"2606:4700:4700::1111", std::nullopt},
                    HostRow{"  dns.quad9.net\n", std::nullopt}, HostRow{"localhost", std::nullopt},
                    HostRow{"router.lan.", std::nullopt}, HostRow{"xn--bcher-kva.example", std::nullopt},
                    HostRow{"   ", HostProblem::empty}, HostRow{"one host", HostProblem::blank},
                    HostRow{"https://1.1.1.1/", HostProblem::url}, HostRow{"example.org/dns", HostProblem::url},
                    HostRow{"1.1.1.1:53", HostProblem::port}, HostRow{"example.org:443", HostProblem::port},
                    HostRow{"[2001:db8::1]:443", HostProblem::port}, HostRow{longName, HostProblem::tooLong},
                    HostRow{"999.1.1.1", HostProblem::invalid}, HostRow{"2001:db8:::1", HostProblem::invalid},
                    HostRow{"-bad.example", HostProblem::invalid}, HostRow{"a..b", HostProblem::invalid},
                    HostRow{"under_score.example", HostProblem::invalid},
                    HostRow{QStringLiteral("b\u00fccher.example"), HostProblem::invalid}),
    [](const auto& info) { return "row" + std::to_string(info.index); });

TEST(HostValidation, EveryProblemHasItsOwnMessage) {
    QStringList texts;
    for (auto problem : {HostProblem::empty, HostProblem::tooLong, HostProblem::blank, HostProblem::url,
                         HostProblem::port, HostProblem::invalid}) {
        texts.append(hostProblemText(problem));
    }
    texts.removeDuplicates();
    EXPECT_EQ(texts.size(), 6);
    EXPECT_EQ(hostProblemText(HostProblem::port), "Enter the host without a port.");
}

}  // namespace
}  // namespace nerivane
