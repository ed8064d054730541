// The metrics endpoint of the real program in the lab's client namespace:
// scraped while it probes, while the locked screen stops probing and after
// the VPN comes on; its text passes promtool, its values are the model's
// own (as the JSON readout prints them), its state sets sum to one and its
// counters never go down. Addresses it cannot serve on are usage errors.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <cmath>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/qt/QtSupport.h"
#include "support/LabAccess.h"

namespace nerivane {
namespace {

using labtest::insideTheLab;
using labtest::lab;
using labtest::labName;
using test::waitUntil;

constexpr int port = 9101;
const QString listen = QStringLiteral("127.0.0.1:9101");

struct Sample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0;
};

// The samples of an exposition in the text format (our label values hold no
// quotes or escapes).
std::vector<Sample> parse(const std::string& text) {
    std::vector<Sample> samples;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        Sample sample;
        const auto brace = line.find('{');
        const auto space = line.rfind(' ');
        sample.name = line.substr(0, std::min(brace, line.find(' ')));
        if (brace != std::string::npos) {
            std::size_t at = brace + 1;
            while (line[at] != '}') {
                const auto equals = line.find('=', at);
                const auto close = line.find('"', equals + 2);
                sample.labels[line.substr(at, equals - at)] = line.substr(equals + 2, close - equals - 2);
                at = close + 1;
                if (line[at] == ',') ++at;
            }
        }
        sample.value = std::stod(line.substr(space + 1));
        samples.push_back(std::move(sample));
    }
    return samples;
}

// GET /metrics over a plain socket: the status line and the body.
std::optional<std::pair<std::string, std::string>> scrape() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char buffer[8192];
            ssize_t count;
            while ((count = ::recv(fd, buffer, sizeof buffer, 0)) > 0) response.append(buffer, static_cast<std::size_t>(count));
        }
    }
    ::close(fd);
    const auto end = response.find("\r\n\r\n");
    if (end == std::string::npos) return std::nullopt;
    return std::pair{response.substr(0, response.find("\r\n")), response.substr(end + 4)};
}

