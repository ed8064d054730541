// The metrics endpoint of the real program in the lab's client namespace:
// scraped while it probes, while the locked screen stops probing and after
// the VPN comes on; its text passes promtool, its values are the model's
// own (as the JSON readout prints them), its state sets sum to one and its
// counters never go down. Idle connections, however many, neither hold off a
// scrape nor stay open. An address given on the command line that it cannot
// serve on is a usage error; a stored one leaves monitoring running. A flood
// of connections stalls neither the readout nor a scrape, leaves no memory
// behind and does not hold up SIGTERM.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <iostream>
#include <chrono>
#include <future>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "NerivaneKit/platform/UniqueFd.h"
#include "nerivane/app/AppDelegate.h"
#include "nerivane/export/DiagnosticsReport.h"
#include "support/qt/QtSupport.h"
#include "support/LabAccess.h"

namespace nerivane {
namespace {

using labtest::lab;
using test::waitUntil;

// Sample values by their series, name and labels as written (our label
// values hold no quotes or escapes).
using Samples = std::map<std::string, double>;

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A connection to 127.0.0.1:PORT that sends nothing, made within the time.
UniqueFd connectTo(int port, std::chrono::milliseconds time = std::chrono::seconds(10)) {
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const timeval limit{static_cast<time_t>(time.count() / 1000), static_cast<suseconds_t>(time.count() % 1000 * 1000)};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const auto address = loopback(port);
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return {};
    return socket;
}

// All the server sent until it closed the connection, or none when it did
// not close within the time.
std::optional<std::string> readUntilClosed(const UniqueFd& socket, std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    std::string received;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd watched{socket.get(), POLLIN, 0};
        if (::poll(&watched, 1, static_cast<int>(std::max<long long>(left.count(), 0))) <= 0) return std::nullopt;
        char buffer[4096];
        const auto n = ::recv(socket.get(), buffer, sizeof buffer, 0);
        if (n <= 0) return received;
        received.append(buffer, static_cast<std::size_t>(n));
    }
}

// GET /metrics within the time: the body, or none when the whole answer
// (with status 200) did not come in time.
std::optional<std::string> scrape(int port = 9101, std::chrono::milliseconds time = std::chrono::seconds(10)) {
    const auto asked = std::chrono::steady_clock::now();
    const UniqueFd socket = connectTo(port, time);
    time -= std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (!socket || ::send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return std::nullopt;
    const auto response = readUntilClosed(socket, time);
    const auto body = response ? response->find("\r\n\r\n") : std::string::npos;
    if (body == std::string::npos || response->rfind("HTTP/1.1 200 ", 0) != 0 || response->find("nerivane_", body) == std::string::npos)
        return std::nullopt;
    return response->substr(body + 4);
}

// Two threads opening non-blocking connections to 127.0.0.1:PORT, each
// keeping its latest few hundred open and resetting the oldest, until
// `count` were opened, `limit` passed or it is stopped.
class Flood {
public:
    Flood(int port, std::size_t count, std::chrono::seconds limit) {
        running_ = 2;
        for (int i = 0; i < 2; ++i)
            threads_.emplace_back([this, port, count, limit] { run(port, count, std::chrono::steady_clock::now() + limit); });
    }
    ~Flood() { stop(); }
    void stop() {
        stopped_ = true;
        for (auto& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
    }
    bool running() const { return running_.load() > 0; }
    std::size_t opened() const { return opened_.load(); }

private:
    void run(int port, std::size_t count, std::chrono::steady_clock::time_point end) {
        const auto address = loopback(port);
        std::vector<UniqueFd> open(300);
        std::size_t next = 0;
        while (!stopped_ && opened_.load() < count && std::chrono::steady_clock::now() < end) {
            UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            if (!socket) continue;
            if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS)
                continue;
            ++opened_;
            // A reset, not a close: no TIME_WAIT left to use up the ports.
            const linger reset{1, 0};
            auto& oldest = open[next++ % open.size()];
            if (oldest) ::setsockopt(oldest.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            oldest = std::move(socket);
        }
        --running_;
    }

    std::atomic<bool> stopped_{false};
    std::atomic<int> running_{0};
    std::atomic<std::size_t> opened_{0};
    std::vector<std::thread> threads_;
};

// Resident memory of a process in kilobytes.
long residentKilobytes(qint64 pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

std::string label(const std::string& series, const std::string& name) {
    const auto start = series.find(name + "=\"");
    return start == std::string::npos ? "" : series.substr(start + name.size() + 2, series.find('"', start + name.size() + 2) - start - name.size() - 2);
}

std::optional<double> value(const Samples& samples, const std::string& name, const std::map<std::string, std::string>& labels = {}) {
    for (const auto& [series, sampleValue] : samples) {
        bool matches = series.rfind(name, 0) == 0 && (series.size() == name.size() || series[name.size()] == '{');
        for (const auto& [labelName, text] : labels) matches = matches && label(series, labelName) == text;
        if (matches) return sampleValue;
    }
    return std::nullopt;
}

class MetricsLab : public ::testing::Test {
protected:
    void SetUp() override {
        if (!labtest::insideTheLab()) GTEST_SKIP() << "not inside the client namespace of lab \"" << labtest::labName() << "\"";
        // Before any process starts: their notifiers need the application's event loop.
        test::application();
        ASSERT_TRUE(lab("vpn off") && lab("reset") && lab("set internet delay=8"));
    }
    void TearDown() override {
        for (auto* process : {&program, &other}) {
            process->kill();
            process->waitForFinished(10000);
        }
        if (!labtest::insideTheLab()) return;
        lab("vpn off");
        lab("reset");
    }

    // The settings and history of this test, and no bus at all: nothing
    // outside the lab is asked anything.
    std::map<QString, QString> variables(const char* history) const {
        const auto in = [this](const char* name) { return directory.filePath(QString::fromLatin1(name)); };
        return {{"XDG_CONFIG_HOME", in("config")}, {"XDG_DATA_HOME", in("data")}, {"NERIVANE_HISTORY", in(history)},
                {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}, {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent"}};
    }
    static constexpr const char* inherited[] = {"NERIVANE_HOSTS", "NERIVANE_ON_BATTERY", "NERIVANE_LOCK_TEST", "XDG_SESSION_ID"};

    void start(QProcess& process, const QStringList& arguments, const QString& lockTest = {}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : inherited) environment.remove(QString::fromLatin1(name));
        for (const auto& [name, value] : variables("history.sqlite")) environment.insert(name, value);
        if (!lockTest.isEmpty()) environment.insert(QStringLiteral("NERIVANE_LOCK_TEST"), lockTest);
        process.setProcessEnvironment(environment);
        process.start(QString::fromStdString(labtest::environment("NERIVANE_BIN_DIR") + "/nerivane"),
                      QStringList{QStringLiteral("--console")} + arguments);
        ASSERT_TRUE(process.waitForStarted(10000));
    }

    // A run that must end at once with a usage error naming the problem, having probed nothing.
    void expectUsageError(const QString& metrics, const std::string& problem) {
        SCOPED_TRACE(metrics.toStdString());
        start(other, {QStringLiteral("--metrics"), metrics});
        ASSERT_TRUE(other.waitForFinished(20000));
        EXPECT_EQ(other.exitCode(), 2);
        EXPECT_NE(other.readAllStandardError().toStdString().find(problem), std::string::npos);
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
    Samples checkedScrape() {
        const auto text = scrape();
        EXPECT_TRUE(text);
        QProcess promtool;
        promtool.setProcessChannelMode(QProcess::MergedChannels);
        promtool.start(QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
        promtool.write(QByteArray::fromStdString(text.value_or("")));
        promtool.closeWriteChannel();
        EXPECT_TRUE(promtool.waitForFinished(30000) && promtool.exitCode() == 0) << promtool.readAll().toStdString();
        Samples samples;
        std::map<std::string, double> sums;
        std::istringstream stream(text.value_or(""));
        for (std::string line; std::getline(stream, line);) {
            if (line.empty() || line[0] == '#') continue;
            const std::string series = line.substr(0, line.rfind(' '));
            samples[series] = std::stod(line.substr(line.rfind(' ') + 1));
            if (series.rfind("nerivane_verdict{", 0) == 0 || series.rfind("nerivane_target_status{", 0) == 0)
                sums[label(series, "role") + " " + label(series, "address")] += samples[series];
        }
        EXPECT_TRUE(sums.contains(" "));
        for (const auto& [set, sum] : sums) EXPECT_EQ(sum, 1) << set;
        return samples;
    }

    QTemporaryDir directory;
    QProcess program;
    QProcess other;
    std::string output;
};

TEST_F(MetricsLab, ScrapesMatchTheModelAndCountersNeverGoDown) {
    // The lab's resolver refuses every name but its own at once.
    expectUsageError(QStringLiteral("nowhere.invalid:9101"), "cannot resolve \"nowhere.invalid\"");

    // The screen counts as locked from 22 to 29 s after launch.
    QObject::connect(&program, &QProcess::readyReadStandardOutput, [this] { output += program.readAllStandardOutput().toStdString(); });
    start(program, {QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:9101"), QStringLiteral("--json"), QStringLiteral("--exit-after"), QStringLiteral("65")},
          QStringLiteral("22,29"));
    ASSERT_TRUE(waitUntil([&] { return scrape().has_value(); }, 20000)) << "the endpoint never answered";

    // Probing, every target settled: the verdict is good.
    ASSERT_TRUE(waitUntil([&] { return output.find("\"verdict\":\"good\"") != std::string::npos; }, 40000)) << output;
    const auto probing = checkedScrape();
    EXPECT_EQ(value(probing, "nerivane_verdict", {{"verdict", "good"}}), 1);
    EXPECT_EQ(value(probing, "nerivane_probing_locked"), 0);
    EXPECT_EQ(value(probing, "nerivane_probing_interval_seconds"), 1);
    EXPECT_EQ(value(probing, "nerivane_path_info", {{"interface", "eth0"}, {"vpn", "false"}, {"kind", "ethernet"}}), 1);

    // Stopped by the lock, the model holds still: the scrape is the last
    // snapshot the readout printed, to the microsecond.
    ASSERT_TRUE(waitUntil([&] { return !lines("probing").empty(); }, 40000)) << output;
    const auto locked = checkedScrape();
    EXPECT_EQ(value(locked, "nerivane_probing_locked"), 1);
    // Everything since launch still lies in the one-minute window.
    const auto targets = lines("snapshot").back().value(QStringLiteral("targets")).toArray();
    // Router, the provider's edge, two internet hosts and the IPv6 partner.
    ASSERT_EQ(targets.size(), 5);
    const auto router = targets.first().toObject().value(QStringLiteral("metrics")).toObject();
    const std::map<std::string, std::string> labels{{"role", "router"}, {"address", "10.77.0.1"}, {"protocol", "icmp"}};
    const double sent = router.value(QStringLiteral("probesSent")).toDouble(), lost = router.value(QStringLiteral("probesLost")).toDouble();
    // The JSON rounds to the microsecond.
    EXPECT_NEAR(value(locked, "nerivane_target_rtt_median_seconds", labels).value_or(0) * 1000, router.value(QStringLiteral("medianMs")).toDouble(), 0.0005);
    EXPECT_EQ(value(locked, "nerivane_probes_sent_total", labels), sent);
    EXPECT_EQ(value(locked, "nerivane_probes_lost_total", labels), lost);
    EXPECT_EQ(value(locked, "nerivane_rtt_seconds_count", labels), sent - lost);

    // Probing again, then through a VPN: the path changes, every target
    // starts afresh, and no counter goes down.
    ASSERT_TRUE(waitUntil([&] { return lines("probing").size() >= 2; }, 30000)) << output;
    ASSERT_TRUE(lab("vpn on"));
    ASSERT_TRUE(waitUntil([&] {
        const auto all = lines("snapshot");
        return !all.empty() && all.back().value(QStringLiteral("path")).toObject().value(QStringLiteral("vpn")).toBool() &&
               all.back().value(QStringLiteral("verdict")).toString() == QStringLiteral("good");
    }, 40000)) << output;
    const auto tunnelled = checkedScrape();
    EXPECT_EQ(value(tunnelled, "nerivane_path_info", {{"interface", "tun0"}, {"physical_interface", "eth0"}, {"vpn", "true"}}), 1);
    for (const auto& [series, before] : locked) {
        if (series.find("_total") == std::string::npos && series.rfind("nerivane_rtt_seconds_", 0) != 0) continue;
        ASSERT_TRUE(tunnelled.contains(series)) << series << " is gone";
        EXPECT_GE(tunnelled.at(series), before) << series;
    }
    EXPECT_GT(*value(tunnelled, "nerivane_probes_sent_total", {{"role", "router"}}),
              *value(locked, "nerivane_probes_sent_total", {{"role", "router"}}));

    ASSERT_TRUE(waitUntil([&] { return program.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(program.exitCode(), 0);
}

// A host on the network opens idle connections: a scrape is answered within
// a second all the same, no more than the bound of them stay open, and an idle
// one is closed within seconds.
TEST_F(MetricsLab, IdleConnectionsNeitherHoldOffAScrapeNorStayOpen) {
    using namespace std::chrono_literals;
    start(program, {QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:9101"), QStringLiteral("--exit-after"), QStringLiteral("90")});
    ASSERT_TRUE(waitUntil([&] { return scrape(9101, 2s).has_value(); }, 20000)) << "the endpoint never answered";

    std::vector<UniqueFd> idle;
    for (const std::size_t count : {50, 600}) {
        SCOPED_TRACE(count);
        while (idle.size() < count) {
            idle.push_back(connectTo(9101));
            ASSERT_TRUE(idle.back());
        }
        EXPECT_TRUE(scrape(9101, 1s)) << "no scrape within a second while " << count << " idle connections are open";
        // The scrape came after every idle connection, so each has been taken in and the oldest made room.
        const auto open = std::count_if(idle.begin(), idle.end(), [](const UniqueFd& socket) { return !readUntilClosed(socket, 0ms); });
        EXPECT_LE(open, 512);
    }
    const auto opened = std::chrono::steady_clock::now();
    const UniqueFd late = connectTo(9101);
    EXPECT_TRUE(readUntilClosed(late, 6s)) << "an idle connection stayed open";
    EXPECT_GE(std::chrono::steady_clock::now() - opened, 1s) << "an idle connection was closed at once";
}

// 500,000 connections, idle and reset, from two threads: the readout goes on
// at its pace, scrapes are answered within a second, memory comes back after,
// and SIGTERM during a second flood ends the program at once.
TEST_F(MetricsLab, AFloodStallsNothingAndLeavesNothingBehind) {
    using namespace std::chrono_literals;
    using Clock = std::chrono::steady_clock;
    std::vector<Clock::time_point> lines;
    QObject::connect(&program, &QProcess::readyReadStandardOutput, [&] {
        const std::string text = program.readAllStandardOutput().toStdString();
        for (std::size_t at = text.find("\"type\":\"snapshot\""); at != std::string::npos;
             at = text.find("\"type\":\"snapshot\"", at + 1))
            lines.push_back(Clock::now());
    });
    start(program, {QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:9101"), QStringLiteral("--json"),
                    QStringLiteral("--exit-after"), QStringLiteral("300")});
    ASSERT_TRUE(waitUntil([&] { return scrape(9101, 2s).has_value(); }, 20000)) << "the endpoint never answered";
    // The longest time without a readout line from `since` to `until`, in seconds.
    const auto largestGap = [&](Clock::time_point since, Clock::time_point until) {
        double gap = 0;
        Clock::time_point last = since;
        for (const auto line : lines) {
            if (line <= since || line > until) continue;
            gap = std::max(gap, std::chrono::duration<double>(line - last).count());
            last = line;
        }
        return std::max(gap, std::chrono::duration<double>(until - last).count());
    };
    const qint64 pid = program.processId();
    waitUntil([] { return false; }, 5000);
    const long rest = residentKilobytes(pid);
    const auto flooded = Clock::now();
    const double gapBefore = largestGap(flooded - 5s, flooded);

    std::vector<double> scrapes;
    std::size_t failed = 0;
    long peak = rest;
    {
        Flood flood(9101, 500000, 120s);
        while (flood.running()) {
            const auto asked = Clock::now();
            if (scrape(9101, 1s)) {
                scrapes.push_back(std::chrono::duration<double>(Clock::now() - asked).count());
            } else {
                ++failed;
            }
            peak = std::max(peak, residentKilobytes(pid));
            waitUntil([&] { return !flood.running(); }, 500);
        }
        EXPECT_GE(flood.opened(), 500000u) << "the flood ran out of time";
    }
    const auto ended = Clock::now();
    const double gapDuring = largestGap(flooded, ended);
    const double flood = std::chrono::duration<double>(ended - flooded).count();
    EXPECT_LE(gapDuring, 3) << "the readout stalled during the flood";
    // A stalled endpoint answers none; a machine busy with other work may
    // miss the odd second, so allow one in ten.
    EXPECT_LE(failed * 10, scrapes.size() + failed)
        << failed << " scrapes not answered within a second during the flood (of " << scrapes.size() + failed << ")";
    EXPECT_GE(scrapes.size(), 3u);
    // Memory comes back (the flood's connections gone, the same heap).
    EXPECT_TRUE(waitUntil([&] { return residentKilobytes(pid) <= rest + 5 * 1024; }, 15000))
        << residentKilobytes(pid) << " kB after the flood, " << rest << " kB before";
    const long after = residentKilobytes(pid);
    waitUntil([] { return false; }, 5000);
    const double gapAfter = largestGap(ended, Clock::now());
    EXPECT_LE(gapAfter, 3);

    // SIGTERM in the middle of a flood.
    Flood again(9101, 500000, 30s);
    waitUntil([] { return false; }, 2000);
    const auto signalled = Clock::now();
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    const bool ended3s = waitUntil([&] { return program.state() == QProcess::NotRunning; }, 3000);
    waitUntil([&] { return program.state() == QProcess::NotRunning; }, 60000);
    const double termSeconds = std::chrono::duration<double>(Clock::now() - signalled).count();
    again.stop();
    EXPECT_TRUE(ended3s) << "SIGTERM during a flood took " << termSeconds << " s";
    EXPECT_EQ(program.exitCode(), 0);

    std::sort(scrapes.begin(), scrapes.end());
    std::cout << "flood: " << flood << " s; resident " << rest << " kB at rest, " << peak << " kB at most during, " << after
              << " kB after; readout's largest gap " << gapBefore << " s before, " << gapDuring << " s during, " << gapAfter
              << " s after; scrapes during: " << scrapes.size() << " answered (slowest "
              << (scrapes.empty() ? 0 : scrapes.back()) << " s), " << failed << " not within 1 s; SIGTERM to exit "
              << termSeconds << " s\n";
}

// A port held by another process: with --metrics a usage error; as the stored
// setting, monitoring runs on without the endpoint, says why on standard
// error and in the diagnostics report, and serves once the setting changes.
TEST_F(MetricsLab, AStoredAddressItCannotServeLeavesMonitoringRunning) {
    UniqueFd holder(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const auto held = loopback(9102);
    ASSERT_TRUE(::bind(holder.get(), reinterpret_cast<const sockaddr*>(&held), sizeof held) == 0 && ::listen(holder.get(), 4) == 0);
    ASSERT_TRUE(QDir().mkpath(directory.filePath(QStringLiteral("config/nerivane"))));
    QFile settings(directory.filePath(QStringLiteral("config/nerivane/nerivane.conf")));
    ASSERT_TRUE(settings.open(QIODevice::WriteOnly) && settings.write("[General]\nmetricsListen=127.0.0.1:9102\n") > 0);
    settings.close();

    expectUsageError(QStringLiteral("127.0.0.1:9102"), "the port is already in use");

    start(program, {QStringLiteral("--json"), QStringLiteral("--exit-after"), QStringLiteral("8")});
    ASSERT_TRUE(program.waitForFinished(30000));
    EXPECT_EQ(program.exitCode(), 0);
    output = program.readAllStandardOutput().toStdString();
    EXPECT_GE(lines("snapshot").size(), 3u) << output;
    const std::string errors = program.readAllStandardError().toStdString();
    EXPECT_NE(errors.find("metricsListen: metrics address \"127.0.0.1:9102\": the port is already in use; monitoring runs on"),
              std::string::npos) << errors;

    // The same in this process, where the report can be asked for and the setting changed.
    for (const auto& [name, value] : variables("in-process.sqlite")) qputenv(name.toUtf8().constData(), value.toUtf8());
    for (const char* name : inherited) qunsetenv(name);
    AppDelegate delegate(CommandLine{}, AppDelegate::FrontEnd::console);
    delegate.applicationDidFinishLaunching();
    const auto report = [&] {
        std::optional<QString> text;
        QObject context;
        DiagnosticsReport::collect(delegate.model(), &context, [&](const QString& done) { text = done; });
        EXPECT_TRUE(waitUntil([&] { return text.has_value(); }, 10000));
        return text.value_or(QString()).toStdString();
    };
    const std::string notServed = report();
    EXPECT_NE(notServed.find("\nmetrics not served: metrics address \"127.0.0.1:9102\": the port is already in use\n"),
              std::string::npos) << notServed;
    EXPECT_TRUE(delegate.model().isMonitorRunning());

    delegate.preferences().setMetricsListen(QStringLiteral("127.0.0.1:9103"));
    // The endpoint answers on this thread's event loop: scraped from another.
    auto scraped = std::async(std::launch::async, [] { return scrape(9103, std::chrono::seconds(5)); });
    ASSERT_TRUE(waitUntil([&] { return scraped.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000));
    EXPECT_TRUE(scraped.get());
    const std::string serving = report();
    EXPECT_NE(serving.find("\nmetrics serving 127.0.0.1:9103\n"), std::string::npos) << serving;
    delegate.applicationWillTerminate();
}

}  // namespace
}  // namespace nerivane
