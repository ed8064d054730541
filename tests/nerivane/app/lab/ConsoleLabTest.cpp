// The real program in the lab's client namespace: a 40-second internet
// outage seen as verdicts, events and notifications, the history it leaves,
// and a clean quit on SIGTERM. Its D-Bus is a private bus with a stand-in
// notification service; its settings and history live in a temporary folder.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QImage>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <signal.h>
#include <sstream>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "support/qt/PrivateBus.h"
#include "support/qt/QtSupport.h"

namespace nerivane {
namespace {

using test::waitUntil;

// The lab's targets with the default settings, by address.
const std::set<std::string> targetAddresses{"10.77.0.1", "1.1.1.1", "8.8.8.8", "2606:4700:4700::1111"};

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

int lab(const std::string& verb) {
    return std::system((environment("NERIVANE_LAB_CMD") + " " + verb + " --name " + environment("NERIVANE_LAB") +
                        " >/dev/null")
                           .c_str());
}

double wallNow() {
    return static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000;
}

class ConsoleLab : public test::BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        ASSERT_FALSE(environment("NERIVANE_LAB_CMD").empty()) << "run through lab/run-lab-test";
        server = std::make_unique<test::NotificationServer>(*services);
        ASSERT_TRUE(server->start());

        // Internet hosts clearly slower than the router, so that nothing
        // looks answered by the local network.
        ASSERT_EQ(lab("reset"), 0);
        ASSERT_EQ(lab("set internet delay=8"), 0);

        QSettings settings(directory.filePath(QStringLiteral("config/nerivane/nerivane.conf")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("notifyOutages"), true);
        settings.setValue(QStringLiteral("displayStyle"), QStringLiteral("text"));
        settings.sync();
        ASSERT_EQ(settings.status(), QSettings::NoError);
    }

    void TearDown() override {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished(10000);
        }
        lab("reset");
    }

    std::string historyPath(const char* name) { return directory.filePath(QString::fromUtf8(name)).toStdString(); }

    // The program with the arguments, or another executable (a shell running it).
    void launch(const QStringList& arguments, const std::string& history, const QString& executable = {}) {
        QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"NERIVANE_HOSTS", "NERIVANE_ON_BATTERY", "NERIVANE_LOCK_TEST", "XDG_SESSION_ID"})
            variables.remove(QString::fromLatin1(name));
        variables.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus->address());
        variables.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), bus->address());
        variables.insert(QStringLiteral("XDG_CONFIG_HOME"), directory.filePath(QStringLiteral("config")));
        variables.insert(QStringLiteral("XDG_DATA_HOME"), directory.filePath(QStringLiteral("data")));
        variables.insert(QStringLiteral("NERIVANE_HISTORY"), QString::fromStdString(history));
        variables.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        for (const auto& name : extra.keys()) variables.insert(name, extra.value(name));
        program.setProcessEnvironment(variables);
        program.setProcessChannelMode(QProcess::SeparateChannels);
        if (!reading) {
            QObject::connect(&program, &QProcess::readyReadStandardOutput, [this] {
                output += program.readAllStandardOutput().toStdString();
            });
            reading = true;
        }
        output.clear();
        program.start(executable.isEmpty() ? QString::fromStdString(environment("NERIVANE_BIN_DIR") + "/nerivane")
                                           : executable,
                      arguments);
        ASSERT_TRUE(program.waitForStarted(10000));
        launched = wallNow();
    }

    bool finish(int seconds) {
        const bool done = waitUntil([&] { return program.state() == QProcess::NotRunning; }, seconds * 1000);
        output += program.readAllStandardOutput().toStdString();
        return done;
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream stream(output);
        for (std::string line; std::getline(stream, line);) result.push_back(line);
        return result;
    }

    // The verdict title of every snapshot line, repeats folded.
    std::vector<std::string> verdicts() const {
        std::vector<std::string> result;
        for (const auto& line : lines()) {
            // "HH:MM:SS  Title  readout  explanation"; other lines have a colon after the time.
            if (line.size() < 11 || line.compare(8, 2, "  ") != 0) continue;
            const auto end = line.find("  ", 10);
            const std::string title = line.substr(10, end - 10);
            if (title.find(':') != std::string::npos || title.rfind("Probing", 0) == 0) continue;
            if (result.empty() || result.back() != title) result.push_back(title);
        }
        return result;
    }

    bool printed(const std::string& text) const { return output.find(text) != std::string::npos; }

    // The measurements export as the probes sent per minute start (Unix
    // seconds) and target address, each address once a minute. The export
    // leaves out the minute it is made in, as the application would still be
    // filling it: so it waits for the next one.
    std::map<qint64, std::map<std::string, int>> sentPerMinute(const std::string& history, double after) {
        const double nextMinute = std::floor(after / 60) * 60 + 60;
        EXPECT_TRUE(waitUntil([&] { return wallNow() >= nextMinute + 0.5; }, 70000));
        QProcess exporter;
        exporter.start(QString::fromStdString(environment("NERIVANE_BIN_DIR") + "/nerivane-history"),
                       {QStringLiteral("export"), QStringLiteral("measurements"), QStringLiteral("--range"),
                        QStringLiteral("all"), QStringLiteral("--db"), QString::fromStdString(history)});
        EXPECT_TRUE(exporter.waitForFinished(30000));
        EXPECT_EQ(exporter.exitCode(), 0) << exporter.readAllStandardError().toStdString();

        std::map<qint64, std::map<std::string, int>> minutes;
        std::istringstream stream(exporter.readAllStandardOutput().toStdString());
        std::string line;
        std::getline(stream, line);
        EXPECT_EQ(line, "start,period_s,state,target,address,protocol,sent,lost,late,loss_pct,median_ms,p95_ms,"
                        "jitter_ms,rssi_dbm");
        while (std::getline(stream, line)) {
            std::vector<std::string> fields;
            std::istringstream cells(line);
            for (std::string cell; std::getline(cells, cell, ',');) fields.push_back(cell);
            if (fields.size() < 7 || fields[4].empty()) continue;
            const auto start = QDateTime::fromString(QString::fromStdString(fields[0]), Qt::ISODate);
            EXPECT_TRUE(start.isValid()) << line;
            auto& targets = minutes[start.toSecsSinceEpoch()];
            EXPECT_FALSE(targets.contains(fields[4])) << "two rows for " << fields[4];
            targets[fields[4]] = std::stoi(fields[6]);
        }
        return minutes;
    }

    std::unique_ptr<test::NotificationServer> server;
    QTemporaryDir directory;
    QProcess program;
    std::string output;
    // Set for the next launch as well.
    QProcessEnvironment extra;
    bool reading = false;
    double launched = 0;
};