// promtool's verdict on an exposition: empty when it is sound.
std::string promtoolProblems(const std::string& text) {
    QProcess promtool;
    promtool.start(QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
    if (!promtool.waitForStarted(10000)) return "promtool did not start";
    promtool.write(QByteArray::fromStdString(text));
    promtool.closeWriteChannel();
    if (!promtool.waitForFinished(30000)) return "promtool did not finish";
    if (promtool.exitStatus() == QProcess::NormalExit && promtool.exitCode() == 0) return {};
    return (promtool.readAllStandardOutput() + promtool.readAllStandardError()).toStdString();
}

std::string key(const Sample& sample) {
    std::string text = sample.name;
    for (const auto& [name, value] : sample.labels) text += "," + name + "=" + value;
    return text;
}

class MetricsLab : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insideTheLab()) GTEST_SKIP() << "not inside the client namespace of lab \"" << labName() << "\"";
        // Before any process starts: their notifiers need the application's event loop.
        test::application();
        ASSERT_TRUE(lab("vpn off") && lab("reset") && lab("set internet delay=8"));
    }
    void TearDown() override {
        for (auto* process : {&program, &other}) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(10000);
            }
        }
        if (insideTheLab()) {
            lab("vpn off");
            lab("reset");
        }
    }

    void prepare(QProcess& process, const QString& lockTest) {
        QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"NERIVANE_HOSTS", "NERIVANE_ON_BATTERY", "XDG_SESSION_ID"})
            variables.remove(QString::fromLatin1(name));
        // No bus at all: nothing outside the lab is asked anything.
        variables.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent"));
        variables.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent"));
        variables.insert(QStringLiteral("XDG_CONFIG_HOME"), directory.filePath(QStringLiteral("config")));
        variables.insert(QStringLiteral("XDG_DATA_HOME"), directory.filePath(QStringLiteral("data")));
        variables.insert(QStringLiteral("NERIVANE_HISTORY"), directory.filePath(QStringLiteral("history.sqlite")));
        if (!lockTest.isEmpty()) variables.insert(QStringLiteral("NERIVANE_LOCK_TEST"), lockTest);
        process.setProcessEnvironment(variables);
    }

    static QString binary() { return QString::fromStdString(labtest::environment("NERIVANE_BIN_DIR") + "/nerivane"); }

    // A run that must end at once with a usage error naming the problem.
    void expectUsageError(const QString& metrics, const std::string& problem) {
        SCOPED_TRACE(metrics.toStdString());
        prepare(other, {});
        other.start(binary(), {QStringLiteral("--console"), QStringLiteral("--metrics"), metrics});
        ASSERT_TRUE(other.waitForFinished(20000));
        EXPECT_EQ(other.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(other.exitCode(), 2);
        EXPECT_NE(other.readAllStandardError().toStdString().find(problem), std::string::npos);
        // Nothing was probed: no readout at all.
        EXPECT_EQ(other.readAllStandardOutput().toStdString(), "");
    }

    std::vector<QJsonObject> lines(const char* type) const {
        std::vector<QJsonObject> found;
        std::istringstream stream(output);
        for (std::string line; std::getline(stream, line);) {
            const auto object = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
            if (object.value(QStringLiteral("type")).toString() == QLatin1String(type)) found.push_back(object);
        }
        return found;
    }

    // A scrape that promtool accepts and whose state sets each sum to 1.
    std::vector<Sample> checkedScrape() {
        const auto response = scrape();
        EXPECT_TRUE(response);
        if (!response) return {};
        EXPECT_EQ(response->first.substr(9, 3), "200") << response->first;
        const std::string problems = promtoolProblems(response->second);
        EXPECT_EQ(problems, "");
        auto samples = parse(response->second);
        std::map<std::string, double> sums;
        for (const auto& sample : samples) {
            if (sample.name == "nerivane_verdict") sums["verdict"] += sample.value;
            if (sample.name == "nerivane_target_status")
                sums[sample.labels.at("role") + " " + sample.labels.at("address")] += sample.value;
        }
        EXPECT_EQ(sums["verdict"], 1);
        for (const auto& [set, sum] : sums) EXPECT_EQ(sum, 1) << set;
        return samples;
    }

    static std::optional<double> value(const std::vector<Sample>& samples, const std::string& name,
                                       const std::map<std::string, std::string>& labels = {}) {
        for (const auto& sample : samples) {
            if (sample.name != name) continue;
            bool matches = true;
            for (const auto& [label, text] : labels) matches = matches && sample.labels.count(label) && sample.labels.at(label) == text;
            if (matches) return sample.value;
        }
        return std::nullopt;
    }

    QTemporaryDir directory;
    QProcess program;
    QProcess other;
    std::string output;
};

