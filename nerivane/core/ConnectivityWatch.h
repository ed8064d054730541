// NetworkManager's own answer to "does this network let me out": its overall
// connectivity, that of the primary connection's device per address family,
// and the address it checks against, which a portal intercepts and so serves
// as the page to sign in on. Owned by the application model; main thread,
// where every change is reported.
//
// Without a system bus or without NetworkManager every level is unknown and
// nothing is logged; NetworkManager that starts or goes away while we run is
// read again or forgotten. Only the manager's and the primary device's
// property changes are followed, not every object NetworkManager has.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>
#include <functional>

namespace nerivane {

class ConnectivityWatch : public QObject {
    Q_OBJECT

public:
    // NetworkManager's NMConnectivityState, in its numbering.
    enum class Level { unknown, none, portal, limited, full };

    struct State {
        Level overall = Level::unknown;
        // The primary connection's device; unknown before NetworkManager 1.16.
        Level ipv4 = Level::unknown;
        Level ipv6 = Level::unknown;
        // ConnectivityCheckUri (NetworkManager 1.20 on); empty when not said.
        QString checkURL;
        bool operator==(const State&) const = default;

        // A portal overall or on the primary device's IPv4.
        bool signInNeeded() const { return overall == Level::portal || ipv4 == Level::portal; }
        // IPv6 limited or held by a portal while IPv4 gets through.
        bool ipv6Limited() const { return ipv4 == Level::full && (ipv6 == Level::limited || ipv6 == Level::portal); }
        // The check address when it is a web page (http or https); else empty,
        // so that nothing but a browser is ever started on it.
        QUrl signInURL() const;
    };

    // A number from the bus; out of range reads as unknown.
    static Level level(uint value);

    // The machine's system bus.
    explicit ConnectivityWatch(QObject* parent = nullptr);
    explicit ConnectivityWatch(QDBusConnection systemBus, QObject* parent = nullptr);
    ~ConnectivityWatch() override;

    const State& state() const { return state_; }

    // Called after the state changed, on the main thread.
    std::function<void()> onChange;

private slots:
    void handleManagerPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                        const QStringList& invalidated);
    void handleDevicePropertiesChanged(const QString& interface, const QVariantMap& changed,
                                       const QStringList& invalidated);

private:
    // Reads everything anew and follows the primary device.
    void refresh();
    void follow(const QString& devicePath);
    void set(const State& state);

    QDBusConnection bus_;
    // The device whose changes we listen to; empty while there is none.
    QString devicePath_;
    State state_;
};

}  // namespace nerivane
