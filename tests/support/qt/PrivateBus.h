// A dbus-daemon of the test's own, so that D-Bus tests never reach the
// machine's real services; stand-in service objects answered on a thread of
// their own, so that blocking calls from the main thread are answered; a
// stand-in notification server; and a fixture with stand-ins and a client
// connection per test on one bus per test suite.
#pragma once

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <signal.h>
#include <sys/prctl.h>
#include <vector>

#include "support/qt/QtSupport.h"

namespace nerivane::test {

class PrivateBus {
public:
    PrivateBus() {
        // No service directories: nothing on this bus may be started by activation.
        QFile config(directory_.filePath(QStringLiteral("bus.conf")));
        if (!config.open(QIODevice::WriteOnly)) return;
        config.write(QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen><auth>EXTERNAL</auth>"
                                    "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                    "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>")
                         .arg(directory_.path()).toUtf8());
        config.close();
        // The daemon goes with us even if the test program dies.
        daemon_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--print-address"), QStringLiteral("--nofork")});
        QByteArray output;
        while (!output.contains('\n') && daemon_.waitForReadyRead(10000)) output += daemon_.readAllStandardOutput();
        address_ = QString::fromUtf8(output).trimmed();
    }
    ~PrivateBus() {
        for (const QString& name : names_) QDBusConnection::disconnectFromBus(name);
        daemon_.terminate();
        if (!daemon_.waitForFinished(5000)) daemon_.kill();
        daemon_.waitForFinished(5000);
    }
    bool isRunning() const { return !address_.isEmpty(); }
    QString address() const { return address_; }
    // A new connection under a name of its own, closed with the bus.
    QDBusConnection connect(const QString& name) {
        names_.append(name);
        return QDBusConnection::connectToBus(address_, name);
    }

private:
    QTemporaryDir directory_;
    QProcess daemon_;
    QString address_;
    QStringList names_;
};

// One object path of a stand-in service: methods answered by handlers (the
// reply's arguments, or none for an error reply). Locked: the test changes it
// while the service thread answers.
class StandInObject : public QDBusVirtualObject {
public:
    using Method = std::function<std::optional<QVariantList>(const QDBusMessage&)>;

    void setMethod(const QString& interface, const QString& name, Method method) {
        std::lock_guard lock(mutex_);
        methods_.insert(interface + u'.' + name, std::move(method));
    }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QString key = message.interface() + u'.' + message.member();
        std::unique_lock lock(mutex_);
        const Method method = methods_.value(key);
        lock.unlock();
        const auto result = method ? method(message) : std::nullopt;
        connection.send(result ? message.createReply(*result) : message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.Failed"), key));
        return true;
    }
    QString introspect(const QString&) const override { return QString(); }

private:
    std::mutex mutex_;
    QMap<QString, Method> methods_;
};

// Stand-in services on their own connection, answered on their own thread.
class StandIns {
public:
    StandIns(PrivateBus& bus, const QString& connectionName) : name_(connectionName), connection_(bus.connect(connectionName)) {
        thread_.start();
    }
    ~StandIns() {
        for (const auto& [path, object] : objects_) connection_.unregisterObject(path);
        QDBusConnection::disconnectFromBus(name_);
        thread_.quit();
        thread_.wait();
    }
    // The object at path, registered on first use.
    StandInObject& object(const QString& path) {
        for (auto& [existing, object] : objects_)
            if (existing == path) return *object;
        auto& object = objects_.emplace_back(path, std::make_unique<StandInObject>()).second;
        object->moveToThread(&thread_);
        connection_.registerVirtualObject(path, object.get(), QDBusConnection::SingleNode);
        return *object;
    }
    bool own(const QString& service) { return connection_.registerService(service); }
    void release(const QString& service) { connection_.unregisterService(service); }
    void emitSignal(const QString& path, const QString& interface, const QString& name, const QVariantList& arguments) {
        auto message = QDBusMessage::createSignal(path, interface, name);
        message.setArguments(arguments);
        connection_.send(message);
    }

private:
    QString name_;
    QDBusConnection connection_;
    QThread thread_;
    std::vector<std::pair<QString, std::unique_ptr<StandInObject>>> objects_;
};

// org.freedesktop.Notifications: records every Notify call and answers with
// ids from 100 on; answers GetServerInformation, which is how permission is
// asked. Serves once start() has taken the name.
class NotificationServer {
public:
    explicit NotificationServer(StandIns& services) : services_(services) {
        auto& server = services.object(path);
        server.setMethod(name, QStringLiteral("Notify"), [state = state_](const QDBusMessage& message) {
            std::lock_guard lock(state->mutex);
            state->calls.push_back(message.arguments());
            return std::optional<QVariantList>{{QVariant::fromValue(state->nextID++)}};
        });
        server.setMethod(name, QStringLiteral("GetServerInformation"), [](const QDBusMessage&) {
            return std::optional<QVariantList>{{QStringLiteral("stand-in"), QStringLiteral("tests"), QStringLiteral("1"), QStringLiteral("1.2")}};
        });
    }
    bool start() { return services_.own(name); }
    // The arguments of each Notify call.
    std::vector<QVariantList> calls() {
        std::lock_guard lock(state_->mutex);
        return state_->calls;
    }
    std::vector<QString> titles() {
        std::vector<QString> result;
        for (const auto& call : calls()) result.push_back(call.value(3).toString());
        return result;
    }
    void invoke(uint id, const QString& action) { services_.emitSignal(path, name, QStringLiteral("ActionInvoked"), {id, action}); }
    void close(uint id) { services_.emitSignal(path, name, QStringLiteral("NotificationClosed"), {id, uint(2)}); }

private:
    inline static const QString name = QStringLiteral("org.freedesktop.Notifications");
    inline static const QString path = QStringLiteral("/org/freedesktop/Notifications");
    // Shared with the handlers, which may still run on the service thread
    // when the server object goes away.
    struct State {
        std::mutex mutex;
        std::vector<QVariantList> calls;
        uint nextID = 100;
    };
    StandIns& services_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// org.freedesktop.NetworkManager as far as connectivity goes: the manager,
// its primary connection and that one's device, all full, checking against
// checkURL. set() changes a property and announces it as NetworkManager does.
// Serves once start() has taken the name.
class NetworkManagerStandIn {
public:
    inline static const QString name = QStringLiteral("org.freedesktop.NetworkManager"), manager = QStringLiteral("/org/freedesktop/NetworkManager"),
                                device = manager + QStringLiteral("/Devices/2"), checkURL = QStringLiteral("http://check.example/portal");

