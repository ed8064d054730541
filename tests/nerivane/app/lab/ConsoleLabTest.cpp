// The real program in the lab's client namespace: a 40-second internet
// outage seen on a terminal (a pseudo-terminal) as the status area redrawn
// in place and a scroll-back line per change, with events and
// notifications, with only what the
// terminal readout needs in memory, then SIGTERM in the
// middle of a minute and the history it leaves; SIGHUP and a closed pipe
// quit through the same path. Its D-Bus is a private bus with a stand-in
// notification service; its settings and history live in a temporary folder.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <pty.h>
#include <signal.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "NerivaneKit/history/Database.h"
#include "NerivaneKit/platform/UniqueFd.h"
#include "support/LabAccess.h"
#include "support/qt/PrivateBus.h"
#include "support/qt/QtSupport.h"

namespace nerivane {
namespace {

using labtest::lab;
using test::waitUntil;

double wallNow() { return static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000; }

// The probes sent per target address in the history's minute rows that
// start at or after the minute (Unix seconds); empty when the file cannot be read.
std::map<std::string, int> sentSince(const std::string& path, qint64 minute) {
    std::map<std::string, int> sent;
    try {
        Database history(path, Database::Access::readOnly);
        for (const auto& row : history.query("SELECT address, sent FROM aggregates WHERE start >= ?", {Database::Value::integer(minute)}))
            sent[*row.at(0).asText()] += static_cast<int>(*row.at(1).asInteger());
    } catch (const Database::Error&) {
    }
    return sent;
}

// What a terminal shows after the program's output: its lines (the
// scroll-back, then the status area) and the status area as it stood before
// each redraw. Knows the few controls the readout sends: cursor up, erase
// below, erase to the end of the line, carriage return, newline.
struct Screen {
    QStringList lines{QString()};
    std::vector<QStringList> frames;

    // The columns where the line's words end.
    static std::set<qsizetype> wordEnds(const QString& line) {
        std::set<qsizetype> ends;
        for (qsizetype i = 0; i < line.size(); ++i)
            if (line[i] != u' ' && (i + 1 == line.size() || line[i + 1] == u' ')) ends.insert(i);
        return ends;
    }

    explicit Screen(const std::string& output) {
        static const QRegularExpression token(QStringLiteral("\x1b\\[(\\d*)([A-Za-z])|\r|\n|[^\x1b\r\n]+"));
        qsizetype row = 0, column = 0;
        for (auto it = token.globalMatch(QString::fromUtf8(output)); it.hasNext();) {
            const auto match = it.next();
            const QString text = match.captured(0);
            if (text == QLatin1String("\n")) {
                ++row, column = 0;
            } else if (text == QLatin1String("\r")) {
                column = 0;
            } else if (const QString control = match.captured(2); control == QLatin1String("A")) {
                const qsizetype up = std::max(1, match.captured(1).toInt());
                frames.push_back(lines.mid(std::max<qsizetype>(row - up, 0), up));
                row = std::max<qsizetype>(row - up, 0);
            } else if (control == QLatin1String("J")) {
                lines = lines.mid(0, row + 1), lines[row].truncate(column);
            } else if (control == QLatin1String("K")) {
                lines[row].truncate(column);
            } else if (control.isEmpty()) {
                lines[row] = lines[row].leftJustified(column).left(column) + text + lines[row].mid(column + text.size());
                column += text.size();
            }
            while (lines.size() <= row) lines.append(QString());
        }
    }
};

class ConsoleLab : public test::BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        ASSERT_FALSE(labtest::environment("NERIVANE_LAB_CMD").empty()) << "run through lab/run-lab-test";
        server = std::make_unique<test::NotificationServer>(*services);
        ASSERT_TRUE(server->start());
        // Internet hosts clearly slower than the router, so that nothing
        // looks answered by the local network.
        ASSERT_TRUE(lab("reset") && lab("set internet delay=8"));
        QSettings settings(directory.filePath(QStringLiteral("config/nerivane/nerivane.conf")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("notifyOutages"), true);
        settings.setValue(QStringLiteral("displayStyle"), QStringLiteral("text"));
        settings.sync();
        ASSERT_EQ(settings.status(), QSettings::NoError);
        QObject::connect(&program, &QProcess::readyReadStandardOutput, [this] { output += program.readAllStandardOutput().toStdString(); });
    }

