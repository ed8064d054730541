// One monitor per user session: the first instance owns the name
// org.nerivane.Nerivane on the session bus and serves Activate() there,
// which brings up its popup or window and answers with its front end
// ("tray", "window" or "console"); a second desktop launch finds the name
// taken, asks the first and ends. Owned by the application delegate; main thread.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <optional>
#include <utility>

namespace nerivane {

class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.nerivane.Nerivane")

public:
    enum class Claim { owned, alreadyRunning, noBus };

    static constexpr const char* objectPath = "/org/nerivane/Nerivane";

    explicit SingleInstance(QDBusConnection bus, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Owns the name, or finds it owned by a running instance.
    Claim claim();
    // Asks the instance that owns the name to open its popup; its front end when it answered.
    std::optional<QString> activateRunning();
    // What Activate answers: the front end this instance runs.
    void setFrontEnd(QString frontEnd) { frontEnd_ = std::move(frontEnd); }
    // Whether a second launch asked before anything listened (while the
    // front end was still being chosen); cleared by asking.
    bool takeEarlyActivation() { return std::exchange(earlyActivation_, false); }
    // The connection that owns the name once claimed, for the program's other objects.
    QDBusConnection bus() const { return bus_; }
    bool owned() const { return owned_; }

public slots:
    // Called over the bus by a second launch.
    Q_SCRIPTABLE QString Activate();

signals:
    void activationRequested();

private:
    QDBusConnection bus_;
    bool owned_ = false;
    QString frontEnd_;
    bool earlyActivation_ = false;
};

}  // namespace nerivane
