#include "nerivane/ui/menubar/MenuBarSnapshot.h"

#include <QSaveFile>

#include "NerivaneKit/platform/Log.h"

namespace nerivane {

std::optional<QString> MenuBarSnapshot::pathFromEnvironment() {
    const QString path = qEnvironmentVariable("NERIVANE_SNAPSHOT");
    return path.isEmpty() ? std::nullopt : std::optional<QString>(path);
}

MenuBarSnapshot::MenuBarSnapshot(QString path) : path_(std::move(path)) {}

bool MenuBarSnapshot::write(const MenuBarLayout& layout, const TrayAppearance& appearance, double scale) {
    Key key{layout, appearance, scale};
    if (written_ == key) return true;
    const auto image = renderer_.render(layout, appearance, scale);
    if (!image) return false;
    // Readers of the file never see half of it.
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly) || !image->save(&file, "PNG") || !file.commit()) {
        Log("app").error(Log::format("cannot write the readout snapshot to %s", path_.toStdString().c_str()));
        return false;
    }
    written_ = std::move(key);
    return true;
}

}  // namespace nerivane