TEST_F(ConsoleLab, InternetOutageSeenEndToEnd) {
    // With the 60-second loss window the verdict goes back to good about 70 s
    // after the internet does, so the run is longer than outage plus warm-up.
    const std::string history = historyPath("outage.sqlite");
    launch({QStringLiteral("--console"), QStringLiteral("--exit-after"), QStringLiteral("160")}, history);
    ASSERT_TRUE(waitUntil([&] { return printed("  Good  "); }, 60000)) << output;
    const double outageStart = wallNow();
    ASSERT_EQ(lab("set internet mode=silent"), 0);
    ASSERT_TRUE(waitUntil([&] { return wallNow() - outageStart >= 40; }, 60000));
    ASSERT_EQ(lab("set internet mode=answer"), 0);

    ASSERT_TRUE(finish(160)) << output;
    const double ended = wallNow();
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
    EXPECT_GE(ended - launched, 159);

    // Good, then down, then (after the lost probes have left the window) good again.
    const auto seen = verdicts();
    const auto good = std::find(seen.begin(), seen.end(), "Good");
    const auto down = std::find(good, seen.end(), "Internet down");
    ASSERT_NE(down, seen.end()) << output;
    EXPECT_NE(std::find(down, seen.end(), "Good"), seen.end()) << output;
    EXPECT_TRUE(printed("  Event: outage 1.1.1.1 1.1.1.1 ")) << output;
    EXPECT_TRUE(printed("  Event: outage 8.8.8.8 8.8.8.8 ")) << output;
    EXPECT_TRUE(printed("  Notification: Internet down: No reply from 1.1.1.1")) << output;
    EXPECT_TRUE(printed("  Notification: Internet back: It was down for ")) << output;
    EXPECT_EQ(server->titles(), (std::vector<QString>{QStringLiteral("Internet down"), QStringLiteral("Internet back")}));

    // One row per target and minute from the first minute to the last, the
    // minute of the exit included.
    const auto minutes = sentPerMinute(history, ended);
    ASSERT_FALSE(minutes.empty());
    const qint64 first = static_cast<qint64>(std::floor((launched + 2) / 60)) * 60;
    const qint64 last = static_cast<qint64>(std::floor((ended - 2) / 60)) * 60;
    int routerSent = 0;
    for (qint64 minute = first; minute <= last; minute += 60) {
        ASSERT_TRUE(minutes.contains(minute)) << "no rows for minute " << minute;
        std::set<std::string> addresses;
        for (const auto& [address, sent] : minutes.at(minute)) addresses.insert(address);
        EXPECT_EQ(addresses, targetAddresses) << "minute " << minute;
    }
    for (const auto& [minute, targets] : minutes) {
        EXPECT_GE(minute, first - 60);
        EXPECT_LE(minute, last + 60);
        if (targets.contains("10.77.0.1")) routerSent += targets.at("10.77.0.1");
    }
    // A probe a second for 160 s, less the first moments of start-up.
    EXPECT_GE(routerSent, 150);
    EXPECT_LE(routerSent, 165);
}

