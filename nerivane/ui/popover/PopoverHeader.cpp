#include "nerivane/ui/popover/PopoverHeader.h"

#include <QDateTime>
#include <QVBoxLayout>
#include <cmath>

#include "nerivane/core/AppModel.h"

namespace nerivane {

PopoverHeader::PopoverHeader(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    auto* product = new QLabel(QStringLiteral("nerivane"), this);
    QFont productFont = product->font();
    productFont.setBold(true);
    product->setFont(productFont);
    status_ = new QLabel(this);
    QFont statusFont = status_->font();
    statusFont.setPointSizeF(statusFont.pointSizeF() * 1.3);
    statusFont.setBold(true);
    status_->setFont(statusFont);
    explanation_ = new QLabel(this);
    explanation_->setWordWrap(true);
    network_ = new QLabel(this);
    network_->setTextFormat(Qt::RichText);
    for (QLabel* label : {product, status_, explanation_, network_}) column->addWidget(label);

    connect(&model_, &AppModel::changed, this, &PopoverHeader::update);
    connect(&model_, &AppModel::offlineSinceChanged, this, &PopoverHeader::update);
    update();
}

QString PopoverHeader::statusText(const MonitorSnapshot& snapshot, std::optional<double> pausedUntil,
                                  const VerdictTexts::Context& context) {
    if (!pausedUntil) return VerdictTexts::verdictTitle(snapshot.verdict);
    const auto end = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::llround(*pausedUntil * 1000)), context.zone);
    return QStringLiteral("Paused until ") + context.locale.toString(end.time(), QLocale::ShortFormat);
}

QString PopoverHeader::networkLine(const MonitorSnapshot& snapshot) {
    QString line;
    switch (snapshot.path.kind) {
    case NetworkPath::Kind::wifi: line = QStringLiteral("Wi\u2011Fi"); break;
    case NetworkPath::Kind::ethernet: line = QStringLiteral("Ethernet"); break;
    case NetworkPath::Kind::cellular: line = QStringLiteral("Cellular"); break;
    case NetworkPath::Kind::other: line = QStringLiteral("Other"); break;
    }
    if (snapshot.path.isVPN) line += QStringLiteral(" <span style=\"color: gray\">via VPN</span>");
    if (snapshot.ipv6Problem) line += QStringLiteral(" <span style=\"color: #e8871e\">IPv6 problem</span>");
    return line;
}

void PopoverHeader::update() {
    const auto context = VerdictTexts::Context::current();
    const MonitorSnapshot& snapshot = model_.snapshot();
    status_->setText(statusText(snapshot, model_.pausedUntil(), context));
    explanation_->setText(VerdictTexts::verdictExplanation(snapshot, model_.offlineSince(), context));
    network_->setText(networkLine(snapshot));
}

}  // namespace nerivane
