#include "nerivane/core/LaunchAtLogin.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

#include "NerivaneKit/platform/ApplicationId.h"

namespace nerivane {

namespace {

QString tr(const char* text) { return QCoreApplication::translate("LaunchAtLogin", text); }

// An Exec argument: quoted when it holds a reserved character, with the
// quoted form's own escapes; then backslashes doubled again because the value
// is a desktop entry string, % doubled because it starts field codes, and
// line feed, carriage return and tab written as the string's escapes, so no
// path can end the line and add keys of its own.
QString execArgument(const QString& program) {
    static const QString reserved = QStringLiteral(" \t\n\r\"'\\><~|&;$*?#()`");
    bool quote = false;
    for (QChar c : program) quote = quote || reserved.contains(c);
    QString argument;
    if (quote) {
        argument += u'"';
        for (QChar c : program) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') argument += u'\\';
            argument += c;
        }
        argument += u'"';
    } else {
        argument = program;
    }
    argument.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
    argument.replace(QStringLiteral("%"), QStringLiteral("%%"));
    argument.replace(u'\n', QStringLiteral("\\n"));
    argument.replace(u'\r', QStringLiteral("\\r"));
    argument.replace(u'\t', QStringLiteral("\\t"));
    return argument;
}

}  // namespace

LaunchAtLogin::LaunchAtLogin() : LaunchAtLogin(defaultEntryPath(), QCoreApplication::applicationFilePath()) {}

LaunchAtLogin::LaunchAtLogin(QString entryPath, QString program)
    : entryPath_(std::move(entryPath)), program_(std::move(program)) {}

QString LaunchAtLogin::defaultEntryPath(const QString& xdgConfigHome, const QString& home) {
    const QString config = QDir::isAbsolutePath(xdgConfigHome) ? xdgConfigHome : home + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart/") + QString::fromLatin1(applicationId.data(), applicationId.size()) +
           QStringLiteral(".desktop");
}

QString LaunchAtLogin::defaultEntryPath() {
    return defaultEntryPath(qEnvironmentVariable("XDG_CONFIG_HOME"), QDir::homePath());
}

QString LaunchAtLogin::entryText(const QString& program) {
    return QStringLiteral(
               "[Desktop Entry]\n"
               "Type=Application\n"
               "Name=nerivane\n"
               "Comment=Network quality in the system tray\n"
               "Exec=%1\n"
               "Terminal=false\n"
               "X-GNOME-Autostart-enabled=true\n")
        .arg(execArgument(program));
}

bool LaunchAtLogin::isEnabled() const {
    QFile file(entryPath_);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
    QTextStream in(&file);
    bool inEntry = false;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.startsWith(u'[')) {
            inEntry = line == QStringLiteral("[Desktop Entry]");
            continue;
        }
        if (!inEntry) continue;
        const auto equals = line.indexOf(u'=');
        if (equals < 0) continue;
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (key == QStringLiteral("Hidden") && value == QStringLiteral("true")) return false;
        if (key == QStringLiteral("X-GNOME-Autostart-enabled") && value == QStringLiteral("false")) return false;
    }
    return true;
}

std::optional<QString> LaunchAtLogin::setEnabled(bool enabled) const {
    if (!enabled) {
        QFile file(entryPath_);
        if (!file.exists() || file.remove()) return std::nullopt;
        return tr("Couldn't remove %1: %2").arg(entryPath_, file.errorString());
    }
    // Launchers differ in how they take escaped control characters: none is written.
    QString shown;
    for (QChar c : program_) shown += c.category() == QChar::Other_Control ? QChar(0xFFFD) : c;
    if (shown != program_) return tr("Can't start at login from %1: its path holds a control character.").arg(shown);
    const QString folder = QFileInfo(entryPath_).absolutePath();
    if (!QDir().mkpath(folder)) return tr("Couldn't create the folder %1.").arg(folder);
    QSaveFile file(entryPath_);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        return tr("Couldn't write %1: %2").arg(entryPath_, file.errorString());
    }
    file.write(entryText(program_).toUtf8());
    if (!file.commit()) return tr("Couldn't write %1: %2").arg(entryPath_, file.errorString());
    return std::nullopt;
}

}  // namespace nerivane