    void TearDown() override {
        program.kill();
        program.waitForFinished(10000);
        lab("reset");
    }

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
        output.clear();
        if (onTerminal) {
            // Standard output on a pseudo-terminal of 100 columns, read here.
            int master = -1, slave = -1;
            winsize size{40, 100, 0, 0};
            ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
            terminal = UniqueFd(master);
            program.setChildProcessModifier([slave] { ::dup2(slave, STDOUT_FILENO); });
            reader = std::make_unique<QSocketNotifier>(master, QSocketNotifier::Read);
            QObject::connect(reader.get(), &QSocketNotifier::activated, [this] {
                char buffer[4096];
                const ssize_t n = ::read(terminal.get(), buffer, sizeof buffer);
                if (n > 0) output.append(buffer, static_cast<std::size_t>(n));
                if (n <= 0) reader->setEnabled(false);
            });
            program.start(QString::fromStdString(labtest::environment("NERIVANE_BIN_DIR") + "/nerivane"), arguments);
            ::close(slave);
            ASSERT_TRUE(program.waitForStarted(10000));
            launched = wallNow();
            return;
        }
        program.start(executable.isEmpty() ? QString::fromStdString(labtest::environment("NERIVANE_BIN_DIR") + "/nerivane") : executable,
                      arguments);
        ASSERT_TRUE(program.waitForStarted(10000));
        launched = wallNow();
    }

    // Ends the program with the signal once the condition holds; whether it quit normally, with status 0.
    template <typename Condition>
    void signalWhen(int signal, Condition condition, int seconds) {
        ASSERT_TRUE(waitUntil(condition, seconds * 1000)) << output;
        signalled = wallNow();
        ASSERT_EQ(::kill(static_cast<pid_t>(program.processId()), signal), 0);
        ASSERT_TRUE(finish(30)) << output;
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
    }

    bool finish(int seconds) {
        const bool done = waitUntil([&] { return program.state() == QProcess::NotRunning; }, seconds * 1000);
        output += program.readAllStandardOutput().toStdString();
        return done;
    }

    bool printed(const std::string& text) const { return output.find(text) != std::string::npos; }

    // What `nerivane --diagnostics` prints beside the program, in its
    // environment but for the session bus given.
    std::string diagnostics(const QString& sessionBus, const QStringList& more = {}) const {
        QProcess asking;
        QProcessEnvironment variables = program.processEnvironment();
        variables.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), sessionBus);
        asking.setProcessEnvironment(variables);
        asking.start(QString::fromStdString(labtest::environment("NERIVANE_BIN_DIR") + "/nerivane"),
                     QStringList{QStringLiteral("--diagnostics")} + more);
        EXPECT_TRUE(asking.waitForFinished(30000));
        return asking.readAllStandardOutput().toStdString();
    }

    std::unique_ptr<test::NotificationServer> server;
    QTemporaryDir directory;
    QProcess program;
    std::string output;
    QProcessEnvironment extra;  // for the next launch
    bool onTerminal = false;    // the next launch's standard output a pseudo-terminal
    UniqueFd terminal;
    std::unique_ptr<QSocketNotifier> reader;
    double launched = 0;
    double signalled = 0;
};