    explicit NetworkManagerStandIn(StandIns& services) : services_(services) {
        const QDBusObjectPath active(manager + QStringLiteral("/ActiveConnection/1"));
        objects_ = {{manager, {{"Connectivity", 4u}, {"ConnectivityCheckUri", checkURL}, {"PrimaryConnection", QVariant::fromValue(active)}}},
                    {active.path(), {{"Devices", QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath(device)})}}},
                    {device, {{"Ip4Connectivity", 4u}, {"Ip6Connectivity", 4u}}}};
        for (auto it = objects_.begin(); it != objects_.end(); ++it) serve(it.key());
    }
    bool start() { return services_.own(name); }
    void stop() { services_.release(name); }
    void set(const QString& path, const QString& property, const QVariant& value) {
        objects_[path][property] = value;
        serve(path);
        services_.emitSignal(path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"),
                             {path == manager ? name : name + QStringLiteral(".Device"), QVariantMap{{property, value}}, QStringList()});
    }

private:
    // Get answers from a copy: the service thread never reads what the test changes.
    void serve(const QString& path) {
        services_.object(path).setMethod(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                         [properties = objects_.value(path)](const QDBusMessage& get) {
                                             const QVariant value = properties.value(get.arguments().value(1).toString());
                                             return value.isValid() ? std::optional(QVariantList{QVariant::fromValue(QDBusVariant(value))}) : std::nullopt;
                                         });
    }
    StandIns& services_;
    QMap<QString, QVariantMap> objects_;
};

// One private bus for the test suite; stand-in services and a client
// connection of their own for each test.
class BusTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        application();
        bus = new PrivateBus;
    }
    static void TearDownTestSuite() {
        delete bus;
        bus = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(bus->isRunning()) << "no dbus-daemon to run a private bus (scripts/setup installs it)";
        // Connection names are the bus's for its lifetime: each test takes new ones.
        static int serial = 0;
        ++serial;
        services = std::make_unique<StandIns>(*bus, QStringLiteral("services-%1").arg(serial));
        client = std::make_unique<QDBusConnection>(bus->connect(QStringLiteral("client-%1").arg(serial)));
        ASSERT_TRUE(client->isConnected());
    }

    static inline PrivateBus* bus = nullptr;
    // Declared first, so they outlive the objects a derived fixture makes on them.
    std::unique_ptr<StandIns> services;
    std::unique_ptr<QDBusConnection> client;
};

}  // namespace nerivane::test
