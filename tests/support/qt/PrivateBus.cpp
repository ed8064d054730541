#include "support/qt/PrivateBus.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QFile>
#include <QStandardPaths>
#include <signal.h>
#include <sys/prctl.h>

#include "support/qt/QtSupport.h"

namespace nerivane::test {
namespace {

// No service directories: nothing on this bus may be started by activation.
constexpr const char* configuration =
    R"(<busconfig><type>session</type><listen>unix:dir=%1</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>)";

const QString notifications = QStringLiteral("org.freedesktop.Notifications");
const QString notificationsPath = QStringLiteral("/org/freedesktop/Notifications");

}  // namespace

PrivateBus::PrivateBus() {
    const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    QFile config(directory_.filePath(QStringLiteral("bus.conf")));
    if (program.isEmpty() || !config.open(QIODevice::WriteOnly)) return;
    config.write(QString::fromLatin1(configuration).arg(directory_.path()).toUtf8());
    config.close();
    // The daemon goes with us even if the test program dies.
    daemon_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    daemon_.start(program, {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--print-address"),
                            QStringLiteral("--nofork")});
    QByteArray output;
    while (!output.contains('\n') && daemon_.waitForReadyRead(10000)) output += daemon_.readAllStandardOutput();
    address_ = QString::fromUtf8(output).trimmed();
}

PrivateBus::~PrivateBus() {
    for (const QString& name : names_) QDBusConnection::disconnectFromBus(name);
    daemon_.terminate();
    if (!daemon_.waitForFinished(5000)) daemon_.kill();
    daemon_.waitForFinished(5000);
}

QDBusConnection PrivateBus::connect(const QString& name) {
    names_.append(name);
    return QDBusConnection::connectToBus(address_, name);
}

void StandInObject::setMethod(const QString& interface, const QString& name, Method method) {
    std::lock_guard lock(mutex_);
    methods_.insert(interface + QLatin1Char('.') + name, std::move(method));
}

void StandInObject::setPropertyValue(const QString& interface, const QString& name, const QVariant& value) {
    std::lock_guard lock(mutex_);
    properties_.insert(interface + QLatin1Char('.') + name, value);
}

bool StandInObject::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    const auto arguments = message.arguments();
    std::unique_lock lock(mutex_);
    if (message.interface() == QStringLiteral("org.freedesktop.DBus.Properties") && message.member() == QStringLiteral("Get") &&
        arguments.size() == 2) {
        const QString property = arguments[0].toString() + QLatin1Char('.') + arguments[1].toString();
        connection.send(properties_.contains(property)
                            ? message.createReply(QVariant::fromValue(QDBusVariant(properties_.value(property))))
                            : message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"), property));
        return true;
    }
    const QString key = message.interface() + QLatin1Char('.') + message.member();
    const Method method = methods_.value(key);
    lock.unlock();
    const auto result = method ? method(message) : std::nullopt;
    connection.send(result ? message.createReply(*result)
                           : message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.Failed"), key));
    return true;
}

StandIns::StandIns(PrivateBus& bus, const QString& connectionName)
    : name_(connectionName), connection_(bus.connect(connectionName)) {
    thread_.start();
}

StandIns::~StandIns() {
    for (const auto& [path, object] : objects_) connection_.unregisterObject(path);
    QDBusConnection::disconnectFromBus(name_);
    thread_.quit();
    thread_.wait();
}

StandInObject& StandIns::object(const QString& path) {
    for (auto& [existing, object] : objects_)
        if (existing == path) return *object;
    auto& object = objects_.emplace_back(path, std::make_unique<StandInObject>()).second;
    object->moveToThread(&thread_);
    connection_.registerVirtualObject(path, object.get(), QDBusConnection::SingleNode);
    return *object;
}

void StandIns::emitSignal(const QString& path, const QString& interface, const QString& name, const QVariantList& arguments) {
    auto message = QDBusMessage::createSignal(path, interface, name);
    message.setArguments(arguments);
    connection_.send(message);
}

void StandIns::changeProperty(const QString& path, const QString& interface, const QString& name, const QVariant& value) {
    object(path).setPropertyValue(interface, name, value);
    emitSignal(path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"),
               {interface, QVariantMap{{name, value}}, QStringList{}});
}

NotificationServer::NotificationServer(StandIns& services) : services_(services) {
    auto& server = services.object(notificationsPath);
    server.setMethod(notifications, QStringLiteral("Notify"), [state = state_](const QDBusMessage& message) {
        Call call{message.arguments(), {}};
        if (call.arguments.size() == 8) call.hints = qdbus_cast<QVariantMap>(call.arguments[6].value<QDBusArgument>());
        std::lock_guard lock(state->mutex);
        state->calls.push_back(call);
        return std::optional<QVariantList>{{QVariant::fromValue(state->nextID++)}};
    });
    server.setMethod(notifications, QStringLiteral("GetServerInformation"), [state = state_](const QDBusMessage&) {
        state->asked += 1;
        return std::optional<QVariantList>{
            {QStringLiteral("stand-in"), QStringLiteral("nerivane tests"), QStringLiteral("1.0"), QStringLiteral("1.2")}};
    });
}

bool NotificationServer::start() { return services_.own(notifications); }

std::vector<NotificationServer::Call> NotificationServer::calls() {
    std::lock_guard lock(state_->mutex);
    return state_->calls;
}

std::vector<QString> NotificationServer::titles() {
    std::vector<QString> result;
    for (const auto& call : calls()) result.push_back(call.title());
    return result;
}

void NotificationServer::invoke(uint id, const QString& action) {
    services_.emitSignal(notificationsPath, notifications, QStringLiteral("ActionInvoked"), {id, action});
}

void NotificationServer::close(uint id) {
    services_.emitSignal(notificationsPath, notifications, QStringLiteral("NotificationClosed"), {id, uint(2)});
}

void BusTest::SetUpTestSuite() {
    application();
    bus = new PrivateBus;
}

void BusTest::TearDownTestSuite() {
    delete bus;
    bus = nullptr;
}

void BusTest::SetUp() {
    ASSERT_TRUE(bus->isRunning()) << "no dbus-daemon to run a private bus (scripts/setup installs it)";
    // Connection names are the bus's for its lifetime: each test takes new ones.
    static int serial = 0;
    ++serial;
    services = std::make_unique<StandIns>(*bus, QStringLiteral("services-%1").arg(serial));
    client = std::make_unique<QDBusConnection>(bus->connect(QStringLiteral("client-%1").arg(serial)));
    ASSERT_TRUE(client->isConnected());
}

}  // namespace nerivane::test
