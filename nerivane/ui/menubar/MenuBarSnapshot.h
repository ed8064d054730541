// Writes the wide readout as a PNG file after every render that changed it,
// for NERIVANE_SNAPSHOT: the tray item's controller uses it, and so does the
// terminal front end (on the offscreen platform) so the switch works in
// either mode. Owned by its user; main thread.
#pragma once

#include <QString>
#include <optional>

#include "nerivane/ui/menubar/MenuBarRenderer.h"

namespace nerivane {

class MenuBarSnapshot {
public:
    // The path NERIVANE_SNAPSHOT holds, read once; none when unset or empty.
    static std::optional<QString> pathFromEnvironment();

    explicit MenuBarSnapshot(QString path);

    // Renders and writes unless the layout, appearance and scale are those
    // written last. False when nothing could be written.
    bool write(const MenuBarLayout& layout, const TrayAppearance& appearance, double scale);

private:
    struct Key {
        MenuBarLayout layout;
        TrayAppearance appearance;
        double scale = 0;
        bool operator==(const Key&) const = default;
    };

    QString path_;
    MenuBarRenderer renderer_;
    std::optional<Key> written_;
};

}  // namespace nerivane
