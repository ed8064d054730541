// A dbus-daemon of the test's own, so that D-Bus tests never reach the
// machine's real services; stand-in service objects registered on it from a
// thread of their own, so that blocking calls from the main thread are
// answered; a stand-in notification server; and a fixture that gives each
// test stand-ins and a client connection on one bus per test suite.
#pragma once

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>
#include <QVariantMap>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace nerivane::test {

class PrivateBus {
public:
    // Starts the daemon; isRunning() tells whether that worked.
    PrivateBus();
    // Stops the daemon and closes every connection made through connect().
    ~PrivateBus();

    bool isRunning() const { return !address_.isEmpty(); }
    QString address() const { return address_; }
    // A new connection to the bus under a name of its own.
    QDBusConnection connect(const QString& name);

private:
    QTemporaryDir directory_;
    QProcess daemon_;
    QString address_;
    QStringList names_;
};

// One object path of a stand-in service: methods answered by handlers, and
// properties served through org.freedesktop.DBus.Properties. Thread-safe: the
// test changes it while the service thread answers calls.
class StandInObject : public QDBusVirtualObject {
public:
    // The reply's arguments, or none for an error reply.
    using Method = std::function<std::optional<QVariantList>(const QDBusMessage&)>;

    void setMethod(const QString& interface, const QString& name, Method method);
    void setPropertyValue(const QString& interface, const QString& name, const QVariant& value);

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;
    QString introspect(const QString&) const override { return QString(); }

private:
    std::mutex mutex_;
    QMap<QString, Method> methods_;
    QMap<QString, QVariant> properties_;
};

// Stand-in services on their own connection, answered on their own thread.
class StandIns {
public:
    StandIns(PrivateBus& bus, const QString& connectionName);
    ~StandIns();

    // The object at path, created and registered on first use.
    StandInObject& object(const QString& path);
    // Takes a well-known name; false when that failed.
    bool own(const QString& service) { return connection_.registerService(service); }
    void release(const QString& service) { connection_.unregisterService(service); }

    // Emits a signal from this connection.
    void emitSignal(const QString& path, const QString& interface, const QString& name, const QVariantList& arguments);
    // Changes a property and announces it with PropertiesChanged.
    void changeProperty(const QString& path, const QString& interface, const QString& name, const QVariant& value);

private:
    QString name_;
    QDBusConnection connection_;
    QThread thread_;
    std::vector<std::pair<QString, std::unique_ptr<StandInObject>>> objects_;
};

// org.freedesktop.Notifications on a StandIns connection: records every
// Notify call (arguments and hints) and answers with ids from 100 on; counts
// GetServerInformation calls, which are how permission is asked. Serves once
// start() has taken the name.
class NotificationServer {
public:
    struct Call {
        QVariantList arguments;
        QVariantMap hints;
        QString title() const { return arguments.value(3).toString(); }
    };

    explicit NotificationServer(StandIns& services);
    bool start();
    std::vector<Call> calls();
    std::vector<QString> titles();
    int asked() const { return state_->asked; }
    // Emits one of the server's signals about a notification.
    void invoke(uint id, const QString& action);
    void close(uint id);

private:
    // Shared with the handlers, which may still run on the service thread
    // when the server object goes away.
    struct State {
        std::mutex mutex;
        std::vector<Call> calls;
        uint nextID = 100;
        std::atomic<int> asked{0};
    };
    StandIns& services_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// One private bus for the test suite; for each test, stand-in services and a
// client connection of their own.
class BusTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

    static inline PrivateBus* bus = nullptr;
    // Declared first, so they outlive the objects a derived fixture makes on them.
    std::unique_ptr<StandIns> services;
    std::unique_ptr<QDBusConnection> client;
};

}  // namespace nerivane::test