TEST_F(ConsoleLab, InternetOutageSeenEndToEndThenSigtermInTheMiddleOfAMinuteWritesThatMinute) {
    const std::string history = directory.filePath(QStringLiteral("outage.sqlite")).toStdString();
    onTerminal = true;
    launch({QStringLiteral("--console")}, history);
    ASSERT_TRUE(waitUntil([&] { return printed("  Good  "); }, 60000)) << output;
    // Neither a picture nor metrics asked for: neither module nor what they link is in memory.
    QFile maps(QStringLiteral("/proc/%1/maps").arg(program.processId()));
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    for (const char* library : {"libQt6Gui", "libQt6Widgets", "libQt6Network", "libprometheus-cpp", "nerivane-desktop", "nerivane-metrics"})
        EXPECT_FALSE(mapped.contains(library)) << library;
    // --diagnostics beside it: the live report over the bus they share;
    // without one in common, the report still knows that it runs.
    const std::string live = diagnostics(bus->address());
    EXPECT_TRUE(live.starts_with("summary:\nverdict good\n")) << live;
    EXPECT_NE(live.find("\ndetail:\n"), std::string::npos) << live;
    const std::string apart = diagnostics(QStringLiteral("unix:path=/nonexistent"));
    EXPECT_NE(apart.find("\nan instance is running (process " + std::to_string(program.processId()) + ") but does not answer"),
              std::string::npos) << apart;
    const double outageStart = wallNow();
    ASSERT_TRUE(lab("set internet mode=silent"));
    ASSERT_TRUE(waitUntil([&] { return wallNow() - outageStart >= 40; }, 60000));
    ASSERT_TRUE(lab("set internet mode=answer"));

    // Good, then down, then good again with the first replies; then a
    // moment well inside a minute.
    const auto goodAgain = [&] {
        const auto down = output.find("  Internet down  ", output.find("  Good  "));
        return down != std::string::npos && output.find("  Good  ", down) != std::string::npos;
    };
    ASSERT_TRUE(waitUntil(goodAgain, 120000)) << output;
    // Good shows with the first replies; "Internet back" waits until they have held a few seconds.
    EXPECT_TRUE(waitUntil([&] { return server->titles().size() >= 2; }, 20000));
    signalWhen(SIGTERM, [&] { return std::fmod(wallNow(), 60) >= 20 && std::fmod(wallNow(), 60) <= 40; }, 70);
    EXPECT_TRUE(printed("  Event: outage 1.1.1.1 1.1.1.1 ")) << output;
    EXPECT_TRUE(printed("  Notification: Internet down: No reply from 1.1.1.1")) << output;
    EXPECT_EQ(server->titles(), (std::vector<QString>{QStringLiteral("Internet down"), QStringLiteral("Internet back")}));

    // The scroll-back: a stamped line per change, none repeating the one
    // before it of the same subject; the router, untouched, has one line.
    const Screen screen(output);
    ASSERT_GT(screen.frames.size(), 60u) << "a redraw a second";
    const auto area = screen.frames.back().size();
    const QStringList scrollBack = screen.lines.mid(0, screen.lines.size() - area - 1);
    std::map<QString, QString> said;
    QStringList verdicts;
    static const QRegularExpression stamped(QStringLiteral("^\\d{1,2}:\\d\\d:\\d\\d( [AP]M)?  (.+?)(: |  )(.*)$"));
    for (const QString& line : scrollBack) {
        const auto match = stamped.match(line);
        EXPECT_TRUE(match.hasMatch()) << line.toStdString();
        const QString subject = match.captured(3) == QLatin1String("  ") ? QStringLiteral("verdict") : match.captured(2);
        const QString what = subject == QLatin1String("verdict") ? match.captured(2) : match.captured(4);
        if (subject == QLatin1String("verdict")) verdicts << what;
        if (!subject.startsWith(QLatin1String("Event")) && !subject.startsWith(QLatin1String("Notification"))) {
            EXPECT_NE(std::exchange(said[subject], what), what) << "repeated: " << line.toStdString();
        }
    }
    EXPECT_LE(scrollBack.size(), 40) << scrollBack.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(scrollBack.filter(QStringLiteral("router 10.77.0.1: ")).size(), 1) << scrollBack.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(verdicts.contains(QStringLiteral("Internet down")) && verdicts.endsWith(QStringLiteral("Good")))
        << verdicts.join(QLatin1Char(',')).toStdString();
    // The status area: in every redraw each figure ends where its heading
    // ends, and the state starts under its own.
    for (const QStringList& frame : screen.frames) {
        if (frame.size() < 6) continue;  // before the targets are known
        const qsizetype state = frame[1].indexOf(QLatin1String("state"));
        const auto headings = Screen::wordEnds(frame[1].left(state));
        for (const QString& row : frame.mid(2, 4)) {
            const auto figures = Screen::wordEnds(row.left(state));
            EXPECT_TRUE(std::includes(figures.begin(), figures.end(), headings.begin(), headings.end()) &&
                        row.mid(state - 1, 2).startsWith(u' ') && !row.mid(state, 1).startsWith(u' '))
                << frame[1].toStdString() << "\n" << row.toStdString();
        }
    }
    std::printf("%s\n", screen.lines.join(QLatin1Char('\n')).toStdString().c_str());

    // Without the program, --diagnostics --json sums up the history: one
    // outage of all the internet hosts, every target's last hour.
    const auto summary = QJsonDocument::fromJson(QByteArray::fromStdString(
                                                     diagnostics(QStringLiteral("unix:path=/nonexistent"), {QStringLiteral("--json")})))
                             .object();
    EXPECT_EQ(summary.value(QStringLiteral("outagesToday")).toInt(), 1) << QJsonDocument(summary).toJson().toStdString();
    EXPECT_NEAR(summary.value(QStringLiteral("outageSecondsToday")).toDouble(), 40, 5);
    EXPECT_EQ(summary.value(QStringLiteral("lastHour")).toArray().size(), 5);  // the provider's hop among them
    EXPECT_TRUE(summary.value(QStringLiteral("verdict")).isNull());

    // The minute of the signal has a row for every target, holding the
    // probes up to the signal: about one a second.
    const qint64 last = static_cast<qint64>(std::floor(signalled / 60)) * 60;
    const auto sent = sentSince(history, last);
    EXPECT_EQ(sent.size(), 5u);  // router, the provider's hop, two internet hosts, the IPv6 partner
    EXPECT_GE(sent.at("10.77.0.1"), static_cast<int>(signalled - std::max(launched, static_cast<double>(last))) - 3);
}