TEST_F(MetricsLab, ScrapesMatchTheModelAndCountersNeverGoDown) {
    expectUsageError(QStringLiteral("127.0.0.1"), "has no port");
    // The lab's resolver refuses every name but its own at once.
    expectUsageError(QStringLiteral("nowhere.invalid:9101"), "cannot resolve \"nowhere.invalid\"");

    // The screen counts as locked from 26 to 34 s after launch.
    prepare(program, QStringLiteral("26,34"));
    QObject::connect(&program, &QProcess::readyReadStandardOutput,
                     [this] { output += program.readAllStandardOutput().toStdString(); });
    program.start(binary(), {QStringLiteral("--console"), QStringLiteral("--json"), QStringLiteral("--metrics"), listen,
                             QStringLiteral("--exit-after"), QStringLiteral("75")});
    ASSERT_TRUE(program.waitForStarted(10000));
    ASSERT_TRUE(waitUntil([&] { return scrape().has_value(); }, 20000)) << "the endpoint never answered";
    expectUsageError(listen, "the port is already in use");

    // Probing, every target settled: the verdict is good.
    ASSERT_TRUE(waitUntil([&] { return output.find("\"verdict\":\"good\"") != std::string::npos; }, 40000)) << output;
    const auto probing = checkedScrape();
    EXPECT_EQ(value(probing, "nerivane_verdict", {{"verdict", "good"}}), 1);
    EXPECT_EQ(value(probing, "nerivane_probing_locked"), 0);
    EXPECT_EQ(value(probing, "nerivane_probing_interval_seconds"), 1);
    EXPECT_EQ(value(probing, "nerivane_path_info", {{"interface", "eth0"}, {"vpn", "false"}, {"kind", "ethernet"}}), 1);

    // Stopped by the lock, the model holds still: the scrape is the last
    // snapshot the readout printed, to the last digit.
    ASSERT_TRUE(waitUntil([&] { return !lines("probing").empty(); }, 40000)) << output;
    const auto locked = checkedScrape();
    EXPECT_EQ(value(locked, "nerivane_probing_locked"), 1);
    const auto snapshot = lines("snapshot").back();
    const auto targets = snapshot.value(QStringLiteral("targets")).toArray();
    ASSERT_EQ(targets.size(), 4);
    for (const auto& entry : targets) {
        const auto target = entry.toObject();
        const auto metrics = target.value(QStringLiteral("metrics")).toObject();
        const std::map<std::string, std::string> labels{
            {"role", target.value(QStringLiteral("role")).toString().toStdString()},
            {"address", target.value(QStringLiteral("address")).toString().toStdString()},
            {"protocol", "icmp"}};
        SCOPED_TRACE(labels.at("role"));
        EXPECT_EQ(target.value(QStringLiteral("status")).toString(), QStringLiteral("icmp"));
        const auto median = value(locked, "nerivane_target_rtt_median_seconds", labels);
        ASSERT_TRUE(median);
        EXPECT_NEAR(*median * 1000, metrics.value(QStringLiteral("median")).toDouble(), 1e-9);
        // Everything since launch still lies in the one-minute window.
        EXPECT_EQ(value(locked, "nerivane_probes_sent_total", labels), metrics.value(QStringLiteral("sent")).toDouble());
        EXPECT_EQ(value(locked, "nerivane_probes_lost_total", labels), metrics.value(QStringLiteral("lost")).toDouble());
        EXPECT_EQ(value(locked, "nerivane_probes_late_total", labels), metrics.value(QStringLiteral("late")).toDouble());
        EXPECT_EQ(value(locked, "nerivane_rtt_seconds_count", labels),
                  metrics.value(QStringLiteral("sent")).toDouble() - metrics.value(QStringLiteral("lost")).toDouble());
    }

    // Probing again, then through a VPN: the path changes, every target
    // starts afresh, and no counter goes down.
    ASSERT_TRUE(waitUntil([&] { return lines("probing").size() >= 2; }, 30000)) << output;
    ASSERT_TRUE(lab("vpn on"));
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto all = lines("snapshot");
            return !all.empty() && all.back().value(QStringLiteral("path")).toObject().value(QStringLiteral("vpn")).toBool() &&
                   all.back().value(QStringLiteral("verdict")).toString() == QStringLiteral("good");
        },
        40000))
        << output;
    const auto tunnelled = checkedScrape();
    EXPECT_EQ(value(tunnelled, "nerivane_path_info", {{"interface", "tun0"}, {"physical_interface", "eth0"}, {"vpn", "true"}}), 1);
    std::map<std::string, double> after;
    for (const auto& sample : tunnelled) after[key(sample)] = sample.value;
    for (const auto& sample : locked) {
        if (sample.name.find("_total") == std::string::npos && sample.name.find("nerivane_rtt_seconds_") == std::string::npos)
            continue;
        ASSERT_TRUE(after.count(key(sample))) << key(sample) << " is gone";
        EXPECT_GE(after[key(sample)], sample.value) << key(sample);
    }
    EXPECT_GT(*value(tunnelled, "nerivane_probes_sent_total", {{"role", "router"}}),
              *value(locked, "nerivane_probes_sent_total", {{"role", "router"}}));

    ASSERT_TRUE(waitUntil([&] { return program.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(program.exitCode(), 0);
}

}  // namespace
}  // namespace nerivane