TEST_F(ConsoleLab, SigtermInTheMiddleOfAMinuteWritesThatMinute) {
    const std::string history = historyPath("sigterm.sqlite");
    launch({QStringLiteral("--console")}, history);
    // Past the warm-up (whose records wait until the targets settle), then a
    // moment well inside a minute.
    ASSERT_TRUE(waitUntil([&] {
        const double second = std::fmod(wallNow(), 60);
        return wallNow() - launched >= 15 && second >= 20 && second <= 40;
    }, 90000));
    const double terminated = wallNow();
    ASSERT_EQ(::kill(static_cast<pid_t>(program.processId()), SIGTERM), 0);
    ASSERT_TRUE(finish(30)) << output;
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_TRUE(printed("  Good  ") || printed("  Measuring  ")) << output;

    const auto minutes = sentPerMinute(history, terminated);
    const qint64 minute = static_cast<qint64>(std::floor(terminated / 60)) * 60;
    ASSERT_TRUE(minutes.contains(minute)) << "the minute of the signal was not written";
    // Probes from the start of the minute (or of the run) up to the signal.
    const double probing = terminated - std::max(launched, static_cast<double>(minute));
    EXPECT_GE(minutes.at(minute).at("10.77.0.1"), static_cast<int>(probing) - 3);
}

// Rows of the history's minute table; -1 when the file cannot be read.
int historyRows(const std::string& path) {
    sqlite3* database = nullptr;
    int rows = -1;
    if (sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(database, "SELECT count(*) FROM aggregates", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            rows = sqlite3_column_int(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(database);
    return rows;
}

TEST_F(ConsoleLab, HangUpAndAClosedPipeQuitThroughTheSamePath) {
    // SIGHUP, as when the terminal closes: a normal end with the history
    // written. The readout's picture is written on the offscreen platform.
    const std::string hungUp = historyPath("sighup.sqlite");
    const QString picture = directory.filePath(QStringLiteral("readout.png"));
    extra.insert(QStringLiteral("NERIVANE_SNAPSHOT"), picture);
    extra.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    launch({QStringLiteral("--console")}, hungUp);
    ASSERT_TRUE(waitUntil([&] { return printed("  Good  "); }, 60000)) << output;
    ASSERT_EQ(::kill(static_cast<pid_t>(program.processId()), SIGHUP), 0);
    ASSERT_TRUE(finish(30)) << output;
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_GT(historyRows(hungUp), 0);
    const QImage readout(picture);
    EXPECT_EQ(readout.height(), 24) << "the wide readout at scale 1";
    EXPECT_GE(readout.width(), 40) << "caption and value, gap, mark";
    extra.clear();

    // nerivane | head -15 (past the warm-up, whose records wait until the
    // targets settle): the reader goes away; the program notices at its next
    // line, quits cleanly and writes the history. Without a display it runs
    // the terminal readout, and says why.
    const std::string piped = historyPath("pipe.sqlite");
    const QString command = QString::fromStdString(environment("NERIVANE_BIN_DIR") +
                                                   "/nerivane | head -15; echo \"status ${PIPESTATUS[0]}\"");
    launch({QStringLiteral("-c"), command}, piped, QStringLiteral("bash"));
    ASSERT_TRUE(finish(60)) << output;
    const QByteArray errors = program.readAllStandardError();
    EXPECT_TRUE(errors.contains("no display")) << errors.toStdString();
    const auto written = lines();
    ASSERT_EQ(written.size(), 16u) << output;
    EXPECT_EQ(written[15], "status 0");
    EXPECT_GT(historyRows(piped), 0);
}

}  // namespace
}  // namespace nerivane
