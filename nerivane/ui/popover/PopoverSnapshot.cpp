#include "nerivane/ui/popover/PopoverSnapshot.h"

#include <QCoreApplication>
#include <QDir>
#include <QSaveFile>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <cstdlib>

#include "nerivane/core/AppModel.h"
#include "nerivane/core/IncidentTexts.h"
#include "nerivane/ui/cards/EventsCard.h"
#include "nerivane/ui/popover/PopoverState.h"

namespace nerivane {

std::optional<PopoverSnapshot::Switches> PopoverSnapshot::Switches::read(
    const std::function<std::optional<std::string>(const char*)>& variable) {
    const auto path = variable("NERIVANE_POPOVER_SNAPSHOT");
    if (!path || path->empty()) return std::nullopt;
    Switches switches;
    switches.path = QString::fromStdString(*path);
    if (const auto delay = variable("NERIVANE_POPOVER_DELAY")) {
        bool ok = false;
        const double seconds = QString::fromStdString(*delay).trimmed().toDouble(&ok);
        if (ok && std::isfinite(seconds) && seconds >= 0) switches.delay = seconds;
    }
    if (const auto page = variable("NERIVANE_POPOVER_PAGE")) {
        const QString name = QString::fromStdString(*page);
        if (name == u"paused" || name == u"wifi" || name == u"settings" || name == u"first-run") switches.page = name;
    }
    if (const auto range = variable("NERIVANE_POPOVER_RANGE")) switches.range = parseChartRange(*range);
    return switches;
}

std::optional<PopoverSnapshot::Switches> PopoverSnapshot::Switches::fromEnvironment() {
    return read([](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (value == nullptr) return std::nullopt;
        return std::string(value);
    });
}

PopoverSnapshot::PopoverSnapshot(AppModel& model, PopoverState& state, PopoverActions actions, PopoverView::Places places,
                                 PopoverView::Options options, Switches switches, std::function<bool()> popoverShown,
                                 QObject* parent)
    : QObject(parent),
      model_(model),
      state_(state),
      actions_(std::move(actions)),
      places_(std::move(places)),
      options_(std::move(options)),
      switches_(std::move(switches)),
      popoverShown_(std::move(popoverShown)) {}

PopoverSnapshot::~PopoverSnapshot() = default;

void PopoverSnapshot::start() {
    QTimer::singleShot(static_cast<int>(std::lround(switches_.delay * 1000)), this, &PopoverSnapshot::open);
}

PopoverSnapshot* PopoverSnapshot::startFromEnvironment(AppModel& model, PopoverState& state, PopoverActions actions,
                                                       PopoverView::Places places, PopoverView::Options options,
                                                       std::function<bool()> popoverShown, QObject* parent) {
    auto switches = Switches::fromEnvironment();
    if (!switches) return nullptr;
    auto* snapshot = new PopoverSnapshot(model, state, std::move(actions), std::move(places), std::move(options),
                                         std::move(*switches), std::move(popoverShown), parent);
    snapshot->start();
    return snapshot;
}

std::optional<std::string> PopoverSnapshot::defaultWiFiInterface() {
    const QDir net(QStringLiteral("/sys/class/net"));
    for (const QString& name : net.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        if (QDir(net.filePath(name) + QStringLiteral("/wireless")).exists()) return name.toStdString();
    }
    return std::nullopt;
}

void PopoverSnapshot::open() {
    if (switches_.page == u"paused") model_.pauseForOneHour();
    if (switches_.page == u"wifi") {
        if (const auto name = defaultWiFiInterface()) options_.wifi = WiFiInfo::read(*name);
    }
    if (switches_.page == u"settings") state_.setShowingSettings(true);
    if (switches_.page == u"first-run") state_.setShowingFirstRun(true);
    if (switches_.range) state_.setChartRange(*switches_.range);

    window_ = std::make_unique<QWidget>(nullptr, Qt::FramelessWindowHint | Qt::Tool);
    window_->setAttribute(Qt::WA_DontShowOnScreen);
    window_->setAttribute(Qt::WA_ShowWithoutActivating);
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    view_ = new PopoverView(model_, state_, actions_, places_, options_, window_.get());
    layout->addWidget(view_);
    window_->move(-10000, -10000);
    window_->resize(PopoverView::fixedWidth(), 400);
    window_->show();
    model_.setDetailsVisible(true);
    if (view_->eventsCard() != nullptr) view_->eventsCard()->load();
    QTimer::singleShot(settleMilliseconds, this, &PopoverSnapshot::capture);
}

QImage PopoverSnapshot::render(PopoverView& view) {
    QWidget* window = view.window();
    if (!window->isVisible()) {
        window->setAttribute(Qt::WA_DontShowOnScreen);
        window->show();
    }
    window->setFixedSize(PopoverView::fixedWidth(), view.contentHeight());
    // The estimate can fall short of wrapped texts: grow until nothing scrolls.
    for (int attempt = 0; attempt < 4; ++attempt) {
        QCoreApplication::sendPostedEvents();
        const int overflow = view.overflow();
        if (overflow <= 0) break;
        window->setFixedSize(PopoverView::fixedWidth(), window->height() + overflow);
    }
    return view.grab().toImage();
}

void PopoverSnapshot::capture() {
    bool written = false;
    if (view_) written = render(*view_).save(switches_.path, "PNG");
    // Beside the picture, the events card's rows as text, one a line, so a
    // script can read what the popup listed.
    if (written && view_ && view_->eventsCard() != nullptr) {
        QSaveFile rows(switches_.path + QStringLiteral(".events.txt"));
        if (rows.open(QIODevice::WriteOnly)) {
            for (const auto& incident : view_->eventsCard()->incidents())
                rows.write((IncidentTexts::line(incident) + QLatin1Char('\n')).toUtf8());
            rows.commit();
        }
    }
    window_->hide();
    window_.reset();
    if (!popoverShown_ || !popoverShown_()) model_.setDetailsVisible(false);
    emit finished(written);
}

}  // namespace nerivane
