// The Wi-Fi card: link quality of the current Wi-Fi connection (signal,
// noise, signal to noise, rate, channel). Made once with the popup's column,
// hidden while the path is not Wi-Fi, and updated in place; main thread.
#pragma once

#include <vector>

#include "nerivane/core/WiFiInfo.h"
#include "nerivane/ui/cards/CardFrame.h"
#include "nerivane/ui/cards/CardTexts.h"

class QLabel;

namespace nerivane {

class WiFiCard : public CardFrame {
    Q_OBJECT

public:
    // The values shown, in order; the one without a unit (the channel line)
    // takes a row of its own under the others.
    static std::vector<CardTexts::Value> model(const WiFiInfo& info);

    // Hidden until the first update with details.
    explicit WiFiCard(QWidget* parent);

    // None: the card hides.
    void update(const std::optional<WiFiInfo>& info);

private:
    void build(const std::vector<CardTexts::Value>& values);

    // The values' labels and their value widgets, as last built.
    QStringList shape_;
    std::vector<QLabel*> values_;
};

}  // namespace nerivane
