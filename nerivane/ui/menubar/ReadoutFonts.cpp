#include "nerivane/ui/menubar/ReadoutFonts.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <algorithm>
#include <cmath>

#include "NerivaneKit/text/MenuBarText.h"

namespace nerivane {
namespace {

QImage pointDevice() {
    QImage device(1, 1, QImage::Format_ARGB32_Premultiplied);
    device.setDotsPerMeterX(ReadoutFonts::dotsPerMeterAt72);
    device.setDotsPerMeterY(ReadoutFonts::dotsPerMeterAt72);
    return device;
}

}  // namespace

const QImage& ReadoutFonts::metricsDevice() {
    static const QImage device = pointDevice();
    return device;
}

const QFont& ReadoutFonts::font(Role role) {
    auto& slot = fonts_[static_cast<int>(role)];
    if (slot) return *slot;
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::Monospace);
    switch (role) {
    case Role::caption:
        font.setPointSizeF(8);
        font.setWeight(QFont::Medium);
        break;
    case Role::value:
        font.setPointSizeF(11);
        font.setWeight(QFont::DemiBold);
        break;
    case Role::pair:
        font.setPointSizeF(9.5);
        font.setWeight(QFont::Medium);
        break;
    }
    slot = font;
    return *slot;
}

QFont ReadoutFonts::digitsFont(double size) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::Monospace);
    font.setWeight(QFont::Bold);
    font.setStretch(85);
    font.setPointSizeF(size);
    return font;
}

double ReadoutFonts::advance(const QFont& font) {
    const double size = font.pointSizeF();
    if (auto found = advances_.find(size); found != advances_.end()) return found->second;
    const double value = QFontMetricsF(font, &metricsDevice()).horizontalAdvance(QLatin1Char('0'));
    advances_.emplace(size, value);
    return value;
}

double ReadoutFonts::textWidth(const QFont& font, const std::string& text) {
    const auto key = std::make_pair(font.pointSizeF(), text);
    if (auto found = textWidths_.find(key); found != textWidths_.end()) return found->second;
    const double width =
        std::ceil(QFontMetricsF(font, &metricsDevice()).horizontalAdvance(QString::fromStdString(text)));
    textWidths_.emplace(key, width);
    return width;
}

double ReadoutFonts::stackedWidth() {
    if (!stackedWidth_)
        stackedWidth_ = std::max(textWidth(font(Role::caption), "TCP"),
                                 textWidth(font(Role::value), std::string(MenuBarText::widest)));
    return *stackedWidth_;
}

double ReadoutFonts::pairWidth() {
    if (!pairWidth_) pairWidth_ = textWidth(font(Role::pair), "R " + std::string(MenuBarText::widest));
    return *pairWidth_;
}

const ReadoutFonts::DigitSize& ReadoutFonts::digitSize(std::size_t count, double width, double height) {
    const auto key = std::make_tuple(std::max<std::size_t>(1, count), width, height);
    auto found = digitSizes_.find(key);
    if (found == digitSizes_.end()) {
        double size = std::floor(height * 0.75);
        for (; size > 6; size -= 0.5) {
            if (advance(digitsFont(size)) * static_cast<double>(std::get<0>(key)) <= width - 1) break;
        }
        QFont font = digitsFont(size);
        const double ascent = QFontMetricsF(font, &metricsDevice()).ascent();
        found = digitSizes_.emplace(key, DigitSize{std::move(font), ascent}).first;
    }
    return found->second;
}

}  // namespace nerivane
