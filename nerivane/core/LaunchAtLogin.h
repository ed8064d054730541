// Launch at login through the freedesktop autostart convention: a desktop
// entry in $XDG_CONFIG_HOME/autostart whose Exec line is this program's
// absolute path. The switch in the settings and the first-run card drive it;
// the state is always read back from the file, so an entry the user removed or
// hid (Hidden=true) reads as off. A small value; main thread.
#pragma once

#include <QString>
#include <optional>

namespace nerivane {

class LaunchAtLogin {
public:
    // The user's entry for the running program.
    LaunchAtLogin();
    // An entry at entryPath that starts program (an absolute path).
    LaunchAtLogin(QString entryPath, QString program);

    // "$XDG_CONFIG_HOME/autostart/org.nerivane.Nerivane.desktop"; a relative
    // or empty XDG_CONFIG_HOME counts as unset, giving "~/.config".
    static QString defaultEntryPath(const QString& xdgConfigHome, const QString& home);
    static QString defaultEntryPath();

    const QString& entryPath() const { return entryPath_; }

    // True when the entry exists and neither hides itself (Hidden=true) nor is
    // switched off for GNOME (X-GNOME-Autostart-enabled=false).
    bool isEnabled() const;
    // Writes (atomically) or removes the entry. None on success, otherwise
    // the text to show under the switch; the file is then left as it was. A
    // program path holding a control character is refused.
    std::optional<QString> setEnabled(bool enabled) const;

    // The entry's text for a program path, with the Exec value quoted and
    // escaped as desktop entries require (line breaks and tabs as escapes).
    static QString entryText(const QString& program);

private:
    QString entryPath_;
    QString program_;
};

}  // namespace nerivane