TEST_F(ConsoleLab, HangUpAndAClosedPipeQuitThroughTheSamePath) {
    // SIGHUP, as when the terminal closes: a normal end with the history
    // written. The readout's picture is written on the offscreen platform.
    const std::string hungUp = directory.filePath(QStringLiteral("sighup.sqlite")).toStdString();
    const QString picture = directory.filePath(QStringLiteral("readout.png"));
    extra.insert(QStringLiteral("NERIVANE_SNAPSHOT"), picture);
    extra.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    launch({QStringLiteral("--console")}, hungUp);
    signalWhen(SIGHUP, [&] { return printed("  Good  "); }, 60);
    EXPECT_FALSE(sentSince(hungUp, 0).empty());
    const QImage readout(picture);
    EXPECT_EQ(readout.height(), 24) << "the wide readout at scale 1";
    EXPECT_GE(readout.width(), 40) << "caption and value, gap, mark";
    extra.clear();

    // nerivane | head -6 (the path, measuring, then good and the first
    // targets settled, past the warm-up whose records wait for that): the
    // reader goes away; the program notices within a probing round though
    // no line is due, quits cleanly and writes the history. Without a display it runs
    // the terminal readout, and says why.
    // No D-Bus either: connecting to one would make libdbus ignore SIGPIPE for us.
    const std::string piped = directory.filePath(QStringLiteral("pipe.sqlite")).toStdString();
    extra.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent"));
    extra.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent"));
    launch({QStringLiteral("-c"), QString::fromStdString(labtest::environment("NERIVANE_BIN_DIR") +
                                                          "/nerivane | head -6; echo \"status ${PIPESTATUS[0]}\"")},
           piped, QStringLiteral("bash"));
    ASSERT_TRUE(finish(60)) << output;
    const QByteArray errors = program.readAllStandardError();
    EXPECT_TRUE(errors.contains("no display")) << errors.toStdString();
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 7) << output;
    EXPECT_TRUE(output.ends_with("\nstatus 0\n")) << output;
    EXPECT_FALSE(sentSince(piped, 0).empty());
}

}  // namespace
}  // namespace nerivane
