#include "nerivane/modules/desktop/ReadoutPicture.h"

#include <QGuiApplication>
#include <QScreen>

namespace nerivane {

ReadoutPicture::ReadoutPicture(AppModel& model, Preferences& preferences, QString path)
    : model_(model), snapshot_(std::move(path)) {
    connect(&model, &AppModel::changed, this, &ReadoutPicture::write);
    connect(&preferences, &Preferences::displayStyleChanged, this, &ReadoutPicture::write);
    connect(&preferences, &Preferences::menuBarTargetChanged, this, &ReadoutPicture::write);
    write();
}

void ReadoutPicture::write() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    snapshot_.write(MenuBarLayout::make(model_), TrayAppearance{}, screen != nullptr ? screen->devicePixelRatio() : 1);
}

}  // namespace nerivane
